// Random mutations of valid circuits: every input must parse or be refused with KelvoError or
// std::bad_alloc; a fatal assertion, any other exception, a crash or a hang is a bug. Fixed seed,
// bounded iterations; run it under -DKELVO_SANITIZE=ON for memory errors.
#include <gtest/gtest.h>

#include <random>
#include <span>
#include <string>
#include <vector>

#include "circuit/parser.h"
#include "errors.h"

namespace kelvo {
namespace {

const char* const kCorpus[] = {
    "H 0\nCX 0 1\nM 0 1\nDETECTOR(1, 2) rec[-1] rec[-2]\nOBSERVABLE_INCLUDE(0) rec[-1]\n",
    "R 0 1 2\nREPEAT 3 {\n  DEPOLARIZE1(0.01) 0 1\n  CZ 0 1\n  MR !1\n  DETECTOR rec[-1]\n"
    "  SHIFT_COORDS(0, 1)\n}\nM 0\n",
    "MPP X0*Z1 !Y2 X3 * Z4\nMXX 0 1\nMZZ(0.1) !2 3\nEXP_VAL X0*X1 Z2\n",
    "E(0.1) X0 Y1\nELSE_CORRELATED_ERROR(0.2) Z2*X3\nCORRELATED_ERROR(0.3) !X4\nTICK\n",
    "R_X(0.25) 0\nR_ZZ(pi/4) 0 1\nU3(0.5, 0.25, 1/8) 2\nR_PAULI(-(1)/2) X0*Y1\nSPP !Z0\n"
    "SPP_DAG X1\nT 0\nT_DAG 1\n",
    "M 0 1\nCX rec[-1] 2 0 1\nCZ 3 rec[-2]\nXCZ 4 rec[-1]\nYCZ 5 rec[-2]\nCY rec[-1] 6\n",
    "QUBIT_COORDS(1, 2) 0\nPAULI_CHANNEL_1(0.1, 0.2, 0.3) 0\nHERALDED_ERASE(0.1) 1\n"
    "HERALDED_PAULI_CHANNEL_1(0.1, 0.1, 0.1, 0.1) 2\nMPAD 0 1\nI_ERROR(0.1, 0.2) 0\nII 0 1\n",
    "H[tag # x] 0 # comment\r\nREPEAT 2 {\r\n  X_ERROR(0.5) 0\r\n  REPEAT 2 {\r\n    M(0.01) 0\r\n"
    "  }\r\n}\r\nDISCARD rec[-1]\r\n",
};

// Pieces inserted by the mutations, separated by `|`.
const std::string_view kFragments =
    " |\n|{|}|(|)|,|*|!|#|[|]|rec[-1]|rec[-9]|sweep[0]|X|Y|Z|0|1|99|pi|inf|nan|-|+|/|"
    "e|.|REPEAT 2 {\n|REPEAT 2147483647 {\n|}\n|MPP |E(0.1) |"
    "ELSE_CORRELATED_ERROR(0.1) |DETECTOR |OBSERVABLE_INCLUDE(|SHIFT_COORDS(|"
    "18446744073709551615|18446744073709551616|9999999999|\xe3\x80\x80|\xff|\r\n|\t|"
    "H |CX |M |U3(1,2,3) |R_PAULI(1) |EXP_VAL ";

std::vector<std::string_view> fragments() {
    std::vector<std::string_view> out;
    for (size_t start = 0;;) {
        const size_t bar = kFragments.find('|', start);
        out.push_back(kFragments.substr(start, bar - start));
        if (bar == std::string_view::npos) return out;
        start = bar + 1;
    }
}

std::string mutate(std::string s, std::span<const std::string_view> pieces, std::mt19937_64& rng) {
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits; ++e) {
        const size_t pos = s.empty() ? 0 : rng() % (s.size() + 1);
        switch (rng() % 6) {
            case 0:  // insert a fragment
                s.insert(pos, pieces[rng() % pieces.size()]);
                break;
            case 1:  // delete a short range
                if (!s.empty() && pos < s.size()) s.erase(pos, 1 + rng() % 8);
                break;
            case 2:  // replace one byte
                if (pos < s.size()) s[pos] = static_cast<char>(rng() % 256);
                break;
            case 3: {  // duplicate a range
                if (pos < s.size()) s.insert(pos, s.substr(pos, 1 + rng() % 40));
                break;
            }
            case 4:  // splice in another corpus entry
                s.insert(pos, kCorpus[rng() % std::size(kCorpus)]);
                break;
            default:  // flip an ASCII letter's case
                if (pos < s.size() && std::isalpha(static_cast<unsigned char>(s[pos]))) {
                    s[pos] = static_cast<char>(s[pos] ^ 0x20);
                }
                break;
        }
    }
    return s;
}

TEST(ParserFuzz, MutatedCircuitsParseOrFailCleanly) {
    std::mt19937_64 rng(20260612);
    const std::vector<std::string_view> pieces = fragments();
    constexpr int kIterations = 100'000;
    constexpr uint64_t kBudget = 64ull << 20;  // keeps accepted expansions small and quick
    int parsed = 0, refused = 0;
    for (const char* seed : kCorpus) {
        ASSERT_NO_THROW(detail::parse_kelvo_circuit_text(seed, kBudget)) << seed;
    }
    for (int i = 0; i < kIterations; ++i) {
        std::string text = kCorpus[rng() % std::size(kCorpus)];
        const int rounds = 1 + static_cast<int>(rng() % 3);
        for (int r = 0; r < rounds; ++r)
            text = mutate(std::move(text), pieces, rng);
        try {
            const Circuit c = detail::parse_kelvo_circuit_text(text, kBudget);
            ++parsed;
            for (const CircuitInstruction& inst : c.instructions) {
                for (const CircuitPauliProduct& p : inst.paulis) {
                    ASSERT_EQ(p.pauli.num_qubits, c.num_qubits);
                }
            }
        } catch (const KelvoError& e) {
            ASSERT_EQ(e.kind(), KelvoErrorKind::Parse) << text;
            ASSERT_EQ(std::string(e.what()).rfind("line ", 0), 0u) << text;
            ++refused;
        } catch (const std::bad_alloc&) {
            ++refused;
        } catch (const std::exception& e) {
            FAIL() << "unexpected exception " << e.what() << " for input:\n" << text;
        }
    }
    // The mutations must exercise both outcomes to mean anything.
    EXPECT_GT(parsed, kIterations / 100);
    EXPECT_GT(refused, kIterations / 20);
}

}  // namespace
}  // namespace kelvo
