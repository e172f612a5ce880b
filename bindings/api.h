// Registration steps of the module body, one group per API file; module.cpp calls them in
// the module's registration order.
#pragma once

#include "registrar.h"

namespace kelvo::py {

// circuit_api.cpp
void register_circuit_class(Registrar& module);    // Circuit
void register_parse_functions(Registrar& module);  // parse, parse_file

// sampling_api.cpp
void register_reference_sample_class(Registrar& module);  // ReferenceSample
void register_program_class(Registrar& module);           // Program
void register_sample_result_class(Registrar& module);     // SampleResult
void register_sampling_functions(Registrar& module);      // compile, sample, sample_survivors

// pauli_api.cpp
void register_pauli_class(Registrar& module);      // PauliString
void register_pauli_functions(Registrar& module);  // pauli_identity .. neg

// simulator_api.cpp
void register_measure_result_class(Registrar& module);  // MeasureResult
void register_simulator_class(Registrar& module);       // TableauSimulator

}  // namespace kelvo::py
