#include "compiler/later_passes.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "circuit/parser.h"
#include "compiler/compile.h"
#include "compiler/lowering.h"
#include "compiler/optimizer.h"
#include "compiler/planner.h"
#include "testing/plain_reduction.h"

namespace kelvo {
namespace {

// A rotation every round on qubit 0, a herald or a depolarizing error with a noisy measurement
// whose record is fed back onto qubit 1, a product of the rotation's axis with a Pauli of qubit
// 1, and a measurement of qubit 0 that anticommutes with the rotation: most such loops measure a
// product whose sign names every record fed back so far, and their reductions now and then
// ripple down the rounds one relation per pass.
std::string feedback_loop(std::mt19937_64& rng, int rounds) {
    const auto pick = [&rng](std::vector<std::string> options) {
        return options[rng() % options.size()];
    };
    const std::string axis = pick({"X", "Y", "Z"});
    std::string across = pick({"X", "Y", "Z"});
    while (across == axis)
        across = pick({"X", "Y", "Z"});
    const std::string error = pick(
        {"HERALDED_PAULI_CHANNEL_1(0.05, 0, 0, 0) 0", "HERALDED_ERASE(0.05) 0",
         "HERALDED_PAULI_CHANNEL_1(0.02, 0.02, 0.01, 0.01) 0", "DEPOLARIZE1(0.05) 0\nM(0.02) 0"});
    return "R 0 1\nH 0 1\nMPAD 0\nREPEAT " + std::to_string(rounds) + " {\n" + error + "\n" +
           pick({"CX", "CY", "CZ"}) + " rec[-1] 1\nR_" + axis + "(0.25) 0\nMPP " + axis + "0*" +
           pick({"X", "Y", "Z"}) + "1\nMPP " + across + "0\n}\nM 1\n";
}

// The instruction list the assembly reduces: the circuit lowered, optimized and planned.
std::vector<FactoredInstruction> planned_instructions(const Circuit& circuit) {
    PendingFactoredState state =
        PendingFactoredState::from_frame_state(lower_circuit_with_anchors(circuit).state);
    optimize_pending_operations(state, {});
    plan_pending_operations(state, {});
    return std::move(state.instructions);
}

// Compiled loops of that kind have exactly the signs that the plain rule gives the planned list
// (each sign reduced by the relations of the instructions before it, which learn from the
// reduced signs), and enough of their reductions take ten passes or more that the passes after
// the first, which visit only what the pass before changed, are what produced them.
TEST(LaterPasses, FeedbackLoopsCompileToThePlainRulesSigns) {
    std::mt19937_64 rng(35);
    uint64_t rippling = 0, signs = 0;
    for (int trial = 0; trial < 24; ++trial) {
        const std::string text = feedback_loop(rng, 100 + static_cast<int>(rng() % 100));
        const Circuit circuit = parse_kelvo_circuit_text(text);
        const std::vector<FactoredInstruction> planned = planned_instructions(circuit);
        const FactoredInstructionProgram program = plan_circuit(circuit, {});
        ASSERT_EQ(program.instructions.size(), planned.size()) << text;
        testing::PlainRelations known;
        for (uint64_t i = 0; i < planned.size(); ++i) {
            uint64_t passes = 0;
            const SymbolicBool plain =
                testing::plain_reduction(instruction_sign(planned[i]), known, &passes);
            ASSERT_EQ(instruction_sign(program.instructions[i]), plain) << text << "\nat " << i;
            rippling += passes >= 10;
            signs += !plain.conditions.empty();
            std::visit(
                [&](const auto& kind) {
                    if constexpr (requires { kind.condition; })
                        if (kind.condition) known.add(static_cast<int32_t>(*kind.condition), plain);
                },
                planned[i]);
        }
    }
    EXPECT_GT(signs, 5000u);
    EXPECT_GT(rippling, 20u);
}

// Small relations within a word or two of many, some conditions fixed only after relations
// naming them were learned, and expressions made of a few relations plus noise: reductions
// whose passes take several relations each, a take making a later relation of the same pass pay
// or a relation a candidate only of the next pass, and relations that bring fixed conditions
// back in. The reducer, its later passes visiting only the changed words, is exactly the plain
// rule.
TEST(LaterPasses, TangledReductionsAreThePlainRules) {
    // Found by a search. Case 1: in the second pass a relation shares an id with the expression
    // only through one taken before it, naming none of the pass's start, so it waits for the
    // third pass; taking it at once ends elsewhere. Case 2: in the second pass a relation whose
    // words the first pass left alone pays once one taken before it changed them.
    const auto exact = [](const std::vector<std::vector<int32_t>>& relations,
                          const std::vector<int32_t>& given, const std::vector<int32_t>& reduced) {
        SymbolicRelationReducer reducer;
        testing::PlainRelations known;
        for (std::vector<int32_t> ids : relations) {
            const int32_t c = ids.back();
            ids.pop_back();
            reducer.add(static_cast<uint32_t>(c), SymbolicBool{ids, false});
            known.add(c, SymbolicBool{ids, false});
        }
        uint64_t passes = 0;
        EXPECT_EQ(testing::plain_reduction({given, false}, known, &passes).conditions, reduced);
        EXPECT_EQ(passes, 3u);
        EXPECT_EQ(reducer.reduce({given, false}).conditions, reduced);
    };
    exact({{138, 142, 144},
           {106, 127},
           {73, 85, 148},
           {2, 44, 68, 74},
           {36, 46, 74},
           {4, 29, 51, 74},
           {36, 51, 57, 59},
           {68, 90, 102, 153},
           {41, 56, 63, 73},
           {29, 42, 59, 63},
           {147, 176},
           {68, 69, 71, 142},
           {40, 77}},
          {2, 4, 29, 36, 44, 57, 59, 60, 61, 73, 85, 90, 102, 147, 148, 153, 176}, {60, 61});
    exact({{84, 118, 137},
           {19, 59},
           {19, 34, 61, 75},
           {129, 154},
           {5, 6, 62, 81},
           {79, 92, 118},
           {132, 174},
           {84, 112, 116, 131},
           {34, 59},
           {1, 59},
           {106, 138, 142, 144},
           {164, 178},
           {66, 68},
           {141, 143, 149, 178}},
          {59, 61, 75, 79, 92, 118}, {19});
    std::mt19937_64 rng(7);
    constexpr int32_t kWords = 40, kIds = 64 * kWords;
    const auto random_ids = [&rng](uint64_t count, int32_t low, int32_t high) {
        std::vector<int32_t> ids;
        for (uint64_t i = 0; i < count; ++i)
            ids.push_back(low + static_cast<int32_t>(rng() % static_cast<uint64_t>(high - low)));
        return normalize_xor_conditions(ids);
    };
    uint64_t rippling = 0;
    for (int world = 0; world < 12; ++world) {
        SymbolicRelationReducer reducer;
        testing::PlainRelations known;
        for (int32_t c = kIds + 1; c <= kIds + 400; ++c) {
            // Mostly a few ids within a word or two; now and then the measured condition itself
            // (which fixes c) or with an earlier id (which fixes that id).
            const int32_t low = 1 + 64 * static_cast<int32_t>(rng() % kWords);
            SymbolicBool outcome{random_ids(1 + rng() % 4, low, std::min(low + 96, kIds)),
                                 (rng() & 1) != 0};
            if (rng() % 13 == 0) outcome.conditions.clear();
            if (rng() % 11 == 0) outcome.conditions = {random_ids(1, 1, kIds)[0], c};
            reducer.add(static_cast<uint32_t>(c), outcome);
            known.add(c, outcome);
            if (c % 10 != 0 || known.relations.size() < 8) continue;
            for (int trial = 0; trial < 6; ++trial) {
                SymbolicBool given{random_ids(rng() % 40, 1, c + 1), (rng() & 1) != 0};
                for (int k = 0; k < 12; ++k)
                    given = xor_bool(given, known.relations[rng() % known.relations.size()]);
                uint64_t passes = 0;
                const SymbolicBool plain = testing::plain_reduction(given, known, &passes);
                ASSERT_EQ(reducer.reduce(given), plain) << "world " << world << " at " << c;
                rippling += passes >= 3;
            }
        }
    }
    EXPECT_GT(rippling, 200u);
}

}  // namespace
}  // namespace kelvo
