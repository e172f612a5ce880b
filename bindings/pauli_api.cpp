// The Python class PauliString and the module's Pauli functions.

#include "api.h"
#include "pauli.h"
#include "py_class.h"

namespace kelvo::py {
namespace {

using kelvo::PauliString;

// Index checks happen here so the core's own assertion is never reached from Python.
void check_qubit(uint64_t q, uint64_t num_qubits) {
    if (q >= num_qubits) raise(PyExc_ValueError, "qubit index is out of range");
}

Ref word_list(const std::vector<uint64_t>& words) {
    Ref list = take(PyList_New(static_cast<Py_ssize_t>(words.size())));
    for (size_t i = 0; i < words.size(); ++i) {
        check_status(
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), py_u64(words[i]).release()));
    }
    return list;
}

PauliString negated(const PauliString& p) {
    PauliString out = p;
    out.phase = static_cast<uint8_t>((out.phase + 2) % 4);
    return out;
}

PauliString from_text(Arg text) {
    const std::string_view literal = to_str(text);
    try {
        return pauli_string(literal);
    } catch (const KelvoError& e) {
        raise(PyExc_ValueError, e.what());
    }
}

PauliString construct(const Args& a) {
    const uint64_t n = to_u64(a[0]);
    return PauliString(n);
}

Ref static_from_text(const Args& a) {
    return make_instance(from_text(a[0]));
}

Ref nqubits(const PauliString& p) {
    return py_u64(p.num_qubits);
}
Ref x_words(const PauliString& p) {
    return word_list(p.x);
}
Ref z_words(const PauliString& p) {
    return word_list(p.z);
}
Ref phase_exponent(const PauliString& p) {
    return py_u64(p.phase);
}

template <bool (PauliString::*Get)(uint64_t) const>
Ref get_bit(const PauliString& p, const Args& a) {
    const uint64_t q = to_u64(a[0]);
    check_qubit(q, p.num_qubits);
    return py_bool((p.*Get)(q));
}

template <void (PauliString::*Set)(uint64_t, bool)>
Ref set_bit(PauliString& p, const Args& a) {
    const uint64_t q = to_u64(a[0]);
    const bool value = to_bool(a[1]);
    check_qubit(q, p.num_qubits);
    (p.*Set)(q, value);
    return py_none();
}

Ref set_phase(PauliString& p, const Args& a) {
    p.phase = to_phase(a[0]);
    return py_none();
}

Ref phase_shift(PauliString& p, const Args& a) {
    p.phase = static_cast<uint8_t>((p.phase + to_phase(a[0])) % 4);
    return py_none();
}

Ref has_nonidentity_body(const PauliString& p, const Args&) {
    return py_bool(p.has_nonidentity_body());
}

Ref same_body(const PauliString& p, const Args& a) {
    const auto other = to_instance<PauliString>(a[0]);
    return py_bool(p.num_qubits == other->num_qubits && p.x == other->x && p.z == other->z);
}

Ref str(const PauliString& p) {
    return py_str(p.str());
}
Ref repr(const PauliString& p) {
    return py_str("PauliString(\"" + p.str() + "\")");
}
Ref negative(const PauliString& p) {
    return make_instance(negated(p));
}

Ref multiply(PyObject* left, PyObject* right) {
    const auto a = try_instance<PauliString>(left);
    if (!a) return py_not_implemented();
    const auto b = try_instance<PauliString>(right);
    if (!b) return py_not_implemented();
    return make_instance(**a * **b);
}

Ref compare(PyObject* left, PyObject* right, int op) {
    if (op == Py_NE) {
        // The negation of the interpreter's own ==, with all of its fallbacks.
        const Ref equal = take(PyObject_RichCompare(left, right, Py_EQ));
        const int truth = PyObject_IsTrue(equal.get());
        check_status(truth);
        return py_bool(truth == 0);
    }
    if (op != Py_EQ) return py_not_implemented();
    const auto a = try_instance<PauliString>(left);
    if (!a) return py_not_implemented();
    const auto b = try_instance<PauliString>(right);
    if (!b) return py_not_implemented();
    return py_bool(**a == **b);
}

Ref identity_fn(const Args& a) {
    const uint64_t n = to_u64(a[0]);
    return make_instance(pauli_identity(n));
}

template <PauliString (*Build)(uint64_t, uint64_t)>
Ref single_qubit_fn(const Args& a) {
    const uint64_t n = to_u64(a[0]);
    const uint64_t q = to_u64(a[1]);
    check_qubit(q, n);
    return make_instance(Build(n, q));
}

Ref pauli_string_fn(const Args& a) {
    return make_instance(from_text(a[0]));
}

Ref neg_fn(const Args& a) {
    return make_instance(negated(*to_instance<PauliString>(a[0])));
}

constexpr Text kClassDoc =
    "PauliString(nqubits=0)\n--\n\n"
    "A packed Pauli operator with a phase exponent of `i`.\n\n"
    "String position is the qubit index. Use `pauli_string(\"IXYZ\")` to parse a\n"
    "dense literal, or construct identity storage with `PauliString(nqubits)` and\n"
    "set its bits explicitly.\n\n"
    "Examples:\n"
    "    >>> import kelvo\n"
    "    >>> p = kelvo.pauli_string(\"XYZ\")\n"
    "    >>> str(p)\n"
    "    'XYZ'\n"
    "    >>> str(-p)\n"
    "    '-XYZ'";

PyMethodDef methods[] = {
    static_method<&static_from_text,
                  "from_text(text)\n--\n\nParses a dense literal such as `\"IXYZ\"`; `_` is "
                  "identity.">(),
    method<&get_bit<&PauliString::xbit>,
           "xbit($self, q)\n--\n\nReturns whether qubit `q` has an X component.">(),
    method<&get_bit<&PauliString::zbit>,
           "zbit($self, q)\n--\n\nReturns whether qubit `q` has a Z component.">(),
    method<&set_bit<&PauliString::set_xbit>,
           "set_xbit($self, q, value)\n--\n\nSets or clears the X component on qubit `q`.">(),
    method<&set_bit<&PauliString::set_zbit>,
           "set_zbit($self, q, value)\n--\n\nSets or clears the Z component on qubit `q`.">(),
    method<&set_phase,
           "set_phase($self, phase_exponent)\n--\n\nSets the phase exponent modulo four.">(),
    method<&phase_shift,
           "phase_shift($self, delta)\n--\n\nAdds `delta` to the phase exponent modulo four.">(),
    method<&has_nonidentity_body,
           "has_nonidentity_body($self)\n--\n\nWhether any qubit carries X, Y, or Z.">(),
    method<&same_body, "same_body($self, other)\n--\n\nStructural body equality ignoring phase.">(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    getter<&nqubits>("nqubits", "Number of qubits represented by the operator."),
    getter<&x_words>("x", "Copy of the packed LSB-first X words."),
    getter<&z_words>("z", "Copy of the packed LSB-first Z words."),
    getter<&phase_exponent>("phase_exponent", "Stored phase exponent of `i`, in `0..=3`."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef functions[] = {
    function<&identity_fn,
             "pauli_identity(nqubits)\n--\n\nConstructs identity on `nqubits` qubits.">(),
    function<&single_qubit_fn<&pauli_x>,
             "pauli_x(nqubits, q)\n--\n\nConstructs X on qubit `q` and identity elsewhere.">(),
    function<&single_qubit_fn<&pauli_y>,
             "pauli_y(nqubits, q)\n--\n\nConstructs Y on qubit `q` and identity elsewhere.">(),
    function<&single_qubit_fn<&pauli_z>,
             "pauli_z(nqubits, q)\n--\n\nConstructs Z on qubit `q` and identity elsewhere.">(),
    function<&pauli_string_fn,
             "pauli_string(text)\n--\n\nParses a dense Pauli literal such as `\"IXYZ\"`.">(),
    function<&neg_fn, "neg(pauli)\n--\n\nReturns a copy of `pauli` multiplied by -1.">(),
};

}  // namespace

void register_pauli_class(Registrar& module) {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(kClassDoc.s)},
        {Py_tp_new, reinterpret_cast<void*>(constructor<&construct, kClassDoc>())},
        {Py_tp_methods, methods},
        {Py_tp_getset, properties},
        {Py_tp_str, unary_slot<&str>()},
        {Py_tp_repr, unary_slot<&repr>()},
        {Py_nb_negative, unary_slot<&negative>()},
        {Py_nb_multiply, binary_slot<&multiply>()},
        {Py_tp_richcompare, richcompare_slot<&compare>()},
        {0, nullptr},
    };
    module.add_class(
        define_class<PauliString>("kelvo._core.PauliString", slots, {.thread_affine = true}));
}

void register_pauli_functions(Registrar& module) {
    for (PyMethodDef& def : functions)
        module.add_function(&def);
}

}  // namespace kelvo::py
