// Helpers shared by the circuit-language unit tests.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include "circuit/parser.h"
#include "errors.h"
#include "format.h"

namespace kelvo::testing {

// Bit pattern of a double, for bit-exact comparisons.
inline uint64_t bits(double x) {
    return std::bit_cast<uint64_t>(x);
}

inline Circuit parse(std::string_view text) {
    return parse_kelvo_circuit_text(text);
}

// A parsed circuit in one line: each instruction as its gate, arguments, targets (qubits,
// measured qubits, Pauli products, record>qubit pairs), probability p, expectation slot @ and
// line L; then each detector with its coordinates, records and position #, each observable
// include, and the counts. Angles are left to the tests that need them bit for bit.
inline std::string describe(const Circuit& c) {
    // Gate names by code, "ROT" for every Pauli rotation and "E" for a correlated-error chain.
    static constexpr std::string_view kNames =
        "TICK H H_NXY H_NXZ H_NYZ H_XY H_YZ C_NXYZ C_NZYX C_XNYZ C_XYNZ C_XYZ C_ZNYX C_ZYNX C_ZYX "
        "S S_DAG SQRT_X SQRT_X_DAG SQRT_Y SQRT_Y_DAG X Y Z CX CY CZ SWAP CXSWAP CZSWAP ISWAP "
        "ISWAP_DAG SQRT_XX SQRT_XX_DAG SQRT_YY SQRT_YY_DAG SQRT_ZZ SQRT_ZZ_DAG SWAPCX XCX XCY XCZ "
        "YCX YCY YCZ T T_DAG ROT M MX MY MR MRX MRY R RX RY MPP EXP_VAL X_ERROR Y_ERROR Z_ERROR "
        "DEPOLARIZE1 DEPOLARIZE2 DEPOLARIZE3 PAULI_CHANNEL_1 PAULI_CHANNEL_2 PAULI_CHANNEL_3 E "
        "HERALDED_ERASE HERALDED_PAULI_CHANNEL_1 MPAD FEEDBACK_X FEEDBACK_Y FEEDBACK_Z ";
    const auto name = [](CircuitGate gate) {
        size_t start = 0;
        for (int k = static_cast<int>(gate); k > 0; --k)
            start = kNames.find(' ', start) + 1;
        return kNames.substr(start, kNames.find(' ', start) - start);
    };
    using std::to_string;
    std::string out;
    const auto put = [&out](std::string_view sep, const std::string& s) {
        out.append(sep).append(s);
    };
    const auto numbers = [&](const std::vector<double>& v) {
        for (size_t k = 0; k < v.size(); ++k)
            put(k ? "," : "(", format_float(v[k]));
        if (!v.empty()) out += ')';
    };
    for (const CircuitInstruction& i : c.instructions) {
        out += name(i.gate);
        numbers(i.args);
        for (const size_t q : i.qubits)
            put(" ", to_string(q));
        for (const CircuitMeasurementTarget& m : i.measurements)
            put(m.inverted ? " !" : " ", to_string(m.qubit));
        for (const CircuitPauliProduct& p : i.paulis)
            put(p.inverted ? " !" : " ", p.pauli.str());
        for (const CircuitFeedbackTarget& f : i.feedback)
            put(" ", to_string(f.record) + ">" + to_string(f.qubit));
        if (i.probability != 0) put(" p=", format_float(i.probability));
        if (i.exp_val_start) put(" @", to_string(*i.exp_val_start));
        put(" L", to_string(i.line) + "; ");
    }
    for (const CircuitDetector& d : c.detectors) {
        out += d.discard ? "DISCARD" : "DETECTOR";
        numbers(d.coords);
        for (const size_t r : d.records)
            put(" ", to_string(r));
        put(" #", to_string(d.source_position) + " L" + to_string(d.line) + "; ");
    }
    for (const CircuitObservableInclude& o : c.observables) {
        put("OBS(", to_string(o.index) + ")");
        for (const size_t r : o.records)
            put(" ", to_string(r));
        put(" L", to_string(o.line) + "; ");
    }
    return out + "q" + to_string(c.num_qubits) + " m" + to_string(c.num_measurements) + " e" +
           to_string(c.num_exp_vals);
}

// The parsed text in the form above.
inline std::string described(std::string_view text) {
    return describe(parse_kelvo_circuit_text(text));
}

// What `call()` returns, or the message of the KelvoError it throws.
template <class F>
std::string outcome_of(F&& call) {
    try {
        return call();
    } catch (const KelvoError& e) {
        return e.what();
    }
}

// The parsed text as described above, or the message it is refused with; with a budget of
// flattened work other than the memory available now, when one is given.
inline std::string outcome(std::string_view text, uint64_t budget = 0) {
    return outcome_of([&] {
        return describe(budget ? detail::parse_kelvo_circuit_text(text, budget)
                               : parse_kelvo_circuit_text(text));
    });
}

// Texts and what parsing each gives (a description or a whole message).
inline void expect_outcomes(std::initializer_list<std::pair<std::string, std::string>> cases) {
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(outcome(text), expected) << text;
}

// Texts that are all refused with the same whole message.
inline void expect_refused(std::string_view message, std::initializer_list<std::string> texts) {
    for (const std::string& text : texts)
        EXPECT_EQ(outcome(text), message) << text;
}

}  // namespace kelvo::testing
