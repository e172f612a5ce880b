// Rotation instructions: every rotation except T / T_DAG becomes a PAULI_ROTATION instruction
// holding one Pauli product per rotation and one common half-angle in radians.
#pragma once

#include <vector>

#include "circuit/builder.h"
#include "circuit/syntax.h"

namespace kelvo {

// Half the rotation angle in radians of an angle written in half-turns: a * pi / 2.
double rotation_half_angle(double half_turns);

void append_single_axis_rotation(KelvoCircuitBuilder& builder, const KelvoInstructionView& node,
                                 char axis);
void append_two_axis_rotation(KelvoCircuitBuilder& builder, const KelvoInstructionView& node,
                              char axis);
// U / U3 (theta, phi, lambda): Z(lambda), then Y(theta), then Z(phi), each over every target.
void append_u3_rotation(KelvoCircuitBuilder& builder, const KelvoInstructionView& node);
// R_PAULI (one angle), SPP (pi/4) and SPP_DAG (-pi/4) over product targets.
void append_product_rotation(KelvoCircuitBuilder& builder, const KelvoInstructionView& node);

void append_pauli_rotation_instruction(KelvoCircuitBuilder& builder, size_t line,
                                       std::vector<CircuitPauliProduct> products, double angle);

}  // namespace kelvo
