#include "tableau_simulator/simulator.h"

#include <algorithm>
#include <new>
#include <string>
#include <type_traits>

#include "entropy.h"
#include "errors.h"
#include "tableau_simulator/state_vector.h"

namespace kelvo::tableau_simulator {
namespace {

// Calls f(std::type_identity<K>{}) for the label type of `key_words` words.
template <class F>
Amps with_label_type(uint64_t key_words, F&& f) {
    switch (key_words) {
        case 1:
            return f(std::type_identity<Key<1>>{});
        case 2:
            return f(std::type_identity<Key<2>>{});
        case 4:
            return f(std::type_identity<Key<4>>{});
        case 8:
            return f(std::type_identity<Key<8>>{});
        default:
            return f(std::type_identity<Label>{});
    }
}

// ISWAP (k = 1) or its inverse (k = 3): CZ, S^k on both qubits, SWAP.
void iswap_rows(Frame& f, uint64_t a, uint64_t b, uint8_t k) {
    f.left_cz(a, b);
    f.left_s(a, k);
    f.left_s(b, k);
    f.left_swap(a, b);
}

}  // namespace

Amps initial_amps(uint64_t key_words) {
    return with_label_type(key_words, [&]<class K>(std::type_identity<K>) -> Amps {
        Terms<K> terms;
        terms.map.insert_new(K::zero(key_words), Complex{1, 0});
        return terms;
    });
}

Amps widened(const Amps& amps, uint64_t key_words) {
    return with_label_type(key_words, [&]<class K>(std::type_identity<K>) -> Amps {
        return std::visit(
            [&](const auto& from) -> Amps { return Terms<K>::rekeyed(from.map, key_words); }, amps);
    });
}

TableauSimulator TableauSimulator::with_seed(uint64_t num_qubits, uint64_t seed) {
    TableauSimulator sim;
    sim.core.frame = Frame::identity(num_qubits);
    sim.core.num_qubits = num_qubits;
    sim.core.key_words = sim.core.frame.stride();
    sim.core.rng = seed;
    sim.amps = initial_amps(sim.core.key_words);
    return sim;
}

TableauSimulator TableauSimulator::with_entropy(uint64_t num_qubits) {
    return with_seed(num_qubits, entropy_seed());
}

void TableauSimulator::ensure_qubits(uint64_t n) {
    if (n <= core.num_qubits) return;
    Frame::word_count_for(n);  // a register that cannot exist fails here, before any change
    const uint64_t new_stride = stride_for(n);
    if (new_stride <= core.key_words) {
        core.frame.resize(n);
        core.num_qubits = n;
        return;
    }
    // Build the wider table before touching the frame, and commit both only once everything is
    // allocated, so that running out of memory leaves the simulator as it was.
    Amps wider = widened(amps, new_stride);
    core.frame.resize(n);
    amps = std::move(wider);
    core.key_words = new_stride;
    core.num_qubits = n;
}

void TableauSimulator::ensure_qubit(uint64_t q) {
    if (q == UINT64_MAX) throw std::bad_alloc();  // a register of 2^64 qubits
    ensure_qubits(q + 1);
}

uint64_t TableauSimulator::rank() const {
    return std::visit([](const auto& terms) -> uint64_t { return terms.map.size(); }, amps);
}

void TableauSimulator::h(uint64_t q) {
    ensure_qubit(q);
    core.frame.left_h(q);
}

void TableauSimulator::s(uint64_t q) {
    ensure_qubit(q);
    core.frame.left_s(q, 1);
}

void TableauSimulator::s_dag(uint64_t q) {
    ensure_qubit(q);
    core.frame.left_s(q, 3);
}

void TableauSimulator::x(uint64_t q) {
    ensure_qubit(q);
    core.frame.negate_row(2 * q + 1);
}

void TableauSimulator::y(uint64_t q) {
    ensure_qubit(q);
    core.frame.negate_row(2 * q);
    core.frame.negate_row(2 * q + 1);
}

void TableauSimulator::z(uint64_t q) {
    ensure_qubit(q);
    core.frame.negate_row(2 * q);
}

void TableauSimulator::sqrt_x(uint64_t q) {
    ensure_qubit(q);
    core.frame.left_root_x(q, 1);
}

void TableauSimulator::sqrt_x_dag(uint64_t q) {
    ensure_qubit(q);
    core.frame.left_root_x(q, 3);
}

void TableauSimulator::sqrt_y(uint64_t q) {
    z(q);
    core.frame.left_h(q);
}

void TableauSimulator::sqrt_y_dag(uint64_t q) {
    ensure_qubit(q);
    core.frame.left_h(q);
    core.frame.negate_row(2 * q);
}

void TableauSimulator::h_xy(uint64_t q) {
    s_dag(q);
    x(q);
}

void TableauSimulator::h_yz(uint64_t q) {
    sqrt_x(q);
    z(q);
}

void TableauSimulator::c_xyz(uint64_t q) {
    sqrt_x(q);
    s(q);
}

void TableauSimulator::c_zyx(uint64_t q) {
    s_dag(q);
    sqrt_x_dag(q);
}

void TableauSimulator::check_pair(uint64_t a, uint64_t b) {
    if (a == b) throw SimError::repeated_qubit(a);
    ensure_qubit(std::max(a, b));
}

void TableauSimulator::cx(uint64_t c, uint64_t t) {
    gate2(Axis::Z, Axis::X, c, t);
}
void TableauSimulator::cy(uint64_t c, uint64_t t) {
    gate2(Axis::Z, Axis::Y, c, t);
}
void TableauSimulator::cz(uint64_t c, uint64_t t) {
    gate2(Axis::Z, Axis::Z, c, t);
}
void TableauSimulator::xcx(uint64_t c, uint64_t t) {
    gate2(Axis::X, Axis::X, c, t);
}
void TableauSimulator::xcy(uint64_t c, uint64_t t) {
    gate2(Axis::X, Axis::Y, c, t);
}
void TableauSimulator::xcz(uint64_t c, uint64_t t) {
    gate2(Axis::X, Axis::Z, c, t);
}
void TableauSimulator::ycx(uint64_t c, uint64_t t) {
    gate2(Axis::Y, Axis::X, c, t);
}
void TableauSimulator::ycy(uint64_t c, uint64_t t) {
    gate2(Axis::Y, Axis::Y, c, t);
}
void TableauSimulator::ycz(uint64_t c, uint64_t t) {
    gate2(Axis::Y, Axis::Z, c, t);
}
void TableauSimulator::zcx(uint64_t c, uint64_t t) {
    gate2(Axis::Z, Axis::X, c, t);
}
void TableauSimulator::zcy(uint64_t c, uint64_t t) {
    gate2(Axis::Z, Axis::Y, c, t);
}
void TableauSimulator::zcz(uint64_t c, uint64_t t) {
    gate2(Axis::Z, Axis::Z, c, t);
}

void TableauSimulator::iswap(uint64_t a, uint64_t b) {
    check_pair(a, b);
    iswap_rows(core.frame, a, b, 1);
}

void TableauSimulator::iswap_dag(uint64_t a, uint64_t b) {
    check_pair(a, b);
    iswap_rows(core.frame, a, b, 3);
}

void TableauSimulator::gate2(Axis control_axis, Axis target_axis, uint64_t control,
                             uint64_t target) {
    check_pair(control, target);
    Frame& f = core.frame;
    if (control_axis == Axis::Z && target_axis == Axis::X) return f.left_cx(control, target);
    if (control_axis == Axis::X && target_axis == Axis::Z) return f.left_cx(target, control);
    if (control_axis == Axis::Z && target_axis == Axis::Z) return f.left_cz(control, target);
    // Rotate each non-Z side into Z, apply CZ, rotate back.
    const auto into_z = [&](Axis axis, uint64_t q) {
        if (axis == Axis::X) f.left_h(q);
        if (axis == Axis::Y) f.left_root_x(q, 1);
    };
    const auto out_of_z = [&](Axis axis, uint64_t q) {
        if (axis == Axis::X) f.left_h(q);
        if (axis == Axis::Y) f.left_root_x(q, 3);
    };
    into_z(control_axis, control);
    into_z(target_axis, target);
    f.left_cz(control, target);
    out_of_z(target_axis, target);
    out_of_z(control_axis, control);
}

void TableauSimulator::swap(uint64_t a, uint64_t b) {
    ensure_qubit(std::max(a, b));
    core.frame.left_swap(a, b);
}

void TableauSimulator::pauli(const PauliString& p) {
    if (const auto top = p.max_support()) ensure_qubit(*top);
    core.frame.left_pauli(p);
}

void TableauSimulator::controlled_pauli(const PauliString& control, const PauliString& target) {
    if (pauli_anticommutes(control, target)) throw SimError::controlled_pauli_anticommutes();
    if (letter_phase(control) != 0 || letter_phase(target) != 0) {
        throw SimError::controlled_pauli_not_positive();
    }
    if (const auto top = control.max_support()) ensure_qubit(*top);
    if (const auto top = target.max_support()) ensure_qubit(*top);
    core.frame.left_controlled_pauli(control, target);
}

double TableauSimulator::peek_axis(Axis axis, uint64_t q) const {
    if (q >= core.num_qubits) throw SimError::qubit_out_of_range(q, core.num_qubits);
    const double e = std::visit(
        [&]<LabelKey K>(const Terms<K>& terms) {
            return terms.expectation_of_inner(core.decompose_basis<K>(axis, q));
        },
        amps);
    return std::clamp(e, -1.0, 1.0);
}

double TableauSimulator::peek_observable_expectation(const PauliString& observable) const {
    const double e = std::visit(
        [&]<LabelKey K>(const Terms<K>& terms) {
            return terms.expectation_of_inner(core.decompose<K>(observable));
        },
        amps);
    return std::clamp(e, -1.0, 1.0);
}

std::vector<Complex> TableauSimulator::state_vector() const {
    const uint64_t n = core.num_qubits;
    if (n >= 64) {
        fatal("state-vector reconstruction needs a 2^" + std::to_string(n) +
              " length that fits a usize");
    }
    // Below 64 qubits the register has always had stride 1.
    return reconstruct_state_vector(core.frame, std::get<Terms<Key<1>>>(amps).map);
}

}  // namespace kelvo::tableau_simulator
