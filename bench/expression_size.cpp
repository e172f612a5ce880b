// Prints the size of the program a circuit compiles to: the condition ids over every
// instruction's sign and every detector's parity. Reads the circuit text from standard input.
// bench/compile_growth.py builds it against the core library of a build tree.
#include <cstdint>
#include <iostream>
#include <iterator>
#include <string>

#include "circuit/ir.h"
#include "compiler/compile.h"

int main() {
    const std::string text(std::istreambuf_iterator<char>(std::cin), {});
    const kelvo::FactoredInstructionProgram program =
        kelvo::plan_circuit(kelvo::Circuit::from_text(text), {});
    uint64_t ids = 0;
    for (const kelvo::FactoredInstruction& instruction : program.instructions)
        ids += kelvo::instruction_sign(instruction).conditions.size();
    std::cout << ids << "\n";
}
