// Test oracle for compiled programs: runs a FactoredInstructionProgram exactly, on one dense
// active state per branch. It branches lazily on each noise condition when an instruction
// first reads it (Bernoulli or categorical weights), on each fair coin and on each active
// measurement outcome (Born weight), and applies rotations, promotions and projections by the
// index rules the sampling kernels must follow: a projection removes the pivot qubit and moves
// the higher index bits down by one; a promotion adds the new qubit as the top index bit.
// Per branch it checks that no condition is read before it is assigned, that each record is
// written once and that each detector's parity equals the XOR of its records.
// Only the tests include this header.
#pragma once

#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "compiler/program.h"
#include "errors.h"
#include "testing/dense_circuit.h"

namespace kelvo::testing {

namespace reference_detail {

using C = std::complex<double>;

inline C complex(Complex c) {
    return {c.re, c.im};
}

using dense_detail::apply_pauli;

// Index t with bit v inserted at position p.
inline uint64_t insert_bit(uint64_t t, uint64_t p, uint64_t v) {
    const uint64_t low = t & ((uint64_t{1} << p) - 1);
    return low | (v << p) | ((t >> p) << (p + 1));
}

struct Branch {
    std::vector<C> amplitudes{1.0};
    uint64_t k = 0;
    std::vector<int8_t> conditions;  // -1 unassigned
    std::string records;             // '-' not yet written
    double weight = 1;
};

class Interpreter {
  public:
    Interpreter(const FactoredInstructionProgram& program, OutcomeDistribution& out)
        : program_(program), out_(out) {}

    void start() {
        Branch b;
        b.k = program_.initial_active_qubits;
        b.amplitudes.assign(uint64_t{1} << b.k, 0.0);
        b.amplitudes[0] = 1;
        b.conditions.assign(program_.num_symbols + 1, -1);
        b.records.assign(program_.num_records, '-');
        run(0, std::move(b));
    }

  private:
    static constexpr double kPrune = 1e-14;

    bool is_noise(int32_t c) const {
        return program_.context.bernoulli.count(c) || program_.context.categorical_of.contains(c);
    }

    int8_t& slot(Branch& b, int32_t c) const {
        KELVO_ASSERT(c >= 1 && static_cast<uint64_t>(c) < b.conditions.size(),
                     "reference: condition id beyond the program's symbols");
        return b.conditions[c];
    }

    bool eval(Branch& b, const SymbolicBool& s) const {
        bool v = s.constant;
        for (const int32_t c : s.conditions) {
            const int8_t bit = slot(b, c);
            KELVO_ASSERT(bit >= 0, "reference: condition read before it was assigned");
            v ^= bit != 0;
        }
        return v;
    }

    void assign(Branch& b, int32_t c, bool value) const {
        int8_t& bit = slot(b, c);
        KELVO_ASSERT(bit < 0, "reference: condition assigned twice");
        bit = value;
    }

    // Writes the outcome to its record and its condition.
    void write(Branch& b, std::optional<uint32_t> record, std::optional<uint32_t> condition,
               bool value) const {
        if (record) {
            KELVO_ASSERT(*record >= 1 && *record <= b.records.size(),
                         "reference: record id out of range");
            char& r = b.records[*record - 1];
            KELVO_ASSERT(r == '-', "reference: record written twice");
            r = value ? '1' : '0';
        }
        if (condition) assign(b, static_cast<int32_t>(*condition), value);
    }

    void expectation(const Branch& b, uint32_t slot, double value) {
        out_.expectations[{slot, b.records.substr(0, b.records.find('-'))}] += b.weight * value;
    }

    // Branches on the first unassigned noise condition of `s` other than `skip`; false when
    // every such condition is already known.
    bool branch_on_noise(size_t i, const Branch& b, const SymbolicBool& s, int32_t skip) {
        for (const int32_t c : s.conditions) {
            if (c == skip || b.conditions.at(c) >= 0) continue;
            KELVO_ASSERT(is_noise(c), "reference: condition read before it was assigned");
            const auto bern = program_.context.bernoulli.find(c);
            if (bern != program_.context.bernoulli.end()) {
                for (const bool v : {false, true}) {
                    const double p = v ? bern->second : 1 - bern->second;
                    if (p <= 0) continue;
                    Branch next = b;
                    next.conditions[c] = v;
                    next.weight *= p;
                    run(i, std::move(next));
                }
                return true;
            }
            const SymbolicCategoricalDistribution& d =
                program_.context.categoricals.at(program_.context.categorical_of.at(c));
            for (size_t j = 0; j < d.probabilities().size(); ++j) {
                if (d.probabilities()[j] <= 0) continue;
                Branch next = b;
                for (size_t t = 0; t < d.conditions.size(); ++t)
                    next.conditions.at(d.conditions[t]) =
                        (d.assignments()[j][t / 64] >> (t % 64)) & 1;
                next.weight *= d.probabilities()[j];
                run(i, std::move(next));
            }
            return true;
        }
        return false;
    }

    // exp(-i theta m P) with m = -1 where the sign is true.
    static void rotate(Branch& b, const PrecomputedActivePauliRotationKernel& kernel, bool negate) {
        KELVO_ASSERT(kernel.action.k == b.k, "reference: rotation kernel width differs");
        const auto& a = kernel.action;
        const std::vector<C> p =
            apply_pauli(b.amplitudes, a.x_mask, a.z_mask, complex(a.coefficient));
        const double theta = negate ? -kernel.theta : kernel.theta;
        const C cs = std::cos(theta), sn = C(0, -std::sin(theta));
        for (size_t j = 0; j < p.size(); ++j)
            b.amplitudes[j] = cs * b.amplitudes[j] + sn * p[j];
    }

    static void promote(Branch& b, double angle, bool negate) {
        const double theta = negate ? -angle : angle;
        const uint64_t d = b.amplitudes.size();
        b.amplitudes.resize(2 * d);
        for (uint64_t t = 0; t < d; ++t) {
            b.amplitudes[t + d] = C(0, -std::sin(theta)) * b.amplitudes[t];
            b.amplitudes[t] *= std::cos(theta);
        }
        ++b.k;
    }

    // Probability of `outcome` (true: eigenvalue -1) by the Born rule on the projector.
    static double born(const Branch& b, const PrecomputedActivePauliMeasurementKernel& m,
                       bool outcome) {
        const std::vector<C> p =
            apply_pauli(b.amplitudes, m.x_mask, m.z_mask, complex(m.coefficient));
        double q = 0;
        for (size_t j = 0; j < p.size(); ++j)
            q += std::norm(0.5 * (b.amplitudes[j] + (outcome ? -1.0 : 1.0) * p[j]));
        return q;
    }

    // The state of the remaining qubits after `outcome`, pivot removed, scaled by 1/sqrt(q).
    static void project(Branch& b, const PrecomputedActivePauliMeasurementKernel& m, bool outcome,
                        double q) {
        const uint64_t half = b.amplitudes.size() / 2, p = m.pivot;
        const double scale = 1 / std::sqrt(q);
        std::vector<C> next(half);
        for (uint64_t t = 0; t < half; ++t) {
            const uint64_t i = insert_bit(t, p, 0);
            if (m.kind == ActiveMeasurementKind::Diagonal) {
                const uint64_t bit = (std::popcount(i & m.rest_mask) % 2) ^ (m.negative ^ outcome);
                next[t] = scale * b.amplitudes[i | (bit << p)];
            } else {
                const double s = (std::popcount(i & m.z_mask) % 2 == outcome) ? 1.0 : -1.0;
                const C g = std::conj(complex(m.coefficient)) * s;
                next[t] =
                    scale * (b.amplitudes[i] + g * b.amplitudes[i ^ m.x_mask]) / std::sqrt(2.0);
            }
        }
        KELVO_ASSERT(std::abs(oracle::weight(next) - 1) < 1e-9, "reference: projection lost norm");
        b.amplitudes = std::move(next);
        --b.k;
    }

    void run(size_t i, Branch b) {
        for (; i < program_.instructions.size(); ++i) {
            const FactoredInstruction& instruction = program_.instructions[i];
            int32_t coin = 0;
            if (const auto* m = std::get_if<ActiveMeasurement>(&instruction))
                coin = m->outcome_condition;
            if (const auto* r = std::get_if<RandomOutcome>(&instruction))
                coin = r->outcome_condition;
            if (branch_on_noise(i, b, instruction_sign(instruction), coin)) return;

            if (const auto* r = std::get_if<ActiveRotation>(&instruction)) {
                rotate(b, r->kernel, eval(b, r->sign));
            } else if (const auto* p = std::get_if<DormantPromotion>(&instruction)) {
                KELVO_ASSERT(b.k < program_.active_qubits,
                             "reference: promotion past the active size");
                promote(b, p->angle, eval(b, p->sign));
            } else if (const auto* d = std::get_if<DeterministicOutcome>(&instruction)) {
                const bool v = eval(b, d->sign);
                if (d->exp_index)
                    expectation(b, *d->exp_index, v ? -1.0 : 1.0);
                else
                    write(b, d->record, d->condition, v);
            } else if (const auto* det = std::get_if<Detector>(&instruction)) {
                bool parity = false;
                for (const int32_t r : det->detector.records) {
                    KELVO_ASSERT(r >= 1 && static_cast<uint64_t>(r) <= b.records.size() &&
                                     b.records[r - 1] != '-',
                                 "reference: detector reads an unwritten record");
                    parity ^= b.records[r - 1] == '1';
                }
                KELVO_ASSERT(eval(b, det->detector.parity) == parity,
                             "reference: detector parity differs from its records");
            } else if (const auto* m = std::get_if<ActiveMeasurement>(&instruction)) {
                if (m->exp_index) {
                    const double v = 1 - 2 * born(b, m->kernel, true);
                    expectation(b, *m->exp_index, eval(b, m->sign) ? -v : v);
                    continue;
                }
                KELVO_ASSERT(m->kernel.k == b.k, "reference: measurement kernel width differs");
                for (const bool outcome : {false, true}) {
                    const double q = born(b, m->kernel, outcome);
                    if (q < kPrune) continue;
                    Branch next = b;
                    project(next, m->kernel, outcome, q);
                    next.weight *= q;
                    assign(next, m->outcome_condition, outcome);
                    write(next, m->record, m->condition, eval(next, m->sign));
                    run(i + 1, std::move(next));
                }
                return;
            } else if (const auto* r = std::get_if<RandomOutcome>(&instruction)) {
                if (r->exp_index) {
                    expectation(b, *r->exp_index, 0.0);
                    continue;
                }
                for (const bool outcome : {false, true}) {
                    Branch next = b;
                    next.weight *= 0.5;
                    assign(next, r->outcome_condition, outcome);
                    write(next, r->record, r->condition, eval(next, r->sign));
                    run(i + 1, std::move(next));
                }
                return;
            }
        }
        out_.records[b.records] += b.weight;
    }

    const FactoredInstructionProgram& program_;
    OutcomeDistribution& out_;
};

}  // namespace reference_detail

// The exact distribution of the program's records and expectation values. Meant for programs
// of at most 12 active qubits and a few noise conditions.
inline OutcomeDistribution run_factored_reference(const FactoredInstructionProgram& program) {
    KELVO_ASSERT(program.active_qubits <= 12, "reference run is limited to 12 active qubits");
    OutcomeDistribution out;
    reference_detail::Interpreter(program, out).start();
    return out;
}

}  // namespace kelvo::testing
