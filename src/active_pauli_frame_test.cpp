#include "active_pauli_frame.h"

#include <gtest/gtest.h>

#include <random>

#include "bits.h"
#include "errors.h"
#include "testing/error_text.h"

namespace kelvo {
namespace {

PauliString random_pauli(std::mt19937_64& rng, uint64_t n, int density) {
    PauliString p(n);
    for (uint64_t q = 0; q < n; ++q) {
        p.set_xbit(q, rng() % density == 0);
        p.set_zbit(q, rng() % density == 0);
    }
    p.phase = static_cast<uint8_t>(rng() % 4);
    return p;
}

// The sign from the definition: XOR of the conditions of the records anticommuting with p.
SymbolicBool brute_force_sign(const std::vector<ConditionalPauliString>& records,
                              const PauliString& p) {
    std::vector<int32_t> ids;
    for (const ConditionalPauliString& r : records)
        if (pauli_anticommutes(r.pauli, p)) ids.push_back(r.condition);
    return SymbolicBool{normalize_xor_conditions(ids), false};
}

TEST(ActivePauliFrame, SignsAndConditionIds) {
    ActivePauliFrame frame(3);
    SymbolicContext ctx;
    ctx.next_condition_id = 5;
    PauliString p = pauli_string("ZZI");
    p.phase = 2;
    EXPECT_EQ(frame.conjugate_by(p), (SymbolicPauliString{p, SymbolicBool{}}));
    frame.add_pauli(PauliString(3), 3, ctx);  // the identity never signs anything
    EXPECT_EQ(ctx.next_condition_id, 5u);
    frame.add_pauli(pauli_x(3, 0), 4, ctx);
    frame.add_pauli(pauli_y(3, 0), 4, ctx);  // same condition, also anticommutes with Z_0
    frame.add_pauli(pauli_x(3, 1), 2, ctx);
    frame.add_pauli(pauli_z(3, 0), 10, ctx);  // commutes with Z_0
    EXPECT_EQ(ctx.next_condition_id, 11u);
    const SymbolicPauliString out = frame.conjugate_by(p);
    EXPECT_EQ(out.pauli, p);
    EXPECT_EQ(out.sign, (SymbolicBool{{2}, false}));
    EXPECT_EQ(frame.conjugate_by(pauli_string("XII")).sign, (SymbolicBool{{4, 10}, false}));
}

TEST(ActivePauliFrame, MatchesBruteForceAcrossBlocks) {
    std::mt19937_64 rng(12);
    // Records are stored in chunks of blocks whose length shrinks as n grows (one block per
    // chunk at 40000 qubits); 1300 records on 3000 qubits cross two chunk ends.
    const std::pair<uint64_t, uint64_t> shapes[] = {{5, 63},   {5, 64},      {5, 65},
                                                    {70, 130}, {3000, 1300}, {40000, 130}};
    for (const auto& [n, count] : shapes) {
        ActivePauliFrame frame(n);
        SymbolicContext ctx;
        std::vector<ConditionalPauliString> records;
        for (uint64_t e = 0; e < count; ++e) {
            const PauliString p = random_pauli(rng, n, 3);
            const int32_t condition = 1 + static_cast<int32_t>(rng() % 40);
            const ConditionalPauliString added = frame.add_pauli(p, condition, ctx);
            EXPECT_EQ(added, (ConditionalPauliString{p, condition}));
            records.push_back(added);
        }
        const std::vector<ConditionalPauliString> entries = frame.entries();
        EXPECT_TRUE(std::equal(entries.begin(), entries.end(), records.begin(), records.end()));
        for (int trial = 0; trial < 40; ++trial) {
            const PauliString p = random_pauli(rng, n, 1 + trial % 4);
            const SymbolicPauliString out = frame.conjugate_by(p);
            EXPECT_EQ(out.pauli, p);
            EXPECT_EQ(out.sign, brute_force_sign(records, p));
        }
    }
}

TEST(ActivePauliFrame, BodiesReleasedPastTheLimit) {
    std::mt19937_64 rng(6);
    const uint64_t n = 3;
    ActivePauliFrame frame(n);
    SymbolicContext ctx;
    std::vector<ConditionalPauliString> records;
    records.reserve(ActivePauliFrame::kBodyLimit + 3);
    for (uint64_t e = 0; e < ActivePauliFrame::kBodyLimit; ++e) {
        const PauliString p = random_pauli(rng, n, 2);
        records.push_back(frame.add_pauli(p, 1 + static_cast<int32_t>(rng() % 1000), ctx));
    }
    EXPECT_EQ(frame.entries().back().pauli, records.back().pauli);
    for (int k = 0; k < 3; ++k) {
        const PauliString p = random_pauli(rng, n, 2);
        const ConditionalPauliString added = frame.add_pauli(p, 1 + k, ctx);
        EXPECT_EQ(added.pauli, p);  // the returned copy keeps the body
        records.push_back(added);
    }
    const std::vector<ConditionalPauliString> entries = frame.entries();
    ASSERT_EQ(entries.size(), ActivePauliFrame::kBodyLimit + 3);
    for (uint64_t e = 0; e < entries.size(); ++e) {
        ASSERT_EQ(entries[e].pauli, PauliString());
        ASSERT_EQ(entries[e].condition, records[e].condition);
    }
    for (uint64_t index = 0; index < 64; ++index) {
        PauliString p(n);
        for (uint64_t q = 0; q < n; ++q) {
            p.set_xbit(q, (index >> (2 * q)) & 1);
            p.set_zbit(q, (index >> (2 * q + 1)) & 1);
        }
        EXPECT_EQ(frame.conjugate_by(p).sign, brute_force_sign(records, p));
    }
}

TEST(ActivePauliFrame, FailuresChangeNothing) {
    ActivePauliFrame frame(2);
    SymbolicContext ctx;
    frame.add_pauli(pauli_z(2, 1), 7, ctx);
    EXPECT_EQ(testing::fatal_text([&] { frame.add_pauli(PauliString(3), 1, ctx); }),
              "assertion `left == right` failed: Pauli string dimension does not match active "
              "Pauli frame\n  left: 3\n right: 2");
    EXPECT_THROW(frame.conjugate_by(PauliString(1)), FatalError);
    // A bad condition is refused before the record's bits reach the columns.
    for (const int32_t bad : {0, -4}) {
        EXPECT_EQ(testing::fatal_text([&] { frame.add_pauli(pauli_x(2, 0), bad, ctx); }),
                  "condition id must be positive");
    }
    EXPECT_EQ(frame.entries().size(), 1u);
    EXPECT_EQ(frame.conjugate_by(pauli_z(2, 0)).sign, SymbolicBool{});
    EXPECT_EQ(ctx.next_condition_id, 8u);
    frame.add_pauli(pauli_x(2, 0), 2, ctx);
    EXPECT_EQ(frame.conjugate_by(pauli_z(2, 0)).sign, (SymbolicBool{{2}, false}));
    EXPECT_EQ(frame.conjugate_by(pauli_x(2, 1)).sign, (SymbolicBool{{7}, false}));
    // A string whose words break its own invariants is refused rather than indexed.
    PauliString malformed(2);
    malformed.x[0] = 0b100;
    EXPECT_THROW(frame.add_pauli(malformed, 1, ctx), FatalError);
    EXPECT_THROW(frame.conjugate_by(malformed), FatalError);
    EXPECT_EQ(frame.entries().size(), 2u);
}

}  // namespace
}  // namespace kelvo
