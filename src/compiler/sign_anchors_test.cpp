#include "compiler/sign_anchors.h"

#include <gtest/gtest.h>

#include <string>
#include <variant>

#include "circuit/parser.h"
#include "compiler/lowering.h"
#include "testing/random_circuit.h"

namespace kelvo {
namespace {

// The lowering with every sign read whole from the error frame: no anchors engaged.
std::vector<PendingOperation> full_lowering(const Circuit& circuit) {
    Accumulator acc{FrameFactoredState(circuit.num_qubits, 0), {}};
    for (const CircuitInstruction& instruction : circuit.instructions)
        apply_instruction(acc, instruction);
    return std::move(acc.state.pending);
}

uint64_t longest_sign(const std::vector<PendingOperation>& ops) {
    uint64_t longest = 0;
    for (const PendingOperation& op : ops)
        if (const SymbolicBool* sign = sign_of(op))
            longest = std::max<uint64_t>(longest, sign->conditions.size());
    return longest;
}

// A noisy measurement of one qubit, 300 times: its full sign names every error so far, its
// relative sign the last error, the last outcome and its readout error.
const char* const kRepeated = "REPEAT 300 {\nX_ERROR(0.1) 0\nM(0.01) 0\n}\n";

// Relative signs expanded through their anchors are the full signs, on circuits over the whole
// instruction set with repeated blocks.
TEST(SignAnchors, ExpandedLoweringIsTheFullLowering) {
    testing::RandomCircuit gen(31);
    for (int i = 0; i < 200; ++i) {
        const std::string text = gen.make(true) + "REPEAT " + std::to_string(2 + i % 9) + " {\n" +
                                 gen.make(i % 2 == 0) + "}\n" + gen.make(true);
        const Circuit c = parse_kelvo_circuit_text(text);
        ASSERT_EQ(lower_circuit_to_factored(c).state.pending, full_lowering(c)) << text;
    }
    const Circuit c = parse_kelvo_circuit_text(kRepeated);
    EXPECT_EQ(lower_circuit_to_factored(c).state.pending, full_lowering(c));
}

TEST(SignAnchors, RelativeSignsStayShortWhereFullOnesGrow) {
    const Circuit c = parse_kelvo_circuit_text(kRepeated);
    const CircuitLoweringResult anchored = lower_circuit_with_anchors(c);
    EXPECT_LE(longest_sign(anchored.state.pending), 4u);
    EXPECT_EQ(longest_sign(full_lowering(c)), 300u + 1);
    uint64_t anchored_count = 0;
    for (const PendingOperation& op : anchored.state.pending) {
        const auto& m = std::get<PendingPauliMeasurement>(op);
        anchored_count += m.anchor.has_value();
        if (m.anchor) {
            EXPECT_EQ(*m.anchor + 3, *m.condition_id);  // error, readout, outcome ids
        }
    }
    EXPECT_EQ(anchored_count, 299u);
}

TEST(SignAnchors, IndexKeepsTheLastMeasurementOfEachBody) {
    SignAnchorIndex index;
    PauliString xz = pauli_string("XZ"), minus_xz = xz, zx = pauli_string("ZX");
    minus_xz.phase = 2;
    EXPECT_EQ(index.find(xz), nullptr);
    index.remember(xz, {3, 10, SymbolicBool{{2}, true}});
    index.remember(zx, {5, 11, {}});
    ASSERT_NE(index.find(minus_xz), nullptr);  // the phase is not part of the body
    EXPECT_EQ(index.find(minus_xz)->condition, 3u);
    EXPECT_EQ(index.find(minus_xz)->own_sign, (SymbolicBool{{2}, true}));
    index.remember(minus_xz, {7, 12, {}});
    EXPECT_EQ(index.find(xz)->condition, 7u);
    EXPECT_EQ(index.find(xz)->frame_size, 12u);
    EXPECT_EQ(index.find(zx)->condition, 5u);
    EXPECT_EQ(index.find(pauli_string("ZZ")), nullptr);
}

}  // namespace
}  // namespace kelvo
