// Entry point of kelvo._core: fills the module in its fixed registration order.
#include "api.h"
#include "arrays.h"
#include "error_map.h"
#include "gil.h"
#include "registrar.h"

namespace kelvo::py {
namespace {

// SimulatorError, the classes of the simulator side, then the Pauli functions.
void register_simulator_half(Registrar& module) {
    module.add_exception("SimulatorError", simulator_error_class());
    register_pauli_class(module);
    register_measure_result_class(module);
    register_simulator_class(module);
    register_pauli_functions(module);
}

void fill_module(PyObject* module) {
    learn_main_thread();
    prepare_arrays();
    Registrar registrar(module);
    registrar.add_exception("ParseError", parse_error_class());
    register_circuit_class(registrar);
    register_reference_sample_class(registrar);
    register_program_class(registrar);
    register_sample_result_class(registrar);
    register_parse_functions(registrar);
    register_sampling_functions(registrar);
    register_simulator_half(registrar);
    registrar.add("__version__", py_str("0.2.3"));
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_core", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace kelvo::py

PyMODINIT_FUNC PyInit__core() {
    using namespace kelvo::py;
    return guarded<PyObject*>(nullptr, [] {
        Ref module = take(PyModule_Create(&module_def));
        fill_module(module.get());
        return module.release();
    });
}
