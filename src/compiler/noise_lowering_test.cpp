#include "compiler/noise_lowering.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>

#include "compiler/lowering.h"
#include "errors.h"

namespace kelvo {
namespace {

bool evaluate(const SymbolicBool& value, const SymbolicCategoricalDistribution& dist,
              uint64_t row) {
    bool bit = value.constant;
    for (const int32_t c : value.conditions) {
        const auto i = static_cast<uint64_t>(c - dist.conditions.front());
        EXPECT_LT(i, dist.width) << "a sign outside the channel's group";
        bit ^= (dist.assignments()[row][i / 64] >> (i % 64)) & 1;
    }
    return bit;
}

// Lowers `channel` on qubits 0..targets-1 followed by X and Z measurements of each, and
// reads every outcome of the channel's group back from the measurement signs: the Pauli each
// target suffered ("h" first when a herald record fired) -> total probability.
std::map<std::string, double> net_paulis(const std::string& channel, uint64_t targets) {
    std::string text = channel + "\n";
    for (uint64_t q = 0; q < targets; ++q)
        text += "MPP X" + std::to_string(q) + " Z" + std::to_string(q) + "\n";
    const CircuitLoweringResult lowered = lower_circuit_to_factored(Circuit::from_text(text));
    const SymbolicCategoricalDistribution& dist = lowered.state.context.categoricals.back();
    const auto& ops = lowered.state.pending;
    const bool heralded = std::holds_alternative<PendingClassicalRecord>(ops.front());
    std::map<std::string, double> out;
    for (uint64_t row = 0; row < dist.assignments().size(); ++row) {
        if (dist.probabilities()[row] == 0.0) continue;
        std::string key = heralded && evaluate(lowered.records[0], dist, row) ? "h" : "";
        for (uint64_t t = 0; t < targets; ++t) {
            const size_t first = ops.size() - 2 * (targets - t);
            const bool z = evaluate(std::get<PendingPauliMeasurement>(ops[first]).sign, dist, row);
            const bool x =
                evaluate(std::get<PendingPauliMeasurement>(ops[first + 1]).sign, dist, row);
            key += "IXZY"[x + 2 * z];
        }
        out[key] += dist.probabilities()[row];
    }
    return out;
}

// Pauli k of a channel on t targets as letters, the first target's letter first.
std::string pauli_name(uint64_t k, uint64_t targets) {
    std::string name;
    for (uint64_t t = 0; t < targets; ++t)
        name += "IXYZ"[(k >> (2 * (targets - 1 - t))) & 3];
    return name;
}

TEST(NoiseLowering, ChannelsMatchTheirDocumentedDefinitions) {
    // The published definitions: argument k of PAULI_CHANNEL_2 is the k-th Pauli pair of
    // IX, IY, IZ, XI, ... (first letter on the first target); ELSE_CORRELATED_ERROR fires only
    // when no earlier member did; heralded channels list I, X, Y, Z after the herald.
    std::string pc2 = "PAULI_CHANNEL_2(", pc3 = "PAULI_CHANNEL_3(";
    std::map<std::string, double> want2 = {{"II", 0.88}}, want3 = {{"III", 0.7984}}, dep2, dep3;
    for (uint64_t k = 1; k < 64; ++k) {
        if (k < 16) {
            pc2 += (k > 1 ? "," : "");
            pc2 += std::to_string(k / 1000.0);
            want2[pauli_name(k, 2)] = k / 1000.0;
            dep2[pauli_name(k, 2)] = 0.3 / 15;
        }
        pc3 += (k > 1 ? "," : "");
        pc3 += std::to_string(k / 10000.0);
        want3[pauli_name(k, 3)] = k / 10000.0;
        dep3[pauli_name(k, 3)] = 0.63 / 63;
    }
    dep2["II"] = 0.7;
    dep3["III"] = 0.37;
    const struct {
        std::string channel;
        uint64_t targets;
        std::map<std::string, double> want;
    } cases[] = {
        {"PAULI_CHANNEL_1(0.1, 0.2, 0.3) 0", 1, {{"I", 0.4}, {"X", 0.1}, {"Y", 0.2}, {"Z", 0.3}}},
        {"DEPOLARIZE1(0.3) 0", 1, {{"I", 0.7}, {"X", 0.1}, {"Y", 0.1}, {"Z", 0.1}}},
        {pc2 + ") 0 1", 2, want2},
        {"PAULI_CHANNEL_2(0.25, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0) 0 1",
         2,
         {{"II", 0.75}, {"IX", 0.25}}},
        {pc3 + ") 0 1 2", 3, want3},
        {"DEPOLARIZE2(0.3) 0 1", 2, dep2},
        {"DEPOLARIZE3(0.63) 0 1 2", 3, dep3},
        {"E(0.1) X0 Y1\nELSE_CORRELATED_ERROR(0.5) Z0",
         2,
         {{"II", 0.45}, {"XY", 0.1}, {"ZI", 0.45}}},
        {"HERALDED_ERASE(0.2) 0",
         1,
         {{"I", 0.8}, {"hI", 0.05}, {"hX", 0.05}, {"hY", 0.05}, {"hZ", 0.05}}},
        {"HERALDED_PAULI_CHANNEL_1(0.1, 0.2, 0.3, 0.15) 0",
         1,
         {{"I", 0.25}, {"hI", 0.1}, {"hX", 0.2}, {"hY", 0.3}, {"hZ", 0.15}}},
    };
    for (const auto& c : cases) {
        const std::map<std::string, double> got = net_paulis(c.channel, c.targets);
        ASSERT_EQ(got.size(), c.want.size()) << c.channel;
        for (const auto& [key, p] : c.want)
            EXPECT_NEAR(got.contains(key) ? got.at(key) : -1, p, 1e-12) << c.channel << " " << key;
    }
}

}  // namespace
}  // namespace kelvo
