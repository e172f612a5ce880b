// Prints, for each circuit file named on the command line, a hash of the whole program it
// compiles to (every instruction's kind, sign, plan, kernel and bookkeeping, the detectors, the
// checkpoints, the sample groups and the sizes), the condition ids over every sign and the
// compile time. A change to the compiler that must leave its programs as they were is checked
// by comparing these hashes before and after.
//
//     c++ -std=c++20 -O2 -Isrc bench/program_hash.cpp build/dev/libkelvo_core.a -lpthread
//     ./a.out circuit.stim ...
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "circuit/ir.h"
#include "compiler/compile.h"

namespace {

struct Hash {
    uint64_t h = 0x243F6A8885A308D3ull;

    void word(uint64_t v) {
        h ^= v + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
        h *= 0xBF58476D1CE4E5B9ull;
        h ^= h >> 31;
    }
    void real(double v) {
        uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        word(bits);
    }
    template <class T>
    void list(const std::vector<T>& values) {
        word(values.size());
        for (const T& v : values)
            add(v);
    }
    template <class T>
    void add(const T& v) {
        if constexpr (std::is_floating_point_v<T>) {
            real(v);
        } else if constexpr (std::is_integral_v<T> || std::is_enum_v<T>) {
            word(static_cast<uint64_t>(v));
        } else {
            list(v);
        }
    }
    template <class T>
    void optional(const std::optional<T>& v) {
        word(v.has_value());
        if (v) add(*v);
    }
    void complex(const kelvo::Complex& c) {
        real(c.re);
        real(c.im);
    }
    void sign(const kelvo::SymbolicBool& s) {
        list(s.conditions);
        word(s.constant);
    }
    void plan(const kelvo::SymbolicBoolEvaluationPlan& p) {
        list(p.conditions);
        list(p.word_indices);
        list(p.word_masks);
        word(p.constant);
    }
    void action(const kelvo::ActivePauliAction& a) {
        word(a.k);
        word(a.x_mask);
        word(a.z_mask);
        complex(a.coefficient);
        complex(a.negated_coefficient);
        word(a.y_parity);
    }
    void kernel(const kelvo::PrecomputedActivePauliRotationKernel& k) {
        complex(k.off_diagonal);
        word(k.half_dimension);
        real(k.theta);
        real(k.cos_theta);
        real(k.sin_theta);
        action(k.action);
        word(k.pivot);
        word(k.diagonal);
        word(k.z_free);
        word(k.imaginary_coefficient);
    }
    void kernel(const kelvo::PrecomputedActivePauliMeasurementKernel& k) {
        complex(k.scaled_conjugate);
        word(k.pivot);
        word(k.rest_mask);
        word(k.half_dimension);
        word(k.k);
        word(k.x_mask);
        word(k.z_mask);
        complex(k.coefficient);
        complex(k.negated_coefficient);
        word(k.y_parity);
        word(k.negative);
        word(static_cast<uint64_t>(k.kind));
    }
    template <class Outcome>
    void outcome(const Outcome& o) {
        optional(o.record);
        optional(o.condition);
        optional(o.exp_index);
    }
};

uint64_t program_hash(const kelvo::FactoredInstructionProgram& p) {
    using namespace kelvo;
    Hash h;
    for (const FactoredInstruction& instruction : p.instructions) {
        h.word(instruction.index());
        std::visit(
            [&h](const auto& kind) {
                using Kind = std::decay_t<decltype(kind)>;
                if constexpr (std::is_same_v<Kind, Detector>) {
                    h.sign(kind.detector.parity);
                    h.list(kind.detector.records);
                    h.plan(kind.detector.plan);
                    h.word(kind.detector.id);
                    h.word(kind.detector.postselect);
                } else {
                    h.sign(kind.sign);
                    h.plan(kind.sign_plan);
                    if constexpr (std::is_same_v<Kind, ActiveRotation>) h.kernel(kind.kernel);
                    if constexpr (std::is_same_v<Kind, DormantPromotion>) h.real(kind.angle);
                    if constexpr (requires { kind.record; }) h.outcome(kind);
                    if constexpr (std::is_same_v<Kind, ActiveMeasurement>) h.kernel(kind.kernel);
                    if constexpr (requires { kind.outcome_condition; })
                        h.word(static_cast<uint64_t>(kind.outcome_condition));
                }
            },
            instruction);
    }
    h.list(p.checkpoints);
    h.word(p.context.next_condition_id);
    for (const auto& [id, probability] : p.context.bernoulli) {
        h.word(static_cast<uint64_t>(id));
        h.real(probability);
    }
    h.list(p.context.certain_conditions);
    for (const SymbolicCategoricalDistribution& d : p.categoricals) {
        h.list(d.conditions);
        h.word(d.width);
    }
    for (const RareCategoricalSampleGroup& g : p.rare_categorical_groups) {
        h.word(g.condition_lists.size());
        for (const std::vector<int32_t>& c : g.condition_lists)
            h.list(c);
        h.real(g.rare_mass);
    }
    h.list(p.dense_bernoulli_conditions);
    h.list(p.dense_bernoulli_probabilities);
    for (const BernoulliSampleGroup& g : p.bernoulli_groups) {
        h.list(g.conditions);
        h.real(g.probability);
    }
    for (const uint64_t size : {p.num_qubits, p.initial_active_qubits, p.active_qubits,
                                p.num_symbols, p.num_records, p.num_detectors, p.num_exp_vals})
        h.word(size);
    h.word(p.component_plan_enabled);
    return h.h;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::ifstream in(argv[i]);
        const std::string text(std::istreambuf_iterator<char>(in), {});
        const kelvo::Circuit circuit = kelvo::Circuit::from_text(text);
        const auto start = std::chrono::steady_clock::now();
        const kelvo::FactoredInstructionProgram program = kelvo::plan_circuit(circuit, {});
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        uint64_t ids = 0;
        for (const kelvo::FactoredInstruction& instruction : program.instructions)
            ids += kelvo::instruction_sign(instruction).conditions.size();
        std::printf("%-28s %016llx %12llu %9.3f s\n", argv[i],
                    static_cast<unsigned long long>(program_hash(program)),
                    static_cast<unsigned long long>(ids), seconds);
        std::fflush(stdout);
    }
}
