// The error value of the tableau simulator; `what()` is the text a Python user reads.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace kelvo::tableau_simulator {

enum class SimErrorKind : uint8_t {
    InvalidProbability,
    InvalidPauliChannel,
    NonFiniteAngle,
    PrunedAllAmplitudes,
    RankCapExceeded,
    ImpossiblePostselection,
    RepeatedQubit,
    ControlledPauliAnticommutes,
    ControlledPauliNotPositive,
    NonHermitianAxis,
    UnproducedBatchRecord,
    QubitOutOfRange,
};

class SimError : public std::exception {
  public:
    static SimError invalid_probability(double probability);
    static SimError invalid_pauli_channel();
    static SimError non_finite_angle(double angle);
    static SimError pruned_all_amplitudes(double prune_epsilon);
    static SimError rank_cap_exceeded(uint64_t rank, uint64_t cap);
    static SimError impossible_postselection(bool outcome, double probability);
    static SimError repeated_qubit(uint64_t qubit);
    static SimError controlled_pauli_anticommutes();
    static SimError controlled_pauli_not_positive();
    static SimError non_hermitian_axis();
    static SimError unproduced_batch_record(uint64_t record);
    static SimError qubit_out_of_range(uint64_t qubit, uint64_t num_qubits);

    SimErrorKind kind() const { return kind_; }
    const char* what() const noexcept override { return message_.c_str(); }

  private:
    SimError(SimErrorKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

    SimErrorKind kind_;
    std::string message_;
};

}  // namespace kelvo::tableau_simulator
