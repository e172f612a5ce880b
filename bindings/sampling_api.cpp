// The Python classes Program, SampleResult and ReferenceSample, the module functions compile,
// sample and sample_survivors, and the Circuit members that compile and run a circuit.
#include "sampling_api.h"

#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "api.h"
#include "arrays.h"
#include "format.h"
#include "gil.h"
#include "poisonable_mutex.h"
#include "sampler/prepared.h"
#include "sampler/reference.h"
#include "sampler/rows.h"

namespace kelvo::py {
namespace {

// Python class Program: the compiled sampler behind its mutex and the circuit's counts.
struct PyProgram {
    std::string backend;
    std::unique_ptr<PoisonableMutex<Sampler>> sampler;  // boxed: the mutex never moves
    uint64_t num_qubits = 0;
    uint64_t num_measurements = 0;
    uint64_t num_detectors = 0;
    uint64_t num_observables = 0;
    uint64_t num_exp_vals = 0;
    uint64_t observable = 0;
    bool has_postselection = false;
    double compile_s = 0;
};

// Python class SampleResult: the arrays of one sampling call and its counters.
struct PySampleResult {
    Ref measurements;
    Ref detectors;
    Ref observables;
    Ref exp_vals;
    Ref observable_ones;
    SampleCounters counters;  // compile_s and bit_packed as the Program and the caller set them
    uint64_t observable = 0;

    void for_each_reference(auto&& visit) {
        visit(measurements);
        visit(detectors);
        visit(observables);
        visit(exp_vals);
        visit(observable_ones);
    }
};

// compile ----------------------------------------------------------------------------------

// The compile arguments after conversion, before any check.
struct CompileRequest {
    std::vector<uint8_t> postselection_mask;
    std::vector<uint8_t> expected_detectors;
    std::vector<uint8_t> expected_observables;
    bool normalize_syndromes = false;
    std::vector<Pin> pins;
    std::string_view backend;
    uint64_t observable = 0;
    uint64_t threads = 0;
    uint64_t sample_chunk_shots = 0;
    uint64_t batch_size = 0;
};

// Converts the compile options starting at parameter `first`, left to right. The module
// function takes normalize_syndromes after the expected lists, Circuit.compile right after the
// mask; everything from pin_measurements on is in the same order in both.
CompileRequest convert_compile_options(const Args& a, size_t first, bool normalize_after_mask) {
    CompileRequest r;
    size_t i = first;
    r.postselection_mask = to_byte_list(a[i++]);
    if (normalize_after_mask) r.normalize_syndromes = to_bool(a[i++]);
    r.expected_detectors = to_byte_list(a[i++]);
    r.expected_observables = to_byte_list(a[i++]);
    if (!normalize_after_mask) r.normalize_syndromes = to_bool(a[i++]);
    r.pins = to_pins(a[i++]);
    r.backend = to_str(a[i++]);
    r.observable = to_u64(a[i++]);
    r.threads = to_u64(a[i++]);
    r.sample_chunk_shots = to_u64(a[i++]);
    r.batch_size = to_u64(a[i++]);
    to_u64(a[i++]);  // gpu_chunk_shots: checked like the others, no effect on the CPU
    return r;
}

[[noreturn]] void raise_length(const char* option, size_t given, size_t expected) {
    raise(PyExc_ValueError, std::string(option) + " has length " + std::to_string(given) +
                                ", expected " + std::to_string(expected));
}

void check_backend(std::string_view backend, bool has_pins) {
    std::string lowered(backend);
    for (char& c : lowered) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    if (lowered == "cpu") return;
    if (lowered == "gpu") {
        if (has_pins)
            raise(PyExc_ValueError, "pinned measurement parities are a CPU-backend feature");
        raise(PyExc_RuntimeError,
              "the gpu backend is not available in this build; use backend=\"cpu\"");
    }
    raise(PyExc_ValueError,
          "unknown backend " + debug_string(lowered) + "; expected 'cpu' or 'gpu'");
}

Ref compile_circuit(const Circuit& circuit, CompileRequest r) {
    const size_t detectors = circuit.detectors.size();
    const size_t observables = circuit.observable_count();
    if (r.threads == 0) raise(PyExc_ValueError, "threads must be positive");
    if (!r.postselection_mask.empty() && r.postselection_mask.size() != detectors) {
        raise_length("postselection_mask", r.postselection_mask.size(), detectors);
    }
    if (r.normalize_syndromes) {
        if (!r.expected_detectors.empty() || !r.expected_observables.empty()) {
            raise(PyExc_ValueError,
                  "normalize_syndromes cannot be combined with expected_detectors or "
                  "expected_observables");
        }
    } else if (!r.expected_detectors.empty() && r.expected_detectors.size() != detectors) {
        raise_length("expected_detectors", r.expected_detectors.size(), detectors);
    }
    if (!r.expected_observables.empty() && r.expected_observables.size() != observables) {
        raise_length("expected_observables", r.expected_observables.size(), observables);
    }
    check_backend(r.backend, !r.pins.empty());

    SamplerOptions options;
    options.postselection_mask = std::move(r.postselection_mask);
    options.expected_detectors = std::move(r.expected_detectors);
    options.expected_observables = std::move(r.expected_observables);
    options.pin_measurements.reserve(r.pins.size());
    for (Pin& pin : r.pins)
        options.pin_measurements.push_back({std::move(pin.records), pin.value});
    options.normalize_syndromes = r.normalize_syndromes;
    options.observable = r.observable;
    options.threads = r.threads;
    options.sample_chunk_shots = r.sample_chunk_shots;
    options.batch_size = r.batch_size;

    // Compiling keeps the interpreter lock; it runs the signal handlers between
    // planner steps, so that Ctrl-C stops a long compilation.
    Sampler sampler(circuit, std::move(options), signal_check());
    PyProgram program;
    program.backend = "cpu";
    program.has_postselection = sampler.has_postselection();
    program.compile_s = sampler.compile_s();
    program.sampler = std::make_unique<PoisonableMutex<Sampler>>(std::move(sampler));
    program.num_qubits = circuit.num_qubits;
    program.num_measurements = circuit.num_measurements;
    program.num_detectors = detectors;
    program.num_observables = observables;
    program.num_exp_vals = circuit.num_exp_vals;
    program.observable = r.observable;
    return make_instance(std::move(program));
}

Ref compile_function(const Args& a) {
    const std::string_view text = to_str(a[0]);
    CompileRequest request = convert_compile_options(a, 1, false);
    // A parse error wins over bad options.
    const Circuit circuit = Circuit::from_text(text, signal_check());
    return compile_circuit(circuit, std::move(request));
}

// sampling ---------------------------------------------------------------------------------

Ref run(const PyProgram& program, uint64_t shots, std::optional<uint64_t> seed, bool keep_records,
        bool bit_packed) {
    if (shots == 0) raise(PyExc_ValueError, "shots must be positive");
    SampleResult result = without_gil_cancellable([&](const CancellationCheck& cancel) {
        return program.sampler->with_lock(cancel, [&](Sampler& sampler) {
            if (keep_records) {
                return seed ? sampler.sample_with_seed(shots, *seed, bit_packed, cancel)
                            : sampler.sample(shots, bit_packed, cancel);
            }
            return seed ? sampler.sample_counts_with_seed(shots, *seed, cancel)
                        : sampler.sample_counts(shots, cancel);
        });
    });
    if (keep_records && result.record_rows != result.passed_shots) {
        raise(PyExc_RuntimeError,
              "the " + program.backend + " backend does not support per-shot record output");
    }
    const size_t rows = result.record_rows;
    PySampleResult out;
    out.measurements = array2(std::move(result.measurements), rows,
                              row_bytes(program.num_measurements, bit_packed));
    out.detectors =
        array2(std::move(result.detectors), rows, row_bytes(program.num_detectors, bit_packed));
    out.observables =
        array2(std::move(result.observables), rows, row_bytes(program.num_observables, bit_packed));
    out.exp_vals = array2(std::move(result.exp_vals), rows, program.num_exp_vals);
    out.observable_ones = array1(std::move(result.observable_ones));
    out.counters = result;
    out.counters.compile_s = program.compile_s;
    out.counters.bit_packed = bit_packed;
    out.observable = program.observable;
    return make_instance(std::move(out));
}

Ref program_sample(const PyProgram& program, const Args& a) {
    const uint64_t shots = to_u64(a[0]);
    const std::optional<uint64_t> seed = to_optional_u64(a[1]);
    const bool bit_packed = to_bool(a[2]);
    return run(program, shots, seed, true, bit_packed);
}

Ref sample_function(const Args& a) {
    const auto program = to_instance<PyProgram>(a[0]);
    const uint64_t shots = to_u64(a[1]);
    const std::optional<uint64_t> seed = to_optional_u64(a[2]);
    const bool bit_packed = to_bool(a[3]);
    return run(*program, shots, seed, true, bit_packed);
}

Ref sample_survivors_function(const Args& a) {
    const auto program = to_instance<PyProgram>(a[0]);
    const uint64_t shots = to_u64(a[1]);
    const std::optional<uint64_t> seed = to_optional_u64(a[2]);
    const bool keep_records = to_bool(a[3]);
    const bool bit_packed = to_bool(a[4]);
    return run(*program, shots, seed, keep_records, bit_packed);
}

// Program ----------------------------------------------------------------------------------

template <uint64_t PyProgram::*Field>
Ref program_count(const PyProgram& p) {
    return py_u64(p.*Field);
}
Ref program_backend(const PyProgram& p) {
    return py_str(p.backend);
}
Ref program_has_postselection(const PyProgram& p) {
    return py_bool(p.has_postselection);
}
Ref program_repr(const PyProgram& p) {
    return py_str("Program(backend=" + debug_string(p.backend) +
                  ", num_qubits=" + std::to_string(p.num_qubits) +
                  ", num_detectors=" + std::to_string(p.num_detectors) +
                  ", num_observables=" + std::to_string(p.num_observables) + ")");
}

constexpr Text kProgramDoc =
    "A compiled circuit that can be sampled repeatedly.\n\n"
    "Construct programs with `Circuit.compile`; this class has no public constructor.";

PyMethodDef program_methods[] = {
    method<&program_sample,
           "sample($self, shots, seed=None, *, bit_packed=False)\n--\n\n"
           "Samples this compiled circuit and returns per-shot records and counters.\n\n"
           "With `bit_packed=True` each record array has ceil(num_bits / 8) columns: bit j of\n"
           "a row is bit j % 8 of byte j // 8, NumPy's little bit order\n"
           "(`np.packbits(bits, axis=1, bitorder=\"little\")`).">(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef program_properties[] = {
    getter<&program_backend>("backend", "Selected execution backend: `cpu` or `gpu`."),
    getter<&program_count<&PyProgram::num_qubits>>("num_qubits",
                                                   "Number of qubits in the circuit."),
    getter<&program_count<&PyProgram::num_measurements>>(
        "num_measurements", "Number of measurement records in the circuit."),
    getter<&program_count<&PyProgram::num_detectors>>("num_detectors",
                                                      "Number of detectors in the circuit."),
    getter<&program_count<&PyProgram::num_observables>>(
        "num_observables", "Number of observable indices in the circuit."),
    getter<&program_count<&PyProgram::num_exp_vals>>(
        "num_exp_vals", "Number of expectation values in each result row."),
    getter<&program_count<&PyProgram::observable>>("observable",
                                                   "Observable index counted as a logical error."),
    getter<&program_has_postselection>("has_postselection",
                                       "Whether detector postselection is active."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// SampleResult -----------------------------------------------------------------------------

// The same object on every read (None only once the collector has cleared a cycle).
template <Ref PySampleResult::*Field>
Ref result_array(const PySampleResult& r) {
    const Ref& array = r.*Field;
    return array ? Ref::borrow(array.get()) : py_none();
}
template <uint64_t SampleCounters::*Field>
Ref result_count(const PySampleResult& r) {
    return py_u64(r.counters.*Field);
}
template <double SampleCounters::*Field>
Ref result_seconds(const PySampleResult& r) {
    return py_float(r.counters.*Field);
}
Ref result_observable(const PySampleResult& r) {
    return py_u64(r.observable);
}
Ref result_bit_packed(const PySampleResult& r) {
    return py_bool(r.counters.bit_packed);
}

// 0 / 0 (no shots, or none passed) is NaN rather than an error.
double rate(uint64_t count, uint64_t total) {
    if (total == 0) return std::numeric_limits<double>::quiet_NaN();
    return static_cast<double>(count) / static_cast<double>(total);
}
Ref result_discard_rate(const PySampleResult& r) {
    return py_float(rate(r.counters.discards, r.counters.total_shots));
}
Ref result_logical_error_rate(const PySampleResult& r) {
    return py_float(rate(r.counters.logical_errors, r.counters.passed_shots));
}

Ref result_iter(const PySampleResult& r) {
    const Ref m = result_array<&PySampleResult::measurements>(r);
    const Ref d = result_array<&PySampleResult::detectors>(r);
    const Ref o = result_array<&PySampleResult::observables>(r);
    const Ref items = take(PyTuple_Pack(3, m.get(), d.get(), o.get()));
    return take(PyObject_GetIter(items.get()));
}

Ref result_repr(const PySampleResult& p) {
    const SampleCounters& r = p.counters;
    return py_str("SampleResult(total_shots=" + std::to_string(r.total_shots) + ", passed_shots=" +
                  std::to_string(r.passed_shots) + ", discards=" + std::to_string(r.discards) +
                  ", logical_errors=" + std::to_string(r.logical_errors) + ")");
}

constexpr Text kSampleResultDoc =
    "Per-shot records, aggregate counters, and timing from one sampling call.";

using R = PySampleResult;
using C = SampleCounters;
PyGetSetDef result_properties[] = {
    getter<&result_array<&R::measurements>>("measurements", "Row-major `uint8` measurement array."),
    getter<&result_array<&R::detectors>>("detectors", "Row-major `uint8` detector array."),
    getter<&result_array<&R::observables>>("observables", "Row-major `uint8` observable array."),
    getter<&result_array<&R::exp_vals>>("exp_vals",
                                        "`float64` array shaped `(passed_shots, num_exp_vals)`."),
    getter<&result_count<&C::total_shots>>("total_shots", "Attempted shots. Alias of `shots`."),
    getter<&result_count<&C::total_shots>>("shots", "Attempted shots."),
    getter<&result_count<&C::discards>>(
        "discards", "Shots rejected by detector postselection. Alias of `discarded`."),
    getter<&result_count<&C::discards>>("discarded", "Shots rejected by detector postselection."),
    getter<&result_count<&C::passed_shots>>(
        "passed_shots", "Shots retained after postselection. Alias of `accepted`."),
    getter<&result_count<&C::passed_shots>>("accepted", "Shots retained after postselection."),
    getter<&result_count<&C::logical_errors>>(
        "logical_errors", "Accepted shots where the selected observable was one."),
    getter<&result_array<&R::observable_ones>>("observable_ones",
                                               "`uint64` count for every observable column."),
    getter<&result_observable>("observable", "Observable index represented by `logical_errors`."),
    getter<&result_seconds<&C::compile_s>>("compile_s",
                                           "Circuit parsing/planning time in seconds."),
    getter<&result_seconds<&C::presample_s>>("presample_s",
                                             "Exogenous-noise generation time in seconds."),
    getter<&result_seconds<&C::execute_s>>("execute_s", "Circuit execution time in seconds."),
    getter<&result_seconds<&C::sample_s>>("sample_s",
                                          "Total steady-state sampling time in seconds."),
    getter<&result_count<&C::active_threads>>(
        "active_threads", "CPU worker count used by the call; one for GPU sampling."),
    getter<&result_bit_packed>("bit_packed",
                               "Whether the three bit arrays pack eight bits into each byte."),
    getter<&result_discard_rate>(
        "discard_rate",
        "Fraction of attempted shots rejected by postselection, or NaN for zero shots."),
    getter<&result_logical_error_rate>(
        "logical_error_rate",
        "Fraction of accepted shots with a logical error, or NaN if none passed."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ReferenceSample --------------------------------------------------------------------------

Ref bool_list(const std::vector<uint8_t>& bits) {
    Ref list = take(PyList_New(static_cast<Py_ssize_t>(bits.size())));
    for (size_t i = 0; i < bits.size(); ++i) {
        check_status(PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i),
                                    py_bool(bits[i] != 0).release()));
    }
    return list;
}
Ref reference_detectors(const ReferenceSample& r) {
    return bool_list(r.detectors);
}
Ref reference_observables(const ReferenceSample& r) {
    return bool_list(r.observables);
}

PyGetSetDef reference_properties[] = {
    getter<&reference_detectors>("detectors", "One bool per detector declaration."),
    getter<&reference_observables>("observables", "One bool per observable index."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Module functions -------------------------------------------------------------------------

PyMethodDef sampling_functions[] = {
    function<
        &compile_function,
        "compile(stim_text, postselection_mask=None, expected_detectors=None, "
        "expected_observables=None, normalize_syndromes=False, *, pin_measurements=None, "
        "backend=\"cpu\", observable=0, threads=1, sample_chunk_shots=0, batch_size=0, "
        "gpu_chunk_shots=1048576)\n--\n\n"
        "Compiles circuit text into a reusable `Program`.\n\n"
        "`normalize_syndromes=True` computes a noiseless reference sample on the CPU before\n"
        "sampling, so that detector rows report changes from it and logical errors count\n"
        "observables that differ from it.\n\n"
        "Args:\n"
        "    stim_text: The circuit in kelvo's text format (Stim's line syntax).\n"
        "    postselection_mask: Zero/nonzero flag for each detector.\n"
        "    expected_detectors: Explicit detector reference bits.\n"
        "    expected_observables: Explicit observable reference bits.\n"
        "    normalize_syndromes: Compute and apply a noiseless reference sample.\n"
        "    pin_measurements: Pairs `(records, value)`: parities of measurement records\n"
        "        (0-based) that every shot's noiseless circuit must produce. A free parity is\n"
        "        pinned by forcing the last measurement branch it depends on; a parity the\n"
        "        circuit already determines must match, or compilation raises. Noise still\n"
        "        flips the recorded parity, so a decoder still sees its errors. Each shot is\n"
        "        conditioned on a probability-one-half branch, so sampling every combination\n"
        "        of the pinned parities with equal shots is unbiased; sampling raises if a\n"
        "        pinned branch is not a fair coin.\n"
        "    backend: Execution backend, `\"cpu\"` or `\"gpu\"`.\n"
        "    observable: Observable index counted as a logical error.\n"
        "    threads: CPU worker count.\n"
        "    sample_chunk_shots: CPU shots per scheduling chunk; zero selects kelvo's default.\n"
        "    batch_size: CPU execution batch size; zero selects kelvo's default.\n"
        "    gpu_chunk_shots: Maximum shots in one GPU launch group.\n\n"
        "Examples:\n"
        "    >>> import kelvo\n"
        "    >>> program = kelvo.compile(\"H 0\\nM 0\\nOBSERVABLE_INCLUDE(0) rec[-1]\", "
        "threads=1)\n"
        "    >>> program.backend\n"
        "    'cpu'">(),
    function<&sample_function,
             "sample(program, shots, seed=None, *, bit_packed=False)\n--\n\n"
             "Samples a compiled program and returns per-shot records and counters.\n\n"
             "`seed=None` uses OS-provided entropy; a fixed seed makes the call reproducible.\n"
             "Postselected programs return one row per surviving shot.\n\n"
             "Examples:\n"
             "    >>> import kelvo\n"
             "    >>> result = kelvo.sample(kelvo.compile(\"M 0\"), 20, seed=5)\n"
             "    >>> result.total_shots, result.passed_shots, result.discards\n"
             "    (20, 20, 0)">(),
    function<&sample_survivors_function,
             "sample_survivors(program, shots, seed=None, keep_records=True, *, "
             "bit_packed=False)\n--\n\n"
             "Postselected sampling that keeps the records of the surviving shots by default.\n\n"
             "Set `keep_records=False` for explicit aggregate-only sampling.">(),
};

}  // namespace

Ref compile_circuit_method(const Circuit& circuit, const Args& a) {
    return compile_circuit(circuit, convert_compile_options(a, 0, true));
}

Ref reference_sample_method(const Circuit& circuit, const Args&) {
    return make_instance(circuit_reference_sample(circuit, signal_check()));
}

void register_reference_sample_class(Registrar& module) {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("Full noiseless detector and observable parity vectors.")},
        {Py_tp_getset, reference_properties},
        {0, nullptr},
    };
    module.add_class(define_class<ReferenceSample>("kelvo._core.ReferenceSample", slots,
                                                   {.instantiable = false}));
}

void register_program_class(Registrar& module) {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(kProgramDoc.s)},
        {Py_tp_methods, program_methods},
        {Py_tp_getset, program_properties},
        {Py_tp_repr, unary_slot<&program_repr>()},
        {0, nullptr},
    };
    module.add_class(
        define_class<PyProgram>("kelvo._core.Program", slots, {.instantiable = false}));
}

void register_sample_result_class(Registrar& module) {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(kSampleResultDoc.s)},
        {Py_tp_getset, result_properties},
        {Py_tp_iter, unary_slot<&result_iter>()},
        {Py_tp_repr, unary_slot<&result_repr>()},
        {0, nullptr},
    };
    module.add_class(
        define_class<PySampleResult>("kelvo._core.SampleResult", slots, {.instantiable = false}));
}

void register_sampling_functions(Registrar& module) {
    for (PyMethodDef& def : sampling_functions)
        module.add_function(&def);
}

}  // namespace kelvo::py
