#include "compiler/lowering.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <string>

#include "errors.h"
#include "testing/dense_gates.h"
#include "testing/error_text.h"

namespace kelvo {
namespace {

using oracle::Mat;
using testing::error_text;

CircuitInstruction instruction(CircuitGate gate, std::vector<size_t> qubits = {}) {
    CircuitInstruction ins;
    ins.gate = gate;
    ins.qubits = std::move(qubits);
    return ins;
}

CircuitInstruction measure_products(std::vector<PauliString> paulis, bool inverted = false) {
    CircuitInstruction ins = instruction(CircuitGate::MPP);
    for (PauliString& p : paulis)
        ins.paulis.push_back({std::move(p), inverted});
    return ins;
}

TEST(Lowering, GateCodesPullPaulisBackAsTheirMatrices) {
    // Random runs of each code (repeats compose the recipe with itself), then MPP of every X
    // and Z: each stored Pauli, phase included, must be U^dag P U of the run's dense product.
    const uint64_t n = 3;
    std::mt19937_64 rng(5);
    for (int code = 1; code <= 44; ++code) {
        const auto gate = static_cast<CircuitGate>(code);
        const bool pair = oracle::is_two_qubit_clifford(gate);
        for (int trial = 0; trial < 3; ++trial) {
            Accumulator acc{FrameFactoredState(n, 0), {}};
            Mat u = oracle::identity(uint64_t{1} << n);
            for (int step = 0; step < 1 + trial; ++step) {
                const uint64_t a = rng() % n, b = (a + 1 + rng() % (n - 1)) % n;
                apply_instruction(acc, instruction(gate, pair ? std::vector<size_t>{a, b}
                                                              : std::vector<size_t>{a}));
                u = oracle::clifford_gate(gate, n, a, b) * u;
            }
            std::vector<PauliString> observed;
            for (uint64_t q = 0; q < n; ++q) {
                observed.push_back(pauli_x(n, q));
                observed.push_back(pauli_z(n, q));
            }
            apply_instruction(acc, measure_products(observed));
            for (size_t i = 0; i < observed.size(); ++i) {
                const auto& m = std::get<PendingPauliMeasurement>(acc.state.pending[i]);
                EXPECT_TRUE(m.sign == SymbolicBool{});
                EXPECT_TRUE(oracle::near(oracle::pauli(m.pauli),
                                         oracle::adjoint(u) * oracle::pauli(observed[i]) * u))
                    << "code " << code << ": " << observed[i].str() << " -> " << m.pauli.str();
            }
        }
    }
}

TEST(Lowering, RefusalsComeBeforeAnyChange) {
    const std::pair<const char*, const char*> cases[] = {
        {"CX 0 0", "two-qubit Clifford gate requires distinct qubits"},
        {"DEPOLARIZE2(0.1) 0 0", "no error"},
        {"PAULI_CHANNEL_2(0.1,0,0,0,0,0,0,0,0,0,0,0,0,0,0) 1 1",
         "multi-qubit operation requires distinct qubits"},
        {"PAULI_CHANNEL_1(0.5, 0.5, 0.0000000000005) 0", "no error"},
        {"HERALDED_PAULI_CHANNEL_1(0.5, 0.5, 0.0000000000005, 0) 0",
         "probability must be between 0 and 1"},
        {"PAULI_CHANNEL_1(0.5, 0.5, 0.5) 0", "Pauli channel probabilities sum to more than 1"},
        {"HERALDED_PAULI_CHANNEL_1(0.5, 0.2, 0.2, 0.2) 0",
         "heralded channel probabilities sum to more than 1"},
        {"MPAD 0 2", "MPAD targets must be 0 or 1"},
    };
    for (const auto& [text, message] : cases)
        EXPECT_EQ(error_text([&] { lower_circuit_to_factored(Circuit::from_text(text)); }), message)
            << text;

    // Probabilities the parser leaves to lowering: checked even without targets, or not.
    Accumulator acc{FrameFactoredState(3, 0), {}};
    CircuitInstruction noise = instruction(CircuitGate::X_ERROR);
    noise.probability = 1.5;
    EXPECT_EQ(error_text([&] { apply_instruction(acc, noise); }),
              "probability must be between 0 and 1");
    noise.gate = CircuitGate::DEPOLARIZE1;
    EXPECT_EQ(error_text([&] { apply_instruction(acc, noise); }), "no error");

    // Odd pairs and repeated pairs leave the frame as it was.
    apply_instruction(acc, instruction(CircuitGate::H, {1}));
    const CliffordFrame before = acc.state.frame;
    EXPECT_EQ(error_text([&] { apply_instruction(acc, instruction(CircuitGate::CX, {0, 1, 2})); }),
              "two-qubit Clifford requires paired targets");
    EXPECT_EQ(
        error_text([&] { apply_instruction(acc, instruction(CircuitGate::CX, {0, 1, 2, 2})); }),
        "two-qubit Clifford gate requires distinct qubits");
    EXPECT_TRUE(std::ranges::equal(acc.state.frame.rows(), before.rows()));

    // Expectation slots must all be distinct i32 indices; the last one may be the largest.
    constexpr size_t kMax = std::numeric_limits<int32_t>::max();
    CircuitInstruction exp_val = instruction(CircuitGate::EXP_VAL);
    exp_val.paulis = measure_products({pauli_z(3, 0), pauli_x(3, 1)}).paulis;
    for (const std::optional<size_t> start :
         {std::optional<size_t>{}, std::optional{kMax}, std::optional{(size_t{1} << 32) + 4}}) {
        exp_val.exp_val_start = start;
        EXPECT_EQ(error_text([&] { apply_instruction(acc, exp_val); }),
                  "EXP_VAL index range is invalid");
    }
    exp_val.exp_val_start = kMax - 1;
    apply_instruction(acc, exp_val);
    EXPECT_EQ(std::get<PendingPauliMeasurement>(acc.state.pending.back()).expectation_index, kMax);
}

TEST(Lowering, IdsRecordsAndOperationsInOrder) {
    const Circuit circuit = Circuit::from_text(
        "MR(0.1) !0\nMPAD 0 1\nR 1\nCX rec[-3] 2\nDEPOLARIZE1(0.3) 0\nDEPOLARIZE2(0.15) 0 1\n"
        "EXP_VAL !X0 Z1\nT 2");
    const CircuitLoweringResult out = lower_circuit_to_factored(circuit);
    const FrameFactoredState& s = out.state;
    // MR: readout 1, outcome 2 (no probability), the flip's constant part 3.
    EXPECT_EQ(s.context.bernoulli, (std::map<int32_t, double>{{1, 0.1}, {3, 1.0}}));
    EXPECT_EQ(out.records, (std::vector<SymbolicBool>{{{2}, false}, {{}, false}, {{}, true}}));
    const PauliString x0 = pauli_x(3, 0), z1 = pauli_z(3, 1);
    // Two categoricals: DEPOLARIZE1 on 5, 6 and DEPOLARIZE2 on 7 to 10.
    ASSERT_EQ(s.context.categoricals.size(), 2u);
    EXPECT_EQ(s.context.next_condition_id, 11u);

    ASSERT_EQ(s.pending.size(), 7u);
    EXPECT_EQ(std::get<PendingPauliMeasurement>(s.pending[0]),
              (PendingPauliMeasurement{pauli_z(3, 0), {{1}, true}, 1, 2, {}, {}}));
    EXPECT_EQ(std::get<PendingClassicalRecord>(s.pending[2]),
              (PendingClassicalRecord{{{}, true}, 3, {}}));
    EXPECT_EQ(std::get<PendingPauliMeasurement>(s.pending[3]),
              (PendingPauliMeasurement{z1, {}, {}, 4, {}, {}}));
    // -X0 sees both Z parts on qubit 0; Z1 sees the reset's flip 4 and the pair channel's x
    // bit of qubit 1.
    PauliString minus_x0 = x0;
    minus_x0.phase = 2;
    const auto& e0 = std::get<PendingPauliMeasurement>(s.pending[4]);
    EXPECT_EQ(e0.pauli, minus_x0);
    EXPECT_EQ(e0.sign.conditions, (std::vector<int32_t>{6, 8}));
    EXPECT_EQ(std::get<PendingPauliMeasurement>(s.pending[5]).sign.conditions,
              (std::vector<int32_t>{4, 9}));
    EXPECT_EQ(std::get<PendingPauliRotation>(s.pending[6]),
              (PendingPauliRotation{pauli_z(3, 2), {{2}, false}, 0.39269908169872414, {}}));
    EXPECT_EQ(out.positions, (std::vector<uint64_t>{0, 1, 3, 4, 4, 4, 4, 6, 7}));
}

}  // namespace
}  // namespace kelvo
