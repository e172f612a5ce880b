#include "compiler/planner.h"

#include <gtest/gtest.h>

#include <string>

#include "circuit/parser.h"
#include "compiler/compile.h"

namespace kelvo {
namespace {

// T gates on qubits held in a Z eigenstate (flipped by noise, entangled only through CX
// controls) are global phases: their noisy signs are never reduced, and the program is the one
// of the circuit without them, outcome for outcome and id for id.
TEST(Planner, GlobalPhaseRotationsPlanAsIfAbsent) {
    const std::string body = "X_ERROR(0.1) 0 1 2\nCX 0 1\nDEPOLARIZE2(0.05) 1 2\nH 2\n";
    const std::string measure = "M 1\nR 1\nMX 2\nDETECTOR rec[-1] rec[-2]\n";
    const std::string with =
        "R 0 1 2\nREPEAT 60 {\n" + body + "T 0\nT_DAG 0\nT 0\n" + measure + "T 0\n}\nM 0\n";
    const std::string without = "R 0 1 2\nREPEAT 60 {\n" + body + measure + "}\nM 0\n";
    const FactoredInstructionProgram a = plan_circuit(parse_kelvo_circuit_text(with), {});
    const FactoredInstructionProgram b = plan_circuit(parse_kelvo_circuit_text(without), {});
    EXPECT_EQ(a.instructions, b.instructions);
    EXPECT_EQ(a.num_symbols, b.num_symbols);
    EXPECT_GT(a.instructions.size(), 180u);
}

}  // namespace
}  // namespace kelvo
