// The closed instruction set: every name of the language, what reads its line, and the gate
// code it produces.
#pragma once

#include <cstdint>
#include <string_view>

#include "circuit/ir.h"

namespace kelvo {

// How a line's arguments and targets are read (one reader per row of the dispatch table).
enum class OpKind : uint8_t {
    Unknown,  // not in the instruction set
    Repeat,
    CorrelatedError,      // E, CORRELATED_ERROR: starts a chain
    ElseCorrelatedError,  // extends the open chain
    Tick,
    Detector,  // DETECTOR, DISCARD
    ObservableInclude,
    QubitCoords,
    ShiftCoords,
    QubitGate,           // no arguments, qubit list (single- and two-qubit Cliffords, T, resets)
    AxisRotation,        // R_X, R_Y, R_Z
    PairRotation,        // R_XX, R_YY, R_ZZ
    U3Rotation,          // U, U3
    PauliRotation,       // R_PAULI
    FixedRotation,       // SPP, SPP_DAG
    Measurement,         // M .. MRY and MPAD: optional probability, measurement list
    ProductMeasurement,  // MPP
    PairMeasurement,     // MXX, MYY, MZZ
    ExpVal,
    ProbabilityChannel,  // X_ERROR .. DEPOLARIZE3, HERALDED_ERASE: one probability
    ArgsChannel,         // PAULI_CHANNEL_1/2/3, HERALDED_PAULI_CHANNEL_1: fixed argument count
    Identity,            // I, II
    IdentityError,       // I_ERROR, II_ERROR
};

// Which record-controlled form a name takes when a target is a measurement record.
enum class FeedbackForm : uint8_t {
    None,           // record targets are refused
    ControlFirst,   // CX, CY: the record is the control (first of the pair)
    ControlSecond,  // XCZ, YCZ: the record is the second of the pair
    EitherSide,     // CZ: a record on either side
};

struct OpInfo {
    std::string_view name;  // canonical upper-case spelling
    OpKind kind = OpKind::Unknown;
    CircuitGate gate = CircuitGate::TICK;
    char axis = 0;          // X, Y or Z for the axis forms
    uint8_t arg_count = 0;  // ArgsChannel: required count
    bool paired = false;    // Identity / IdentityError: targets must pair up (II, II_ERROR)
    bool discard = false;   // Detector: DISCARD
    FeedbackForm feedback = FeedbackForm::None;
    CircuitGate feedback_gate = CircuitGate::TICK;
    bool counts_qubits = true;  // whether its targets size the circuit's qubit count
};

// Upper estimate of the dense Pauli products a line of `kind` with `targets` targets builds.
uint64_t dense_product_count(OpKind kind, uint64_t targets);

// Looks up a name in any letter case; names outside the set give an Unknown entry.
const OpInfo& lookup_op(std::string_view name);

}  // namespace kelvo
