#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "circuit/parser.h"
#include "compiler/active_kernels.h"
#include "compiler/program.h"
#include "testing/dense_circuit.h"
#include "testing/factored_reference.h"

namespace kelvo {
namespace {

using testing::OutcomeDistribution;

Circuit parse(const std::string& text) {
    return parse_kelvo_circuit_text(text);
}

TEST(DenseCircuit, TGateBetweenHadamards) {
    const OutcomeDistribution d = testing::run_dense_circuit(parse("H 0\nT 0\nH 0\nM 0\n"));
    EXPECT_NEAR(d.records.at("1"), std::pow(std::sin(M_PI / 8), 2), 1e-12);
    EXPECT_NEAR(d.records.at("0"), std::pow(std::cos(M_PI / 8), 2), 1e-12);
}

// A promoted qubit cos(a)|0> - i sin(a)|1>, measured about each axis by the reference run.
TEST(FactoredReference, PromotedQubitMeasuredAboutEachAxis) {
    const double a = 0.3;
    struct Case {
        char axis;
        double p1;
    } cases[] = {{'Z', std::pow(std::sin(a), 2)}, {'X', 0.5}, {'Y', (1 + std::sin(2 * a)) / 2}};
    for (const Case& c : cases) {
        FactoredInstructionProgram p;
        p.num_qubits = 1;
        p.active_qubits = 1;
        p.num_symbols = 1;
        p.num_records = 1;
        p.num_detectors = 1;
        p.instructions.push_back(DormantPromotion{{}, {}, a});
        const PauliString axis = c.axis == 'Z'   ? pauli_z(1, 0)
                                 : c.axis == 'X' ? pauli_x(1, 0)
                                                 : pauli_y(1, 0);
        p.instructions.push_back(
            ActiveMeasurement{symbolic_bool(1),
                              {},
                              1,
                              std::nullopt,
                              std::nullopt,
                              PrecomputedActivePauliMeasurementKernel::from_pauli(axis),
                              1});
        p.instructions.push_back(Detector{{symbolic_bool(1), {1}, {}, 1, false}});
        const OutcomeDistribution d = testing::run_factored_reference(p);
        EXPECT_NEAR(d.records.at("1"), c.p1, 1e-12) << c.axis;
        EXPECT_NEAR(d.records.at("0"), 1 - c.p1, 1e-12) << c.axis;
    }
}

}  // namespace
}  // namespace kelvo
