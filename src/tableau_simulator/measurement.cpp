#include "tableau_simulator/measurement.h"

#include <bit>
#include <cmath>
#include <variant>

#include "errors.h"
#include "memory.h"
#include "splitmix64.h"
#include "tableau_simulator/error.h"
#include "tableau_simulator/rotation.h"
#include "tableau_simulator/simulator.h"

namespace kelvo::tableau_simulator {
namespace {

constexpr double kMinProbability = 1e-9;
constexpr double kMaxUncertain = 0.999999999;
constexpr double kSqrtHalf = 0.7071067811865476;

template <LabelKey K>
struct ScratchReset {
    RotationScratch<K>& scratch;
    ~ScratchReset() { scratch.clear(); }
};

// The outcome from the expectation value e of the measured Pauli: forced, or drawn with one
// uniform. Nothing else changes here.
MeasureResult choose_outcome(double e, std::optional<bool> forced, uint64_t& rng) {
    double p0 = (e + 1) * 0.5;
    if (p0 < 0) p0 = 0;
    if (p0 > 1) p0 = 1;
    MeasureResult result;
    result.deterministic = p0 < kMinProbability || p0 > kMaxUncertain;
    if (forced) {
        result.outcome = *forced;
        result.probability = *forced ? 1 - p0 : p0;
        if (result.probability < kMinProbability) {
            throw SimError::impossible_postselection(*forced, result.probability);
        }
        return result;
    }
    result.outcome = splitmix64_uniform(rng) >= p0;
    result.probability = result.outcome ? 1 - p0 : p0;
    return result;
}

// Every label is an eigenvector of the measured Pauli: keep the labels of the chosen eigenvalue
// and renormalise. The frame does not change.
template <LabelKey K>
MeasureResult measure_frame_deterministic(Terms<K>& terms, Core& core, const Decomp<K>& d,
                                          std::optional<bool> forced) {
    AmplitudeTable<K>& map = terms.map;
    const MeasureResult result = choose_outcome(terms.expectation_of_inner(d), forced, core.rng);
    const double eps2 = core.prune_epsilon * core.prune_epsilon;
    const auto survives = [&](const K& key, const Complex& a) {
        const double v = key.and_parity(d.z) ? -d.coefficient.re : d.coefficient.re;
        return (result.outcome ? v <= 0 : v > 0) && norm2(a) > eps2;
    };
    uint64_t count = 0;
    double norm = 0;
    for (const auto [key, a] : std::as_const(map)) {
        if (!survives(key, a)) continue;
        ++count;
        norm += norm2(a);
    }
    if (count == 0) throw SimError::pruned_all_amplitudes(core.prune_epsilon);
    if (count > core.rank_cap) throw SimError::rank_cap_exceeded(count, core.rank_cap);
    if (count < map.size()) {
        map.update_or_erase([&](const K& key, Complex& a) { return survives(key, a); });
        shrink_after_pruning(map, count);
    }
    if (norm > 0) {
        const double scale = 1 / std::sqrt(norm);
        for (auto [key, a] : map)
            a = scale * a;
    }
    return result;
}

// The lowest set bit of a nonzero label.
template <LabelKey K>
uint64_t lowest_bit(const K& label) {
    const auto words = label.words();
    for (uint64_t i = 0; i < words.size(); ++i) {
        if (words[i] != 0) return 64 * i + std::countr_zero(words[i]);
    }
    fatal("random branch has nonzero a");
}

// The Pauli pairs each label k with k XOR f. Project onto the chosen eigenspace, then rotate the
// frame by F <- F [Z_j] exp(i pi/4 Q') so that every surviving label has bit j = 0 again.
template <LabelKey K>
MeasureResult measure_random(Terms<K>& terms, Core& core, const Decomp<K>& d,
                             std::optional<bool> forced) {
    RotationScratch<K>& scratch = terms.scratch;
    const AmplitudeTable<K>& map = terms.map;
    const ScratchReset<K> reset{scratch};
    const Complex c = d.coefficient;
    // Before the draw: at most every label gains its partner.
    require_memory(map.size(), bytes_per_label<K>(d.flip.words().size()) + sizeof(Complex),
                   "the measured amplitude table");

    scratch.partners.clear();
    scratch.partners.reserve(map.size());
    double e = 0;
    K partner = d.flip;
    for (const auto [key, a] : map) {
        partner.assign_xor(key, d.flip);
        const Complex* b = map.find(partner);
        if (b == nullptr) {
            scratch.partners.emplace_back();
            continue;
        }
        scratch.partners.emplace_back(*b);
        const Complex w = c * (key.and_parity(d.z) ? -1.0 * a : a);
        e += b->re * w.re + b->im * w.im;
    }
    const MeasureResult result = choose_outcome(e, forced, core.rng);
    const bool m = result.outcome;

    const uint64_t j = lowest_bit(d.flip);
    K z_prime = d.z;
    z_prime.words_mut()[j / 64] ^= uint64_t{1} << (j % 64);
    const double sigma = z_prime.and_parity(d.flip) ? -1.0 : 1.0;
    const double h = m ? -0.5 : 0.5;
    const uint8_t p_minus_1 = static_cast<uint8_t>((d.phase + 3) & 3);
    const Complex w = i_pow(p_minus_1);
    const Complex g{w.im * kSqrtHalf, -w.re * kSqrtHalf};
    const double eps2 = core.prune_epsilon * core.prune_epsilon;

    scratch.staged.clear();
    scratch.new_pairs.clear();
    scratch.staged.reserve(map.size());
    uint64_t pruned = 0;
    double kept_norm = 0;
    size_t i = 0;
    for (const auto [key, a] : map) {
        const std::optional<Complex>& partner_amp = scratch.partners[i++];
        const Complex b = partner_amp.value_or(Complex{});
        const double t = key.bit(j) ? -1.0 : 1.0;
        const double alpha = m ? t : 1.0;
        const double beta = m ? -t : 1.0;
        const double zeta = key.and_parity(d.z) ? -1.0 : 1.0;
        const double eta = key.and_parity(z_prime) ? -1.0 : 1.0;
        const Complex big_a = 0.5 * (alpha * a) + ((alpha * h * zeta * -sigma) * c) * b;
        const Complex big_d = 0.5 * (beta * b) + ((beta * h * zeta) * c) * a;
        const Complex v = kSqrtHalf * big_a + ((sigma * eta) * g) * big_d;
        scratch.staged.push_back(v);
        if (!partner_amp) {
            const Complex n = kSqrtHalf * big_d + (eta * g) * big_a;
            if (norm2(n) > eps2) {
                partner.assign_xor(key, d.flip);
                scratch.new_pairs.emplace_back(partner, n);
                kept_norm += norm2(n);
            }
        }
        if (norm2(v) > eps2) {
            kept_norm += norm2(v);
        } else {
            ++pruned;
        }
    }
    commit_pair_rewrite(terms, core.rank_cap, pruned, true, core.prune_epsilon, kept_norm);

    if (m) core.frame.right_pauli_z(j);
    core.frame.right_pauli_exp(d.flip.words(), z_prime.words(), p_minus_1);
    return result;
}

}  // namespace

template <LabelKey K>
MeasureResult measure_decomposed(Terms<K>& terms, Core& core, const Decomp<K>& d,
                                 std::optional<bool> forced) {
    if (d.flip.is_zero()) return measure_frame_deterministic(terms, core, d, forced);
    return measure_random(terms, core, d, forced);
}

#define KELVO_MEASUREMENT_FOR(K)                                                     \
    template MeasureResult measure_decomposed<K>(Terms<K>&, Core&, const Decomp<K>&, \
                                                 std::optional<bool>);
KELVO_MEASUREMENT_FOR(Key<1>)
KELVO_MEASUREMENT_FOR(Key<2>)
KELVO_MEASUREMENT_FOR(Key<4>)
KELVO_MEASUREMENT_FOR(Key<8>)
KELVO_MEASUREMENT_FOR(Label)
#undef KELVO_MEASUREMENT_FOR

MeasureResult TableauSimulator::measure_axis(Axis axis, uint64_t q, std::optional<bool> forced) {
    ensure_qubit(q);
    return std::visit(
        [&]<LabelKey K>(Terms<K>& terms) {
            return measure_decomposed(terms, core, core.decompose_basis<K>(axis, q), forced);
        },
        amps);
}

MeasureResult TableauSimulator::measure(uint64_t q) {
    return measure_axis(Axis::Z, q, std::nullopt);
}

MeasureResult TableauSimulator::postselect_x(uint64_t q, bool desired_value) {
    return measure_axis(Axis::X, q, desired_value);
}

MeasureResult TableauSimulator::postselect_y(uint64_t q, bool desired_value) {
    return measure_axis(Axis::Y, q, desired_value);
}

MeasureResult TableauSimulator::postselect_z(uint64_t q, bool desired_value) {
    return measure_axis(Axis::Z, q, desired_value);
}

MeasureResult TableauSimulator::measure_pauli(const PauliString& observable,
                                              std::optional<bool> forced) {
    if (letter_phase(observable) % 2 != 0) throw SimError::non_hermitian_axis();
    if (const auto top = observable.max_support()) ensure_qubit(*top);
    return std::visit(
        [&]<LabelKey K>(Terms<K>& terms) {
            return measure_decomposed(terms, core, core.decompose<K>(observable), forced);
        },
        amps);
}

MeasureResult TableauSimulator::measure_observable(const PauliString& observable) {
    return measure_pauli(observable, std::nullopt);
}

MeasureResult TableauSimulator::postselect_observable(const PauliString& observable,
                                                      bool desired_value) {
    return measure_pauli(observable, desired_value);
}

// A drawn measurement, then the Pauli that maps the -1 eigenstate to the +1 one: X_q after a Z
// measurement (negating the Z row), Z_q after an X or Y measurement (negating the X row).
void TableauSimulator::reset_axis(Axis axis, uint64_t q) {
    if (!measure_axis(axis, q, std::nullopt).outcome) return;
    core.frame.negate_row(axis == Axis::Z ? 2 * q + 1 : 2 * q);
}

void TableauSimulator::reset(uint64_t q) {
    reset_axis(Axis::Z, q);
}

void TableauSimulator::reset_z(uint64_t q) {
    reset_axis(Axis::Z, q);
}

void TableauSimulator::reset_x(uint64_t q) {
    reset_axis(Axis::X, q);
}

void TableauSimulator::reset_y(uint64_t q) {
    reset_axis(Axis::Y, q);
}

}  // namespace kelvo::tableau_simulator
