// Random mutations of valid circuits: every input must parse or be refused with a parse error or
// std::bad_alloc; a fatal assertion, any other exception, a crash or a hang is a bug. Fixed seed,
// bounded iterations; run it under -DKELVO_SANITIZE=ON for memory errors.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "circuit/parser.h"
#include "errors.h"

namespace kelvo {
namespace {

// Valid circuits to start from, then tokens at the edges of what is accepted; pieces of any of
// them are what the edits insert.
const std::string kSources[] = {
    "H 0\nCX 0 1\nM 0 1\nDETECTOR(1, 2) rec[-1] rec[-2]\nOBSERVABLE_INCLUDE(0) rec[-1]\n"
    "MPP X0*Z1 !Y2 X3 * Z4\nMXX 0 1\nMZZ(0.1) !2 3\nEXP_VAL X0*X1 Z2\nMPAD 0 1\n",
    "R 0 1 2\nREPEAT 3 {\n  DEPOLARIZE1(0.01) 0 1\n  CZ 0 1\n  MR !1\n  DETECTOR rec[-1]\n"
    "  SHIFT_COORDS(0, 1)\n}\nM 0\nE(0.1) X0 Y1\nELSE_CORRELATED_ERROR(0.2) Z2*X3\nTICK\n",
    "R_X(0.25) 0\nR_ZZ(pi/4) 0 1\nU3(0.5, 0.25, 1/8) 2\nR_PAULI(-(1)/2) X0*Y1\nSPP !Z0\nT 0\n"
    "M 0 1\nCX rec[-1] 2 0 1\nCZ 3 rec[-2]\nXCZ 4 rec[-1]\nYCZ 5 rec[-2]\nCY rec[-1] 6\n",
    "QUBIT_COORDS(1, 2) 0\nPAULI_CHANNEL_1(0.1, 0.2, 0.3) 0\nHERALDED_ERASE(0.1)\t1\nII 0 1\n"
    "I_ERROR(0.1, 0.2) 0\nH[tag # x] 0 # c\r\nREPEAT 2 {\r\n  REPEAT 2 {\r\n    M(0.01) 0\r\n"
    "  }\r\n}\r\nDISCARD rec[-1]\r\n",
    " 18446744073709551615 18446744073709551616 9999999999 REPEAT 2147483647 {\n sweep[0] "
    "rec[-9] -inf nan 1/0 e. \xe3\x80\x80 \xff !!* **(( h cX Rec[-1] pI",
};
constexpr size_t kCircuits = std::size(kSources) - 1;

// Random edits of valid circuits (a source piece inserted, a range erased or duplicated, a byte
// replaced), applied one to eight times.
TEST(ParserFuzz, EditedCircuitsParseOrFailCleanly) {
    std::mt19937_64 rng(20260612);
    constexpr int kIterations = 60'000;
    int parsed = 0, refused = 0;
    for (size_t k = 0; k < kCircuits; ++k)
        ASSERT_NO_THROW(parse_kelvo_circuit_text(kSources[k])) << kSources[k];
    for (int i = 0; i < kIterations; ++i) {
        std::string s = kSources[rng() % kCircuits];
        for (int e = 1 + static_cast<int>(rng() % 8); e > 0; --e) {
            const size_t pos = rng() % (s.size() + 1);
            const std::string& other = kSources[rng() % std::size(kSources)];
            const unsigned op = rng() % 4;
            if (op == 0) s.insert(pos, other.substr(rng() % other.size(), 1 + rng() % 24));
            if (op == 0 || pos == s.size()) continue;
            if (op == 1) s.erase(pos, 1 + rng() % 8);
            if (op == 2) s[pos] = static_cast<char>(rng() % 256);
            if (op == 3) s.insert(pos, s.substr(pos, 1 + rng() % 40));
        }
        try {
            // The budget keeps accepted expansions small and quick.
            const Circuit c = detail::parse_kelvo_circuit_text(s, 64ull << 20);
            ++parsed;
            for (const CircuitInstruction& inst : c.instructions)
                for (const CircuitPauliProduct& p : inst.paulis)
                    ASSERT_EQ(p.pauli.num_qubits, c.num_qubits);
        } catch (const KelvoError& e) {
            ASSERT_TRUE(e.kind() == KelvoErrorKind::Parse && e.message().starts_with("line ")) << s;
            ++refused;
        } catch (const std::bad_alloc&) {
            ++refused;
        }  // anything else escapes and fails the test
    }
    // The edits must exercise both outcomes to mean anything.
    EXPECT_GT(parsed, kIterations / 100);
    EXPECT_GT(refused, kIterations / 20);
}

}  // namespace
}  // namespace kelvo
