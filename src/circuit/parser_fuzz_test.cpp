// Random mutations of valid circuits: every input must parse or be refused with a parse error or
// std::bad_alloc; a fatal assertion, any other exception, a crash or a hang is a bug. Fixed seed,
// bounded iterations; run it under -DKELVO_SANITIZE=ON for memory errors.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "circuit/parser.h"
#include "errors.h"

namespace kelvo {
namespace {

const char* const kCorpus[] = {
    "H 0\nCX 0 1\nM 0 1\nDETECTOR(1, 2) rec[-1] rec[-2]\nOBSERVABLE_INCLUDE(0) rec[-1]\n"
    "MPP X0*Z1 !Y2 X3 * Z4\nMXX 0 1\nMZZ(0.1) !2 3\nEXP_VAL X0*X1 Z2\n",
    "R 0 1 2\nREPEAT 3 {\n  DEPOLARIZE1(0.01) 0 1\n  CZ 0 1\n  MR !1\n  DETECTOR rec[-1]\n"
    "  SHIFT_COORDS(0, 1)\n}\nM 0\nE(0.1) X0 Y1\nELSE_CORRELATED_ERROR(0.2) Z2*X3\nTICK\n",
    "R_X(0.25) 0\nR_ZZ(pi/4) 0 1\nU3(0.5, 0.25, 1/8) 2\nR_PAULI(-(1)/2) X0*Y1\nSPP !Z0\nT 0\n"
    "M 0 1\nCX rec[-1] 2 0 1\nCZ 3 rec[-2]\nXCZ 4 rec[-1]\nYCZ 5 rec[-2]\nCY rec[-1] 6\n",
    "QUBIT_COORDS(1, 2) 0\nPAULI_CHANNEL_1(0.1, 0.2, 0.3) 0\nHERALDED_ERASE(0.1) 1\nMPAD 0 1\n"
    "I_ERROR(0.1, 0.2) 0\nII 0 1\nH[tag # x] 0 # c\r\nREPEAT 2 {\r\n  REPEAT 2 {\r\n"
    "    M(0.01) 0\r\n  }\r\n}\r\nDISCARD rec[-1]\r\n",
};

// Pieces inserted by the mutations, separated by `|`.
constexpr std::string_view kFragments =
    " |\n|{|}|(|)|,|*|!|#|[|]|rec[-1]|rec[-9]|sweep[0]|X|Y|0|99|pi|inf|nan|-|/|e|.|"
    "REPEAT 2 {\n|REPEAT 2147483647 {\n|MPP |E(0.1) |ELSE_CORRELATED_ERROR(0.1) |DETECTOR |"
    "OBSERVABLE_INCLUDE(|18446744073709551615|18446744073709551616|\xe3\x80\x80|\xff|\r\n|H |"
    "CX |U3(1,2,3) |R_PAULI(1) |EXP_VAL ";

// One to four edits: insert a fragment or a corpus entry, delete or duplicate a range, replace a
// byte or flip an ASCII letter's case.
std::string mutate(std::string s, const std::vector<std::string>& pieces, std::mt19937_64& rng) {
    for (int e = 1 + static_cast<int>(rng() % 4); e > 0; --e) {
        const size_t pos = rng() % (s.size() + 1);
        const unsigned op = rng() % 6;
        if (op == 0) s.insert(pos, pieces[rng() % pieces.size()]);
        if (op == 1) s.insert(pos, kCorpus[rng() % std::size(kCorpus)]);
        if (pos == s.size()) continue;
        if (op == 2) s.erase(pos, 1 + rng() % 8);
        if (op == 3) s[pos] = static_cast<char>(rng() % 256);
        if (op == 4) s.insert(pos, s.substr(pos, 1 + rng() % 40));
        if (op == 5 && std::isalpha(static_cast<unsigned char>(s[pos]))) s[pos] ^= 0x20;
    }
    return s;
}

TEST(ParserFuzz, MutatedCircuitsParseOrFailCleanly) {
    std::vector<std::string> pieces;
    for (size_t a = 0, b = 0; a <= kFragments.size(); a = b + 1) {
        b = std::min(kFragments.find('|', a), kFragments.size());
        pieces.emplace_back(kFragments.substr(a, b - a));
    }
    std::mt19937_64 rng(20260612);
    constexpr int kIterations = 80'000;
    int parsed = 0, refused = 0;
    for (int i = 0; i < kIterations; ++i) {
        std::string text = kCorpus[rng() % std::size(kCorpus)];
        for (int r = 1 + static_cast<int>(rng() % 3); r > 0; --r)
            text = mutate(std::move(text), pieces, rng);
        try {
            // The budget keeps accepted expansions small and quick.
            const Circuit c = detail::parse_kelvo_circuit_text(text, 64ull << 20);
            ++parsed;
            for (const CircuitInstruction& inst : c.instructions) {
                for (const CircuitPauliProduct& p : inst.paulis)
                    ASSERT_EQ(p.pauli.num_qubits, c.num_qubits);
            }
        } catch (const KelvoError& e) {
            ASSERT_EQ(e.kind(), KelvoErrorKind::Parse) << text;
            ASSERT_EQ(std::string(e.what()).rfind("line ", 0), 0u) << text;
            ++refused;
        } catch (const std::bad_alloc&) {
            ++refused;
        }  // anything else escapes and fails the test
    }
    // The mutations must exercise both outcomes to mean anything.
    EXPECT_GT(parsed, kIterations / 100);
    EXPECT_GT(refused, kIterations / 20);
}

}  // namespace
}  // namespace kelvo
