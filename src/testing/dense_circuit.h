// Test oracle: the exact outcome distribution of a parsed Circuit, by brute force. Every
// measurement, readout flip and noise outcome is a branch with its exact weight, and each
// branch carries its own state vector, evolved by the gates' textbook matrices. Nothing of the
// compiler is used. Only the tests include this header.
#pragma once

#include <cmath>
#include <complex>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "circuit/ir.h"
#include "errors.h"
#include "pauli.h"
#include "testing/dense_gates.h"
#include "testing/dense_oracle.h"

namespace kelvo::testing {

// What a run of a circuit (or of a compiled program) says about its records.
struct OutcomeDistribution {
    // Record string ('0' / '1' per record, record 1 first) -> its probability.
    std::map<std::string, double> records;
    // (expectation slot, the records written before the request) -> E[value * 1{those records}].
    // Conditioning on the earlier records only keeps this independent of how the noise and the
    // later measurements are split into branches.
    std::map<std::pair<uint64_t, std::string>, double> expectations;
};

// The largest difference between two distributions, entry by entry (a missing entry reads 0).
inline double max_difference(const OutcomeDistribution& a, const OutcomeDistribution& b) {
    double worst = 0;
    auto compare = [&worst](const auto& x, const auto& y) {
        for (const auto& [key, value] : x) {
            const auto it = y.find(key);
            worst = std::max(worst, std::abs(value - (it == y.end() ? 0.0 : it->second)));
        }
    };
    compare(a.records, b.records);
    compare(b.records, a.records);
    compare(a.expectations, b.expectations);
    compare(b.expectations, a.expectations);
    return worst;
}

namespace dense_detail {

using oracle::C;
using State = std::vector<C>;

// c X^x Z^z on a state vector (Z acts first): |b> -> c (-1)^popcount(b AND z) |b XOR x>.
inline State apply_pauli(const State& psi, uint64_t x, uint64_t z, C c) {
    State out(psi.size());
    for (uint64_t b = 0; b < psi.size(); ++b)
        out[b ^ x] = c * (std::popcount(b & z) % 2 ? -1.0 : 1.0) * psi[b];
    return out;
}

// i^phase X^x Z^z, qubit q = index bit q.
inline State apply_pauli(const State& psi, const PauliString& p) {
    static const C kPow[4] = {1, oracle::kI, -1, -oracle::kI};
    return apply_pauli(psi, p.x.empty() ? 0 : p.x[0], p.z.empty() ? 0 : p.z[0], kPow[p.phase % 4]);
}

// A gate matrix u on `qubits` (the first qubit is the lowest local index bit).
inline void apply_local(State& psi, const oracle::Mat& u, const std::vector<uint64_t>& qubits) {
    const uint64_t d = u.dim;
    std::vector<C> in(d), out(d);
    uint64_t mask = 0;
    for (const uint64_t q : qubits)
        mask |= uint64_t{1} << q;
    auto spread = [&qubits](uint64_t local) {
        uint64_t full = 0;
        for (size_t i = 0; i < qubits.size(); ++i)
            full |= ((local >> i) & 1) << qubits[i];
        return full;
    };
    for (uint64_t base = 0; base < psi.size(); ++base) {
        if (base & mask) continue;
        for (uint64_t l = 0; l < d; ++l)
            in[l] = psi[base | spread(l)];
        for (uint64_t r = 0; r < d; ++r) {
            out[r] = 0;
            for (uint64_t c = 0; c < d; ++c)
                out[r] += u.at(r, c) * in[c];
        }
        for (uint64_t l = 0; l < d; ++l)
            psi[base | spread(l)] = out[l];
    }
}

// One step of the flattened circuit; the branch points are the measurements, readout flips
// and noise outcomes.
struct Step {
    enum Kind { kGate, kRotation, kMeasure, kNoise, kPad, kFeedback, kExpectation } kind = kGate;
    oracle::Mat gate;
    std::vector<uint64_t> qubits;
    PauliString pauli;                 // rotation axis, measured or requested Pauli, feedback
    double angle = 0;                  // rotation: exp(-i angle pauli)
    bool inverted = false;             // measurement and pad: record = outcome XOR inverted
    bool records = false;              // measurement: writes a record
    double flip = 0;                   // readout flip probability
    std::optional<PauliString> reset;  // measurement: applied when the outcome is -1
    uint64_t index = 0;                // pad value, feedback record (1-based), slot
    struct Outcome {
        double probability = 0;
        std::vector<PauliString> paulis;  // applied in order
        std::optional<bool> herald;       // written as a record when present
    };
    std::vector<Outcome> outcomes;
};

inline PauliString single(uint64_t n, char axis, uint64_t q) {
    return axis == 'X' ? pauli_x(n, q) : axis == 'Y' ? pauli_y(n, q) : pauli_z(n, q);
}

inline PauliString negated(PauliString p, bool negate) {
    if (negate) p.phase = static_cast<uint8_t>((p.phase + 2) % 4);
    return p;
}

// Pauli on qubit `q` from two bits (x, z), phase irrelevant for a noise branch.
inline PauliString from_bits(uint64_t n, uint64_t q, bool x, bool z) {
    PauliString p(n);
    p.set_xbit(q, x);
    p.set_zbit(q, z);
    return p;
}

// The outcomes of a Pauli channel on `targets`: outcome k (base 4, first target most
// significant, digits I, X, Y, Z) has probability probs[k - 1].
inline std::vector<Step::Outcome> pauli_channel(uint64_t n, const std::vector<uint64_t>& targets,
                                                const std::vector<double>& probs) {
    std::vector<Step::Outcome> out;
    double rest = 1;
    for (size_t k = 1; k <= probs.size(); ++k) {
        Step::Outcome o{probs[k - 1], {}, {}};
        rest -= probs[k - 1];
        for (size_t t = 0; t < targets.size(); ++t) {
            const uint64_t digit = (k >> (2 * (targets.size() - 1 - t))) & 3;
            o.paulis.push_back(from_bits(n, targets[t], digit == 1 || digit == 2, digit >= 2));
        }
        out.push_back(std::move(o));
    }
    out.push_back({std::max(rest, 0.0), {}, {}});
    return out;
}

inline std::vector<Step> flatten(const Circuit& circuit) {
    const uint64_t n = circuit.num_qubits;
    std::vector<Step> steps;
    auto gate_step = [&steps](oracle::Mat u, std::vector<uint64_t> qubits) {
        Step s;
        s.gate = std::move(u);
        s.qubits = std::move(qubits);
        steps.push_back(std::move(s));
    };
    auto rotation = [&steps](PauliString p, double angle) {
        Step s;
        s.kind = Step::kRotation;
        s.pauli = std::move(p);
        s.angle = angle;
        steps.push_back(std::move(s));
    };
    auto measure = [&steps](PauliString p, bool inverted, bool records, double flip,
                            std::optional<PauliString> reset) {
        Step s;
        s.kind = Step::kMeasure;
        s.pauli = std::move(p);
        s.inverted = inverted;
        s.records = records;
        s.flip = flip;
        s.reset = std::move(reset);
        steps.push_back(std::move(s));
    };
    auto noise = [&steps](std::vector<Step::Outcome> outcomes) {
        Step s;
        s.kind = Step::kNoise;
        s.outcomes = std::move(outcomes);
        steps.push_back(std::move(s));
    };
    for (const CircuitInstruction& in : circuit.instructions) {
        const auto g = in.gate;
        const auto code = static_cast<int>(g);
        const double p = in.probability;
        if (g == CircuitGate::TICK) continue;
        if (code >= 1 && code <= 23) {
            for (const uint64_t q : in.qubits)
                gate_step(oracle::clifford_gate(g, 1, 0), {q});
        } else if (code >= 24 && code <= 44) {
            for (size_t i = 0; i + 1 < in.qubits.size(); i += 2)
                gate_step(oracle::clifford_gate(g, 2, 0, 1), {in.qubits[i], in.qubits[i + 1]});
        } else if (g == CircuitGate::T || g == CircuitGate::T_DAG) {
            for (const uint64_t q : in.qubits)
                rotation(pauli_z(n, q), (g == CircuitGate::T ? 1 : -1) * M_PI / 8);
        } else if (g == CircuitGate::PAULI_ROTATION) {
            for (const CircuitPauliProduct& pp : in.paulis)
                rotation(negated(pp.pauli, pp.inverted), in.angle);
        } else if (code >= 48 && code <= 53) {
            const char axis = "ZXYZXY"[code - 48];
            const bool reset = code >= 51;
            for (const CircuitMeasurementTarget& t : in.measurements) {
                std::optional<PauliString> flip;
                if (reset) flip = single(n, axis == 'X' ? 'Z' : 'X', t.qubit);
                measure(single(n, axis, t.qubit), t.inverted, true, p, flip);
            }
        } else if (code >= 54 && code <= 56) {
            const char axis = "ZXY"[code - 54];
            for (const uint64_t q : in.qubits)
                measure(single(n, axis, q), false, false, 0, single(n, axis == 'X' ? 'Z' : 'X', q));
        } else if (g == CircuitGate::MPP) {
            for (const CircuitPauliProduct& pp : in.paulis)
                measure(pp.pauli, pp.inverted, true, p, std::nullopt);
        } else if (g == CircuitGate::EXP_VAL) {
            for (size_t i = 0; i < in.paulis.size(); ++i) {
                Step s;
                s.kind = Step::kExpectation;
                s.pauli = negated(in.paulis[i].pauli, in.paulis[i].inverted);
                s.index = *in.exp_val_start + i;
                steps.push_back(std::move(s));
            }
        } else if (code >= 59 && code <= 61) {
            for (const uint64_t q : in.qubits)
                noise({{p, {single(n, "XYZ"[code - 59], q)}, {}}, {1 - p, {}, {}}});
        } else if (g == CircuitGate::DEPOLARIZE1 || g == CircuitGate::PAULI_CHANNEL_1) {
            const std::vector<double> probs =
                g == CircuitGate::PAULI_CHANNEL_1 ? in.args : std::vector<double>(3, p / 3);
            for (const uint64_t q : in.qubits)
                noise(pauli_channel(n, {q}, probs));
        } else if (g == CircuitGate::DEPOLARIZE2 || g == CircuitGate::PAULI_CHANNEL_2) {
            const std::vector<double> probs =
                g == CircuitGate::PAULI_CHANNEL_2 ? in.args : std::vector<double>(15, p / 15);
            for (size_t i = 0; i + 1 < in.qubits.size(); i += 2)
                noise(pauli_channel(n, {in.qubits[i], in.qubits[i + 1]}, probs));
        } else if (g == CircuitGate::DEPOLARIZE3 || g == CircuitGate::PAULI_CHANNEL_3) {
            const std::vector<double> probs =
                g == CircuitGate::PAULI_CHANNEL_3 ? in.args : std::vector<double>(63, p / 63);
            for (size_t i = 0; i + 2 < in.qubits.size(); i += 3)
                noise(pauli_channel(n, {in.qubits[i], in.qubits[i + 1], in.qubits[i + 2]}, probs));
        } else if (g == CircuitGate::CORRELATED_ERROR) {
            std::vector<Step::Outcome> outcomes;
            double rest = 1;
            for (size_t i = 0; i < in.paulis.size(); ++i) {
                outcomes.push_back({in.args[i], {in.paulis[i].pauli}, {}});
                rest -= in.args[i];
            }
            outcomes.push_back({std::max(rest, 0.0), {}, {}});
            noise(std::move(outcomes));
        } else if (g == CircuitGate::HERALDED_ERASE || g == CircuitGate::HERALDED_PAULI_CHANNEL_1) {
            const std::vector<double> probs =
                g == CircuitGate::HERALDED_ERASE ? std::vector<double>(4, p / 4) : in.args;
            for (const uint64_t q : in.qubits) {
                std::vector<Step::Outcome> outcomes;
                const double fired = probs[0] + probs[1] + probs[2] + probs[3];
                outcomes.push_back({1 - fired, {}, false});
                for (int k = 0; k < 4; ++k)  // I, X, Y, Z
                    outcomes.push_back(
                        {probs[k], {from_bits(n, q, k == 1 || k == 2, k >= 2)}, true});
                noise(std::move(outcomes));
            }
        } else if (g == CircuitGate::MPAD) {
            for (const CircuitMeasurementTarget& t : in.measurements) {
                Step s;
                s.kind = Step::kPad;
                s.index = t.qubit;
                s.inverted = t.inverted;
                s.flip = p;
                steps.push_back(std::move(s));
            }
        } else if (code >= 72 && code <= 74) {
            for (const CircuitFeedbackTarget& f : in.feedback) {
                Step s;
                s.kind = Step::kFeedback;
                s.pauli = single(n, "XYZ"[code - 72], f.qubit);
                s.index = f.record;
                steps.push_back(std::move(s));
            }
        } else {
            fatal("dense circuit run: unknown gate code");
        }
    }
    return steps;
}

// Depth-first walk over the branches; each branch keeps a normalised state.
class Runner {
  public:
    Runner(std::vector<Step> steps, OutcomeDistribution& out)
        : steps_(std::move(steps)), out_(out) {}

    void run(size_t i, State psi, double weight, std::string records) {
        for (; i < steps_.size(); ++i) {
            const Step& s = steps_[i];
            switch (s.kind) {
                case Step::kGate:
                    apply_local(psi, s.gate, s.qubits);
                    break;
                case Step::kRotation: {
                    const State p = apply_pauli(psi, s.pauli);
                    const C c = std::cos(s.angle), m = C(0, -std::sin(s.angle));
                    for (size_t b = 0; b < psi.size(); ++b)
                        psi[b] = c * psi[b] + m * p[b];
                    break;
                }
                case Step::kFeedback:
                    if (records.at(s.index - 1) == '1') psi = apply_pauli(psi, s.pauli);
                    break;
                case Step::kExpectation: {
                    const State p = apply_pauli(psi, s.pauli);
                    C v = 0;
                    for (size_t b = 0; b < psi.size(); ++b)
                        v += std::conj(psi[b]) * p[b];
                    out_.expectations[{s.index, records}] += weight * v.real();
                    break;
                }
                case Step::kPad:
                    return with_flip(i, std::move(psi), weight, records,
                                     (s.index != 0) != s.inverted, s.flip);
                case Step::kMeasure: {
                    const State p = apply_pauli(psi, s.pauli);
                    for (const bool outcome : {false, true}) {
                        State branch(psi.size());
                        for (size_t b = 0; b < psi.size(); ++b)
                            branch[b] = 0.5 * (psi[b] + (outcome ? -1.0 : 1.0) * p[b]);
                        const double q = oracle::weight(branch);
                        if (q < kPrune) continue;
                        for (C& a : branch)
                            a /= std::sqrt(q);
                        if (s.reset && outcome) branch = apply_pauli(branch, *s.reset);
                        if (s.records)
                            with_flip(i, std::move(branch), weight * q, records,
                                      outcome != s.inverted, s.flip);
                        else
                            run(i + 1, std::move(branch), weight * q, records);
                    }
                    return;
                }
                case Step::kNoise:
                    for (const Step::Outcome& o : s.outcomes) {
                        if (o.probability <= 0) continue;
                        State branch = psi;
                        for (const PauliString& e : o.paulis)
                            branch = apply_pauli(branch, e);
                        std::string r = records;
                        if (o.herald) r += *o.herald ? '1' : '0';
                        run(i + 1, std::move(branch), weight * o.probability, std::move(r));
                    }
                    return;
            }
        }
        out_.records[records] += weight;
    }

  private:
    static constexpr double kPrune = 1e-14;

    // Writes `bit`, flipped with probability `flip`, then continues after step i.
    void with_flip(size_t i, State psi, double weight, const std::string& records, bool bit,
                   double flip) {
        if (flip < 1) run(i + 1, psi, weight * (1 - flip), records + (bit ? '1' : '0'));
        if (flip > 0) run(i + 1, std::move(psi), weight * flip, records + (bit ? '0' : '1'));
    }

    std::vector<Step> steps_;
    OutcomeDistribution& out_;
};

}  // namespace dense_detail

// The exact distribution of the circuit's records and expectation values, every qubit starting
// in |0>. Cost grows with the number of branches: meant for a few qubits and a few noise
// channels.
inline OutcomeDistribution run_dense_circuit(const Circuit& circuit) {
    KELVO_ASSERT(circuit.num_qubits <= 16, "dense circuit run is limited to 16 qubits");
    OutcomeDistribution out;
    dense_detail::State psi(uint64_t{1} << circuit.num_qubits);
    psi[0] = 1;
    dense_detail::Runner(dense_detail::flatten(circuit), out).run(0, std::move(psi), 1.0, "");
    return out;
}

}  // namespace kelvo::testing
