#include "compiler/program.h"

namespace kelvo {
namespace {

template <typename Instruction>
auto& sign_of(Instruction& instruction) {
    return std::visit(
        [](auto& kind) -> auto& {
            if constexpr (requires { kind.detector; }) {
                return kind.detector.parity;
            } else {
                return kind.sign;
            }
        },
        instruction);
}

}  // namespace

const SymbolicBool& instruction_sign(const FactoredInstruction& instruction) {
    return sign_of(instruction);
}

SymbolicBool& instruction_sign(FactoredInstruction& instruction) {
    return sign_of(instruction);
}

}  // namespace kelvo
