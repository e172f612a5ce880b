// The Python class Circuit and the module functions parse and parse_file.
#include <string>

#include "api.h"
#include "circuit/file_read.h"
#include "circuit/ir.h"
#include "circuit/parser.h"
#include "gil.h"
#include "py_class.h"
#include "sampling_api.h"

namespace kelvo::py {
namespace {

using kelvo::Circuit;

Circuit construct(const Args& a) {
    return Circuit::from_text(to_str(a[0]), signal_check());
}

Ref from_text(const Args& a) {
    return make_instance(Circuit::from_text(to_str(a[0]), signal_check()));
}

// The file may be a pipe that blocks or never ends: it is read without the interpreter lock,
// and Ctrl-C ends the wait or the flow. Parsing holds the lock again.
Ref from_file(const Args& a) {
    const std::string path = to_path(a[0]);
    const FileText text = without_gil_cancellable(
        [&](const CancellationCheck& cancel) { return read_circuit_file(path, cancel); });
    return make_instance(parse_kelvo_circuit_text(text.view(), signal_check()));
}

Ref num_qubits(const Circuit& c) {
    return py_u64(c.num_qubits);
}
Ref num_measurements(const Circuit& c) {
    return py_u64(c.num_measurements);
}
Ref num_detectors(const Circuit& c) {
    return py_u64(c.detectors.size());
}
Ref num_observables(const Circuit& c) {
    return py_u64(c.observable_count());
}
Ref num_exp_vals(const Circuit& c) {
    return py_u64(c.num_exp_vals);
}

Ref repr(const Circuit& c) {
    return py_str("Circuit(num_qubits=" + std::to_string(c.num_qubits) +
                  ", num_measurements=" + std::to_string(c.num_measurements) +
                  ", num_detectors=" + std::to_string(c.detectors.size()) +
                  ", num_observables=" + std::to_string(c.observable_count()) + ")");
}

constexpr Text kClassDoc =
    "Circuit(stim_text=\"\")\n--\n\n"
    "A parsed circuit of the `.kelvo` text format, whose line syntax follows the\n"
    "published Stim circuit format.\n\n"
    "Parses `stim_text` into a circuit. An empty string creates an empty circuit.\n"
    "Call `circuit.compile(...)` when the circuit will be sampled.\n\n"
    "Examples:\n"
    "    >>> import kelvo\n"
    "    >>> circuit = kelvo.Circuit(\"H 0\\nM 0\\nDETECTOR rec[-1]\")\n"
    "    >>> circuit.num_qubits, circuit.num_measurements, circuit.num_detectors\n"
    "    (1, 1, 1)";

PyMethodDef methods[] = {
    static_method<&from_text, "from_text(stim_text)\n--\n\nParses a circuit from source text.">(),
    static_method<&from_file, "from_file(path)\n--\n\nParses a circuit from a UTF-8 file.">(),
    method<&compile_circuit_method,
           "compile($self, postselection_mask=None, *, normalize_syndromes=False, "
           "expected_detectors=None, expected_observables=None, pin_measurements=None, "
           "backend=\"cpu\", observable=0, threads=1, sample_chunk_shots=0, batch_size=0, "
           "gpu_chunk_shots=1048576)\n--\n\n"
           "Compiles this circuit into a reusable `Program`.">(),
    method<&reference_sample_method,
           "reference_sample($self)\n--\n\n"
           "Computes the full noiseless detector and observable sample.">(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    getter<&num_qubits>("num_qubits", "Number of qubits named by the circuit."),
    getter<&num_measurements>("num_measurements",
                              "Number of measurement records produced by the circuit."),
    getter<&num_detectors>("num_detectors", "Number of detector declarations."),
    getter<&num_observables>("num_observables", "Number of observable indices."),
    getter<&num_exp_vals>("num_exp_vals", "Number of expectation values produced by the circuit."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef parse_functions[] = {
    function<&from_text,
             "parse(text)\n--\n\n"
             "Parses a quantum circuit from source text.\n\n"
             "Examples:\n"
             "    >>> import kelvo\n"
             "    >>> kelvo.parse(\"M 0\").num_measurements\n"
             "    1">(),
    function<&from_file, "parse_file(path)\n--\n\nParses a quantum circuit from a UTF-8 file.">(),
};

}  // namespace

void register_circuit_class(Registrar& module) {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(kClassDoc.s)},
        {Py_tp_new, reinterpret_cast<void*>(constructor<&construct, kClassDoc>())},
        {Py_tp_methods, methods},
        {Py_tp_getset, properties},
        {Py_tp_repr, unary_slot<&repr>()},
        {0, nullptr},
    };
    module.add_class(define_class<Circuit>("kelvo._core.Circuit", slots, {.thread_affine = true}));
}

void register_parse_functions(Registrar& module) {
    for (PyMethodDef& def : parse_functions)
        module.add_function(&def);
}

}  // namespace kelvo::py
