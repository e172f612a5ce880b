#include "tableau_simulator/error.h"

#include "format.h"

namespace kelvo::tableau_simulator {

using K = SimErrorKind;

SimError SimError::invalid_probability(double probability) {
    return {K::InvalidProbability,
            "probability " + format_float(probability) + " must be between 0 and 1"};
}

SimError SimError::invalid_pauli_channel() {
    return {K::InvalidPauliChannel, "invalid Pauli channel probability distribution"};
}

SimError SimError::non_finite_angle(double angle) {
    return {K::NonFiniteAngle, "Pauli rotation angle " + format_float(angle) + " must be finite"};
}

SimError SimError::pruned_all_amplitudes(double prune_epsilon) {
    return {K::PrunedAllAmplitudes,
            "prune epsilon " + format_float(prune_epsilon) + " removed every amplitude"};
}

SimError SimError::rank_cap_exceeded(uint64_t rank, uint64_t cap) {
    return {K::RankCapExceeded,
            "stabilizer rank " + std::to_string(rank) + " exceeds cap " + std::to_string(cap)};
}

SimError SimError::impossible_postselection(bool outcome, double probability) {
    return {K::ImpossiblePostselection, std::string("cannot post-select outcome ") +
                                            format_bool(outcome) + " with probability " +
                                            format_float_exp(probability)};
}

SimError SimError::repeated_qubit(uint64_t qubit) {
    return {K::RepeatedQubit, "gate received repeated qubit index " + std::to_string(qubit)};
}

SimError SimError::controlled_pauli_anticommutes() {
    return {K::ControlledPauliAnticommutes, "controlled-Pauli control and target must commute"};
}

SimError SimError::controlled_pauli_not_positive() {
    return {K::ControlledPauliNotPositive,
            "controlled-Pauli axes must be positive Hermitian Paulis"};
}

SimError SimError::non_hermitian_axis() {
    return {K::NonHermitianAxis, "measurement and rotation axes must be Hermitian Paulis"};
}

SimError SimError::unproduced_batch_record(uint64_t record) {
    return {K::UnproducedBatchRecord, "conditional Pauli reads batch record " +
                                          std::to_string(record) +
                                          ", which the batch has not produced"};
}

SimError SimError::qubit_out_of_range(uint64_t qubit, uint64_t num_qubits) {
    return {K::QubitOutOfRange, "observable qubit index " + std::to_string(qubit) +
                                    " is outside a " + std::to_string(num_qubits) +
                                    "-qubit register"};
}

}  // namespace kelvo::tableau_simulator
