#include "active_pauli_frame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "bits.h"
#include "testing/error_text.h"
#include "testing/random_pauli.h"

namespace kelvo {
namespace {

using test_support::random_pauli;

// The sign from the definition: XOR of the conditions of the records anticommuting with p.
SymbolicBool brute_force_sign(const std::vector<ConditionalPauliString>& records,
                              const PauliString& p) {
    std::vector<int32_t> ids;
    for (const ConditionalPauliString& r : records)
        if (pauli_anticommutes(r.pauli, p)) ids.push_back(r.condition);
    return SymbolicBool{normalize_xor_conditions(ids), false};
}

TEST(ActivePauliFrame, MatchesBruteForceAcrossBlocks) {
    std::mt19937_64 rng(12);
    // Narrow frames keep dense columns in chunks of 4096 records (crossed at 70 qubits), wide
    // ones sparse columns whose newest block is open (at 3000 qubits, 1300 records are all but
    // 20 in closed blocks).
    const std::pair<uint64_t, uint64_t> shapes[] = {{5, 63},    {5, 64},      {5, 65},
                                                    {70, 4200}, {3000, 1300}, {40000, 130}};
    for (const auto& [n, count] : shapes) {
        ActivePauliFrame frame(n);
        SymbolicContext ctx;
        ctx.next_condition_id = 30;
        std::vector<ConditionalPauliString> records;
        for (uint64_t e = 0; e < count; ++e) {
            // Identities and repeated conditions among them.
            const PauliString p = e % 7 ? random_pauli(rng, n, 3) : PauliString(n);
            const int32_t condition = 1 + static_cast<int32_t>(rng() % 40);
            records.push_back(frame.add_pauli(p, condition, ctx));
            EXPECT_EQ(records.back(), (ConditionalPauliString{p, condition}));
        }
        // The counter rises past every recorded condition, never falls.
        const int32_t top =
            std::ranges::max(records, {}, &ConditionalPauliString::condition).condition;
        EXPECT_EQ(ctx.next_condition_id, static_cast<uint32_t>(std::max(30, top + 1)));
        EXPECT_EQ(frame.entries(), records);
        for (int trial = 0; trial < 40; ++trial) {
            const PauliString p = random_pauli(rng, n, 1 + trial % 4);
            EXPECT_EQ(frame.conjugate_by(p),
                      (SymbolicPauliString{p, brute_force_sign(records, p)}));
            // From a record on: block and chunk ends, the last record, and past it.
            const uint64_t firsts[] = {rng() % count, 64, 128, count - 1, count, count + 70};
            const uint64_t first = firsts[trial % std::size(firsts)];
            const std::vector<ConditionalPauliString> tail(
                records.begin() + static_cast<std::ptrdiff_t>(std::min(first, count)),
                records.end());
            EXPECT_EQ(frame.anticommutation_sign(p, first), brute_force_sign(tail, p));
        }
    }
}

// Few-letter records (Y among them) on dense and sparse frames: half on six hot qubits spread
// over the register, so that records meet several qubits of a query, and long stretches on
// the other qubits only, so that the hot columns have gaps wider than a merge window. Queries
// of up to 45 letters (more than one merge group) mix hot and other qubits.
TEST(ActivePauliFrame, FewLetterRecordsMatchBruteForce) {
    std::mt19937_64 rng(23);
    constexpr uint64_t kWide = ActivePauliFrame::kSparseFromQubits;
    for (const uint64_t n :
         {uint64_t{1}, uint64_t{3}, uint64_t{20}, kWide - 1, kWide, uint64_t{1250}}) {
        const uint64_t stride = std::max<uint64_t>(n / 6, 1);
        const auto letters = [&](uint64_t weight, bool hot, bool cold) {
            PauliString p(n);
            for (uint64_t k = 0; k < weight; ++k) {
                uint64_t q = rng() % n;
                if (hot) q = q / stride * stride;
                if (cold && n > 6 && q % stride == 0) q = (q + 1) % n;
                const uint64_t letter = 1 + rng() % 3;
                p.set_xbit(q, letter & 1);
                p.set_zbit(q, letter & 2);
            }
            return p;
        };
        ActivePauliFrame frame(n);
        SymbolicContext ctx;
        std::vector<ConditionalPauliString> records;
        for (uint64_t e = 0; e < 20000; ++e) {
            const bool cold_stretch = e % 10000 >= 5000;
            const PauliString p = letters(1 + rng() % 3, !cold_stretch && rng() % 2, cold_stretch);
            records.push_back(frame.add_pauli(p, 1 + static_cast<int32_t>(rng() % 3000), ctx));
        }
        EXPECT_EQ(frame.entries(), records);
        for (int trial = 0; trial < 60; ++trial) {
            const uint64_t weight = trial % 5 == 4 ? 45 : 1 + trial % 4;
            const PauliString p = letters(weight, trial % 3 == 0, false);
            const uint64_t first = trial % 6 ? rng() % records.size() : 0;
            const std::vector<ConditionalPauliString> tail(
                records.begin() + static_cast<std::ptrdiff_t>(first), records.end());
            EXPECT_EQ(frame.anticommutation_sign(p, first), brute_force_sign(tail, p))
                << "n " << n << " trial " << trial;
        }
    }
}

TEST(ActivePauliFrame, BodiesReleasedPastTheLimit) {
    std::mt19937_64 rng(6);
    ActivePauliFrame frame(3);
    SymbolicContext ctx;
    std::vector<ConditionalPauliString> records;
    for (uint64_t e = 0; e < ActivePauliFrame::kBodyLimit + 3; ++e) {
        const PauliString p = random_pauli(rng, 3);
        records.push_back(frame.add_pauli(p, 1 + static_cast<int32_t>(rng() % 1000), ctx));
        if (e + 1 == ActivePauliFrame::kBodyLimit) {
            EXPECT_EQ(frame.entries().back().pauli, p);
        }
    }
    // The returned copies keep their bodies; the stored records lose them.
    for (uint64_t body = 0; body < 64; ++body) {
        const PauliString p = test_support::pauli_from_bits(3, body % 8, body / 8);
        EXPECT_EQ(frame.conjugate_by(p).sign, brute_force_sign(records, p));
    }
    for (ConditionalPauliString& r : records)
        r.pauli = PauliString();
    EXPECT_EQ(frame.entries(), records);
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
