// The interactive Clifford+T simulator. Its state is the sum of a_k F|k> over the labels k of a
// sparse amplitude table, F being a Clifford frame: Clifford gates change only F, peeks read both.
//
// Failures that the user can cause are thrown as SimError; broken invariants as FatalError; a
// register or table that cannot be allocated as std::bad_alloc, leaving the simulator unchanged.
#pragma once

#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "pauli.h"
#include "tableau_simulator/complex.h"
#include "tableau_simulator/decomposition.h"
#include "tableau_simulator/error.h"
#include "tableau_simulator/frame.h"
#include "tableau_simulator/label.h"
#include "tableau_simulator/measurement.h"
#include "tableau_simulator/terms.h"

namespace kelvo::tableau_simulator {

// The amplitude table in the form fixed by the frame's stride W: Key<W> for W = 1, 2, 4, 8 and
// Label for any other W. Visit it with a generic lambda over Terms<K>.
using Amps = std::variant<Terms<Key<1>>, Terms<Key<2>>, Terms<Key<4>>, Terms<Key<8>>, Terms<Label>>;

// The form for labels of `key_words` words holding the one term |0...0> with amplitude 1.
Amps initial_amps(uint64_t key_words);
// A copy of `amps` in the form for `key_words` words (at least the current width): every label
// gains zero words, every amplitude is copied bit for bit.
Amps widened(const Amps& amps, uint64_t key_words);

struct Core {
    Frame frame;
    uint64_t num_qubits = 0;
    uint64_t key_words = 1;  // words per label; equals frame.stride()
    uint64_t rng = 0;        // SplitMix64 state
    double prune_epsilon = 1e-12;
    uint64_t rank_cap = uint64_t{1} << 20;

    // F^dagger P F in label space, P's sign included. Throws SimError::QubitOutOfRange when P
    // touches a qubit outside the register, then SimError::NonHermitianAxis when P is not
    // Hermitian. K must be the live label type.
    template <LabelKey K>
    Decomp<K> decompose(const PauliString& pauli) const;
    // The same for X_q, Y_q or Z_q; q must be inside the register.
    template <LabelKey K>
    Decomp<K> decompose_basis(Axis axis, uint64_t q) const;
};

class TableauSimulator {
  public:
    // |0...0> on num_qubits qubits, generator state = seed.
    static TableauSimulator with_seed(uint64_t num_qubits, uint64_t seed);
    // The same with a seed from operating-system entropy (fresh per simulator).
    static TableauSimulator with_entropy(uint64_t num_qubits);

    // Grows the register to at least n qubits (new qubits in |0>), moving the amplitude table to
    // wider labels when the frame's stride grows.
    void ensure_qubits(uint64_t n);
    uint64_t num_qubits() const { return core.num_qubits; }
    // Number of terms in the amplitude table.
    uint64_t rank() const;

    // Single-qubit Clifford gates; each grows the register to q + 1 first.
    void h(uint64_t q);
    void s(uint64_t q);
    void s_dag(uint64_t q);
    void x(uint64_t q);
    void y(uint64_t q);
    void z(uint64_t q);
    void sqrt_x(uint64_t q);
    void sqrt_x_dag(uint64_t q);
    void sqrt_y(uint64_t q);
    void sqrt_y_dag(uint64_t q);
    void h_xy(uint64_t q);
    void h_yz(uint64_t q);
    void c_xyz(uint64_t q);
    void c_zyx(uint64_t q);

    // Two-qubit gates (control, target); equal qubits throw SimError::RepeatedQubit and change
    // nothing.
    void cx(uint64_t control, uint64_t target);
    void cy(uint64_t control, uint64_t target);
    void cz(uint64_t control, uint64_t target);
    void xcx(uint64_t control, uint64_t target);
    void xcy(uint64_t control, uint64_t target);
    void xcz(uint64_t control, uint64_t target);
    void ycx(uint64_t control, uint64_t target);
    void ycy(uint64_t control, uint64_t target);
    void ycz(uint64_t control, uint64_t target);
    void zcx(uint64_t control, uint64_t target);
    void zcy(uint64_t control, uint64_t target);
    void zcz(uint64_t control, uint64_t target);
    void iswap(uint64_t a, uint64_t b);
    void iswap_dag(uint64_t a, uint64_t b);
    // The control_axis-controlled target_axis gate.
    void gate2(Axis control_axis, Axis target_axis, uint64_t control, uint64_t target);
    // SWAP; a == b does nothing but grow the register.
    void swap(uint64_t a, uint64_t b);
    // The Pauli product P as a gate (its phase is a global phase).
    void pauli(const PauliString& p);
    // (I + C + T - C*T)/2: T where C has eigenvalue -1. Throws
    // SimError::ControlledPauliAnticommutes, then SimError::ControlledPauliNotPositive; C and T
    // acting on different qubit counts is fatal.
    void controlled_pauli(const PauliString& control, const PauliString& target);

    // T rotations exp(-i pi/8 P), and T dagger exp(+i pi/8 P), with no global phase; T on q
    // rotates about Z_q. They grow the register first (the growth stays when the rotation
    // fails) and throw SimError::RankCapExceeded or SimError::PrunedAllAmplitudes, leaving the
    // table unchanged. t_pauli throws SimError::NonHermitianAxis before anything changes.
    void t(uint64_t q);
    void t_dag(uint64_t q);
    void t_about(uint64_t q, bool adjoint);
    void t_pauli(const PauliString& axis, bool adjoint);
    // CCZ (up to the global phase e^(-i pi/8)) from seven Pauli rotations. Repeated qubits throw
    // SimError::RepeatedQubit; any failure leaves the simulator exactly as it was.
    void ccz(uint64_t a, uint64_t b, uint64_t c);

    // Measurements draw one uniform each (also when the outcome is certain); postselections
    // draw nothing and throw SimError::ImpossiblePostselection for an outcome of probability
    // below 1e-9. `desired_value` true asks for eigenvalue -1.
    MeasureResult measure(uint64_t q);
    MeasureResult postselect_x(uint64_t q, bool desired_value);
    MeasureResult postselect_y(uint64_t q, bool desired_value);
    MeasureResult postselect_z(uint64_t q, bool desired_value);
    MeasureResult measure_axis(Axis axis, uint64_t q, std::optional<bool> forced);
    // Throw SimError::NonHermitianAxis before anything changes.
    MeasureResult measure_observable(const PauliString& observable);
    MeasureResult postselect_observable(const PauliString& observable, bool desired_value);
    // A drawn measurement followed by the Pauli that returns the qubit to |0>, |+> or |+i>.
    void reset(uint64_t q);
    void reset_z(uint64_t q);
    void reset_x(uint64_t q);
    void reset_y(uint64_t q);

    // Expectation values, clamped to [-1, 1]. A qubit outside the register throws
    // SimError::QubitOutOfRange; nothing grows.
    double peek_x(uint64_t q) const { return peek_axis(Axis::X, q); }
    double peek_y(uint64_t q) const { return peek_axis(Axis::Y, q); }
    double peek_z(uint64_t q) const { return peek_axis(Axis::Z, q); }
    double peek_axis(Axis axis, uint64_t q) const;
    // Throws as Core::decompose does.
    double peek_observable_expectation(const PauliString& observable) const;

    // The 2^n amplitudes (qubit 0 is the low bit of the index), with the global phase that makes
    // the entry of the reference state's smallest basis index real and positive. Fatal for 64
    // qubits or more, and for a Clifford frame spreading |0...0> over 2^30 or more basis states.
    std::vector<Complex> state_vector() const;

    Amps amps;
    Core core;

  private:
    TableauSimulator() = default;
    // ensure_qubits(q + 1) for the qubit q, which must fit in a register.
    void ensure_qubit(uint64_t q);
    void check_pair(uint64_t a, uint64_t b);
    void ccz_rotations(uint64_t a, uint64_t b, uint64_t c);
    MeasureResult measure_pauli(const PauliString& observable, std::optional<bool> forced);
    void reset_axis(Axis axis, uint64_t q);
};

}  // namespace kelvo::tableau_simulator
