#include "record_columns.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "bits.h"
#include "testing/random_pauli.h"

namespace kelvo {
namespace {

using test_support::random_pauli_letters;

// Both layouts at the same widths (the frame picks one by width): records of 1 to 3 letters,
// every third one on the first two qubits so that columns run dense there and records meet
// several qubits of a query; queries of 1 to 40 letters from random records on.
template <typename Columns>
void check_against_brute_force(uint64_t n) {
    std::mt19937_64 rng(n);
    Columns columns(n);
    std::vector<PauliString> records;
    std::vector<int32_t> conditions;
    for (uint64_t e = 0; e < 9000; ++e) {
        PauliString p = random_pauli_letters(rng, n, 1 + rng() % 3);
        if (e % 3 == 0) {
            p = PauliString(n);
            for (const uint64_t q : {uint64_t{0}, std::min<uint64_t>(n - 1, 1)}) {
                const uint64_t letter = 1 + rng() % 3;
                p.set_xbit(q, letter & 1);
                p.set_zbit(q, letter & 2);
            }
        }
        columns.prepare(e);
        columns.add(p, e);
        records.push_back(p);
        conditions.push_back(1 + static_cast<int32_t>(rng() % 500));
    }
    std::vector<PauliString> bodies(records.size(), PauliString(n));
    for (uint64_t e = 0; e < records.size(); ++e)
        bodies[e].phase = records[e].phase;
    columns.scatter(bodies);
    EXPECT_EQ(bodies, records);
    for (int trial = 0; trial < 50; ++trial) {
        const PauliString p = random_pauli_letters(rng, n, trial % 5 == 4 ? 40 : 1 + trial % 4);
        const uint64_t first = trial % 5 ? rng() % records.size() : 0;
        std::vector<int32_t> expected;
        for (uint64_t e = first; e < records.size(); ++e)
            if (pauli_anticommutes(records[e], p)) expected.push_back(conditions[e]);
        std::vector<int32_t> found;
        columns.append_anticommuting(p, first, conditions, found);
        EXPECT_EQ(normalize_xor_conditions(found), normalize_xor_conditions(expected))
            << "n " << n << " trial " << trial;
    }
}

TEST(RecordColumns, BothLayoutsMatchBruteForce) {
    for (const uint64_t n : {1, 2, 70, 600}) {
        check_against_brute_force<DenseRecordColumns>(n);
        check_against_brute_force<SparseRecordColumns>(n);
    }
}

}  // namespace
}  // namespace kelvo
