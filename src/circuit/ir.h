// The parsed, fully flattened circuit: instructions with gate codes, detectors, observable
// includes and counts. The parser is its only writer; everything downstream only reads it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "cancellation.h"
#include "pauli.h"

namespace kelvo {

// Instruction kind. The numbers are fixed: later stages read them back by number.
enum class CircuitGate : uint8_t {
    TICK = 0,
    H = 1,  // H, H_XZ
    H_NXY = 2,
    H_NXZ = 3,
    H_NYZ = 4,
    H_XY = 5,
    H_YZ = 6,
    C_NXYZ = 7,
    C_NZYX = 8,
    C_XNYZ = 9,
    C_XYNZ = 10,
    C_XYZ = 11,
    C_ZNYX = 12,
    C_ZYNX = 13,
    C_ZYX = 14,
    S = 15,      // S, SQRT_Z
    S_DAG = 16,  // S_DAG, SQRT_Z_DAG
    SQRT_X = 17,
    SQRT_X_DAG = 18,
    SQRT_Y = 19,
    SQRT_Y_DAG = 20,
    X = 21,
    Y = 22,
    Z = 23,
    CX = 24,  // CX, CNOT, ZCX
    CY = 25,  // CY, ZCY
    CZ = 26,  // CZ, ZCZ
    SWAP = 27,
    CXSWAP = 28,
    CZSWAP = 29,  // CZSWAP, SWAPCZ
    ISWAP = 30,
    ISWAP_DAG = 31,
    SQRT_XX = 32,
    SQRT_XX_DAG = 33,
    SQRT_YY = 34,
    SQRT_YY_DAG = 35,
    SQRT_ZZ = 36,
    SQRT_ZZ_DAG = 37,
    SWAPCX = 38,
    XCX = 39,
    XCY = 40,
    XCZ = 41,
    YCX = 42,
    YCY = 43,
    YCZ = 44,
    T = 45,
    T_DAG = 46,
    PAULI_ROTATION = 47,  // R_X .. R_ZZ, R_PAULI, SPP, SPP_DAG, U / U3 (three each)
    M = 48,               // M, MZ
    MX = 49,
    MY = 50,
    MR = 51,  // MR, MRZ
    MRX = 52,
    MRY = 53,
    R = 54,  // R, RZ
    RX = 55,
    RY = 56,
    MPP = 57,  // MPP, MXX, MYY, MZZ
    EXP_VAL = 58,
    X_ERROR = 59,
    Y_ERROR = 60,
    Z_ERROR = 61,
    DEPOLARIZE1 = 62,
    DEPOLARIZE2 = 63,
    DEPOLARIZE3 = 64,
    PAULI_CHANNEL_1 = 65,
    PAULI_CHANNEL_2 = 66,
    PAULI_CHANNEL_3 = 67,
    CORRELATED_ERROR = 68,  // one whole CORRELATED_ERROR / ELSE_CORRELATED_ERROR chain
    HERALDED_ERASE = 69,
    HERALDED_PAULI_CHANNEL_1 = 70,
    MPAD = 71,
    FEEDBACK_X = 72,  // record-controlled X
    FEEDBACK_Y = 73,  // record-controlled Y
    FEEDBACK_Z = 74,  // record-controlled Z
};

// A Pauli product over the circuit's full qubit count; `inverted` is the XOR of the `!`
// marks of its factors.
struct CircuitPauliProduct {
    PauliString pauli;
    bool inverted = false;

    bool operator==(const CircuitPauliProduct&) const = default;
};

// A Pauli controlled by an earlier measurement record (1-based).
struct CircuitFeedbackTarget {
    size_t record = 0;
    size_t qubit = 0;

    bool operator==(const CircuitFeedbackTarget&) const = default;
};

// A measured qubit (for MPAD, the written value) and whether its result is inverted.
struct CircuitMeasurementTarget {
    size_t qubit = 0;
    bool inverted = false;

    bool operator==(const CircuitMeasurementTarget&) const = default;
};

// One flattened instruction. Fields a gate code does not use stay empty or zero.
struct CircuitInstruction {
    std::optional<size_t> exp_val_start;  // EXP_VAL: slot of its first product
    std::vector<size_t> qubits;
    std::vector<CircuitMeasurementTarget> measurements;
    std::vector<CircuitPauliProduct> paulis;
    std::vector<CircuitFeedbackTarget> feedback;
    std::vector<double> args;
    double probability = 0.0;
    double angle = 0.0;  // PAULI_ROTATION: half the rotation angle in radians
    size_t line = 0;     // 1-based source line
    CircuitGate gate = CircuitGate::TICK;
};

struct CircuitDetector {
    std::vector<size_t> records;  // 1-based record numbers, in target order
    std::vector<double> coords;   // declared coordinates plus the shift in force
    size_t line = 0;
    size_t source_position = 0;  // instructions appended before the declaration
    bool discard = false;        // DISCARD: failing shots are always discarded
};

struct CircuitObservableInclude {
    std::vector<size_t> records;  // 1-based record numbers
    size_t index = 0;             // at most 2147483647
    size_t line = 0;
};

struct Circuit {
    std::vector<CircuitInstruction> instructions;  // REPEAT bodies already unrolled
    std::vector<CircuitDetector> detectors;        // DETECTOR and DISCARD, in order met
    std::vector<CircuitObservableInclude> observables;
    size_t num_qubits = 0;        // 1 + largest counted qubit index; 0 when none
    size_t num_measurements = 0;  // measurement records produced
    size_t num_exp_vals = 0;      // expectation-value slots requested

    // Parses circuit text; throws KelvoError (Parse kind, "line N: ...") on the first bad line,
    // Cancelled when `cancel` asks the parse to stop.
    static Circuit from_text(std::string_view text, const CancellationCheck& cancel = {});

    // 1 + the largest observable index, or 0 when there is none.
    size_t observable_count() const;
};

}  // namespace kelvo
