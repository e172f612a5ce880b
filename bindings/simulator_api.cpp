// The Python classes TableauSimulator and MeasureResult: thin wrappers over the core simulator.
#include <string>

#include "api.h"
#include "format.h"
#include "py_class.h"
#include "tableau_simulator/simulator.h"

namespace kelvo::py {
namespace {

using tableau_simulator::MeasureResult;
using tableau_simulator::TableauSimulator;

const char* py_bool_text(bool b) {
    return b ? "True" : "False";
}

// MeasureResult ----------------------------------------------------------------------------

Ref probability(const MeasureResult& r) {
    return py_float(r.probability);
}
Ref outcome(const MeasureResult& r) {
    return py_bool(r.outcome);
}
Ref deterministic(const MeasureResult& r) {
    return py_bool(r.deterministic);
}
Ref measure_result_repr(const MeasureResult& r) {
    return py_str(std::string("MeasureResult(outcome=") + py_bool_text(r.outcome) +
                  ", probability=" + format_float_debug(r.probability) +
                  ", deterministic=" + py_bool_text(r.deterministic) + ")");
}

PyGetSetDef measure_result_properties[] = {
    getter<&probability>("probability", "Probability assigned to this outcome before projection."),
    getter<&outcome>("outcome", "Observed eigenvalue bit: `False` is +1 and `True` is -1."),
    getter<&deterministic>("deterministic", "Whether the state forced the outcome."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// TableauSimulator -------------------------------------------------------------------------

TableauSimulator construct(const Args& a) {
    const uint64_t num_qubits = to_u64(a[0]);
    const std::optional<uint64_t> seed = to_optional_u64(a[1]);
    return seed ? TableauSimulator::with_seed(num_qubits, *seed)
                : TableauSimulator::with_entropy(num_qubits);
}

template <void (TableauSimulator::*Gate)(uint64_t)>
Ref gate1(TableauSimulator& sim, const Args& a) {
    (sim.*Gate)(to_u64(a[0]));
    return py_none();
}

template <void (TableauSimulator::*Gate)(uint64_t, uint64_t)>
Ref gate2(TableauSimulator& sim, const Args& a) {
    const uint64_t first = to_u64(a[0]);
    const uint64_t second = to_u64(a[1]);
    (sim.*Gate)(first, second);
    return py_none();
}

Ref pauli(TableauSimulator& sim, const Args& a) {
    sim.pauli(*to_instance<PauliString>(a[0]));
    return py_none();
}

Ref controlled_pauli(TableauSimulator& sim, const Args& a) {
    const auto control = to_instance<PauliString>(a[0]);
    const auto target = to_instance<PauliString>(a[1]);
    sim.controlled_pauli(*control, *target);
    return py_none();
}

Ref t_pauli(TableauSimulator& sim, const Args& a) {
    const auto axis = to_instance<PauliString>(a[0]);
    const bool adjoint = to_bool(a[1]);
    sim.t_pauli(*axis, adjoint);
    return py_none();
}

Ref ccz(TableauSimulator& sim, const Args& a) {
    const uint64_t q0 = to_u64(a[0]);
    const uint64_t q1 = to_u64(a[1]);
    const uint64_t q2 = to_u64(a[2]);
    sim.ccz(q0, q1, q2);
    return py_none();
}

Ref measure(TableauSimulator& sim, const Args& a) {
    return make_instance(sim.measure(to_u64(a[0])));
}

Ref measure_observable(TableauSimulator& sim, const Args& a) {
    return make_instance(sim.measure_observable(*to_instance<PauliString>(a[0])));
}

Ref postselect_observable(TableauSimulator& sim, const Args& a) {
    const auto observable = to_instance<PauliString>(a[0]);
    const bool desired_value = to_bool(a[1]);
    return make_instance(sim.postselect_observable(*observable, desired_value));
}

template <MeasureResult (TableauSimulator::*Postselect)(uint64_t, bool)>
Ref postselect(TableauSimulator& sim, const Args& a) {
    const uint64_t q = to_u64(a[0]);
    const bool desired_value = to_bool(a[1]);
    return make_instance((sim.*Postselect)(q, desired_value));
}

template <double (TableauSimulator::*Peek)(uint64_t) const>
Ref peek(const TableauSimulator& sim, const Args& a) {
    return py_float((sim.*Peek)(to_u64(a[0])));
}

Ref peek_observable_expectation(const TableauSimulator& sim, const Args& a) {
    return py_float(sim.peek_observable_expectation(*to_instance<PauliString>(a[0])));
}

Ref state_vector(const TableauSimulator& sim, const Args&) {
    const auto amplitudes = sim.state_vector();
    Ref list = take(PyList_New(static_cast<Py_ssize_t>(amplitudes.size())));
    for (size_t i = 0; i < amplitudes.size(); ++i) {
        PyObject* value = PyComplex_FromDoubles(amplitudes[i].re, amplitudes[i].im);
        check_status(PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), take(value).release()));
    }
    return list;
}

Ref reseed_rng(TableauSimulator& sim, const Args& a) {
    sim.core.rng = to_u64(a[0]);
    return py_none();
}

Ref restore_rng_from(TableauSimulator& sim, const Args& a) {
    sim.core.rng = to_instance<TableauSimulator>(a[0])->core.rng;
    return py_none();
}

Ref num_qubits(const TableauSimulator& sim) {
    return py_u64(sim.num_qubits());
}
Ref rank(const TableauSimulator& sim) {
    return py_u64(sim.rank());
}
Ref simulator_repr(const TableauSimulator& sim) {
    return py_str("TableauSimulator(num_qubits=" + std::to_string(sim.num_qubits()) +
                  ", rank=" + std::to_string(sim.rank()) + ")");
}

constexpr Text kClassDoc =
    "TableauSimulator(num_qubits, seed=None)\n--\n\n"
    "Operations apply immediately. Qubit-writing operations grow the register;\n"
    "measurements return `MeasureResult`; non-collapsing `peek_*` calls reject\n"
    "qubits outside the current register.\n\n"
    "Examples:\n"
    "    >>> import kelvo\n"
    "    >>> sim = kelvo.TableauSimulator(2, seed=7)\n"
    "    >>> sim.h(0)\n"
    "    >>> sim.cx(0, 1)\n"
    "    >>> sim.peek_observable_expectation(kelvo.pauli_string(\"XX\"))\n"
    "    1.0";

using TS = TableauSimulator;

PyMethodDef methods[] = {
    method<&gate1<&TS::h>, "h($self, q)\n--\n\nHadamard on `q`.">(),
    method<&gate1<&TS::s>, "s($self, q)\n--\n\nPhase gate S on `q`.">(),
    method<&gate1<&TS::s_dag>, "s_dag($self, q)\n--\n\nS dagger on `q`.">(),
    method<&gate1<&TS::x>, "x($self, q)\n--\n\nPauli X on `q`.">(),
    method<&gate1<&TS::y>, "y($self, q)\n--\n\nPauli Y on `q`.">(),
    method<&gate1<&TS::z>, "z($self, q)\n--\n\nPauli Z on `q`.">(),
    method<&gate1<&TS::sqrt_x>, "sqrt_x($self, q)\n--\n\nSquare-root X on `q`.">(),
    method<&gate1<&TS::sqrt_x_dag>, "sqrt_x_dag($self, q)\n--\n\nSquare-root X dagger on `q`.">(),
    method<&gate1<&TS::sqrt_y>, "sqrt_y($self, q)\n--\n\nSquare-root Y on `q`.">(),
    method<&gate1<&TS::sqrt_y_dag>, "sqrt_y_dag($self, q)\n--\n\nSquare-root Y dagger on `q`.">(),
    method<&gate1<&TS::c_xyz>,
           "c_xyz($self, q)\n--\n\nOrder-three Pauli cycle X -> Y -> Z -> X.">(),
    method<&gate1<&TS::c_zyx>, "c_zyx($self, q)\n--\n\nInverse Pauli cycle X -> Z -> Y -> X.">(),
    method<&gate1<&TS::h_xy>, "h_xy($self, q)\n--\n\nHadamard-like exchange of X and Y.">(),
    method<&gate1<&TS::h_yz>, "h_yz($self, q)\n--\n\nHadamard-like exchange of Y and Z.">(),
    method<&gate2<&TS::cx>,
           "cx($self, control, target)\n--\n\nCNOT from `control` onto `target`.">(),
    method<
        &gate2<&TS::zcx>,
        "cnot($self, control, target)\n--\n\nAlias of `cx`: CNOT from `control` onto `target`.">(),
    method<&gate2<&TS::cy>,
           "cy($self, control, target)\n--\n\nControlled Y from `control` onto `target`.">(),
    method<&gate2<&TS::cz>, "cz($self, a, b)\n--\n\nControlled Z on `a` and `b`.">(),
    method<&gate2<&TS::xcx>, "xcx($self, control, target)\n--\n\nX-controlled X.">(),
    method<&gate2<&TS::xcy>, "xcy($self, control, target)\n--\n\nX-controlled Y.">(),
    method<&gate2<&TS::xcz>, "xcz($self, control, target)\n--\n\nX-controlled Z.">(),
    method<&gate2<&TS::ycx>, "ycx($self, control, target)\n--\n\nY-controlled X.">(),
    method<&gate2<&TS::ycy>, "ycy($self, control, target)\n--\n\nY-controlled Y.">(),
    method<&gate2<&TS::ycz>, "ycz($self, control, target)\n--\n\nY-controlled Z.">(),
    method<&gate2<&TS::zcx>,
           "zcx($self, control, target)\n--\n\nZ-controlled X, equivalent to CNOT.">(),
    method<&gate2<&TS::zcy>, "zcy($self, control, target)\n--\n\nZ-controlled Y.">(),
    method<&gate2<&TS::zcz>, "zcz($self, a, b)\n--\n\nZ-controlled Z, equivalent to CZ.">(),
    method<&gate2<&TS::iswap>, "iswap($self, a, b)\n--\n\nISWAP on `a` and `b`.">(),
    method<&gate2<&TS::iswap_dag>, "iswap_dag($self, a, b)\n--\n\nISWAP dagger on `a` and `b`.">(),
    method<&gate2<&TS::swap>, "swap($self, a, b)\n--\n\nSwaps `a` and `b`.">(),
    method<&pauli, "pauli($self, pauli)\n--\n\nApplies a Pauli operator to the state.">(),
    method<&controlled_pauli,
           "controlled_pauli($self, control, target)\n--\n\nApplies commuting control and target "
           "Pauli axes.">(),
    method<&gate1<&TS::t>, "t($self, q)\n--\n\nApplies T on `q`.">(),
    method<&gate1<&TS::t_dag>, "t_dag($self, q)\n--\n\nApplies T dagger on `q`.">(),
    method<&t_pauli,
           "t_pauli($self, axis, adjoint)\n--\n\nApplies a T rotation about `axis`; `adjoint=True` "
           "selects T dagger.">(),
    method<&ccz, "ccz($self, a, b, c)\n--\n\nApplies CCZ to three distinct qubits.">(),
    method<&measure, "measure($self, q)\n--\n\nMeasures Z on `q` and collapses the state.">(),
    method<&measure_observable,
           "measure_observable($self, observable)\n--\n\nMeasures a Hermitian Pauli observable and "
           "collapses the state.">(),
    method<&postselect_observable,
           "postselect_observable($self, observable, desired_value)\n--\n\nForces a Pauli "
           "measurement to `desired_value`.">(),
    method<&postselect<&TS::postselect_z>,
           "postselect_z($self, q, desired_value)\n--\n\nForces a Z measurement on `q`.">(),
    method<&postselect<&TS::postselect_x>,
           "postselect_x($self, q, desired_value)\n--\n\nForces an X measurement on `q`.">(),
    method<&postselect<&TS::postselect_y>,
           "postselect_y($self, q, desired_value)\n--\n\nForces a Y measurement on `q`.">(),
    method<&peek_observable_expectation,
           "peek_observable_expectation($self, observable)\n--\n\nReturns a Pauli expectation "
           "without collapsing the state.">(),
    method<&peek<&TS::peek_x>,
           "peek_x($self, q)\n--\n\nReturns the X expectation on `q` without measuring.">(),
    method<&peek<&TS::peek_y>,
           "peek_y($self, q)\n--\n\nReturns the Y expectation on `q` without measuring.">(),
    method<&peek<&TS::peek_z>,
           "peek_z($self, q)\n--\n\nReturns the Z expectation on `q` without measuring.">(),
    method<&gate1<&TS::reset>, "reset($self, q)\n--\n\nResets `q` to |0>.">(),
    method<&gate1<&TS::reset_z>, "reset_z($self, q)\n--\n\nResets `q` to |0>.">(),
    method<&gate1<&TS::reset_x>, "reset_x($self, q)\n--\n\nResets `q` to |+>.">(),
    method<&gate1<&TS::reset_y>, "reset_y($self, q)\n--\n\nResets `q` to |+i>.">(),
    method<&state_vector,
           "state_vector($self)\n--\n\nReconstructs the dense state vector; intended for small "
           "registers.">(),
    method<&reseed_rng,
           "reseed_rng($self, seed)\n--\n\nReseeds outcome sampling without changing the state.">(),
    method<&restore_rng_from,
           "restore_rng_from($self, snapshot)\n--\n\nCopies the RNG position from `snapshot` "
           "without changing the state.">(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    getter<&num_qubits>("num_qubits", "Current register size."),
    getter<&rank>("rank", "Number of live amplitude terms."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

void register_measure_result_class(Registrar& module) {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("Result of a Pauli measurement.")},
        {Py_tp_getset, measure_result_properties},
        {Py_tp_repr, unary_slot<&measure_result_repr>()},
        {0, nullptr},
    };
    module.add_class(
        define_class<MeasureResult>("kelvo._core.MeasureResult", slots, {.instantiable = false}));
}

void register_simulator_class(Registrar& module) {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(kClassDoc.s)},
        {Py_tp_new, reinterpret_cast<void*>(constructor<&construct, kClassDoc>())},
        {Py_tp_methods, methods},
        {Py_tp_getset, properties},
        {Py_tp_repr, unary_slot<&simulator_repr>()},
        {0, nullptr},
    };
    module.add_class(define_class<TableauSimulator>("kelvo._core.TableauSimulator", slots,
                                                    {.thread_affine = true}));
}

}  // namespace kelvo::py
