#include "signature.h"

#include <gtest/gtest.h>

#include <string>

#include "embedded_python.h"

namespace kelvo::py {
namespace {

// Matches `call`, a Python tuple (args, kwargs), through the vectorcall matcher. Returns the
// TypeError's message, or the repr of the matched values once the tuple/dict matcher agrees.
std::string match(const Signature& sig, const std::string& call) {
    const Ref parts = testing::eval(
        ("(lambda a, k: (a, k, a + tuple(k.values()), tuple(k) or None))(*" + call + ")").c_str());
    PyObject* const args = PyTuple_GetItem(parts.get(), 0);
    PyObject* const flat = PyTuple_GetItem(parts.get(), 2);
    PyObject* const kwnames = PyTuple_GetItem(parts.get(), 3);
    std::vector<PyObject*> items;
    for (Py_ssize_t i = 0; i < PyTuple_Size(flat); ++i)
        items.push_back(PyTuple_GetItem(flat, i));
    ArgSlots out, again;
    try {
        sig.match(items.data(), PyTuple_Size(args), kwnames == Py_None ? nullptr : kwnames, out);
    } catch (const PythonError&) {
        const testing::Raised raised = testing::take_raised();
        EXPECT_EQ(raised.type, PyExc_TypeError);
        return raised.message;
    }
    sig.match(args, PyTuple_GetItem(parts.get(), 1), again);
    const Ref values = take(PyTuple_New(static_cast<Py_ssize_t>(sig.size())));
    for (size_t i = 0; i < sig.size(); ++i) {
        EXPECT_EQ(again[i], out[i]);
        check_status(PyTuple_SetItem(values.get(), static_cast<Py_ssize_t>(i),
                                     Ref::borrow(out[i]).release()));
    }
    const Ref text = take(PyObject_Repr(values.get()));
    return PyUnicode_AsUTF8AndSize(text.get(), nullptr);
}

TEST(Signature, MatchesWithDefaultsAndCpythonStyleErrors) {
    testing::ensure_python();
    const Signature compile(
        "compile($self, postselection_mask=None, *, normalize_syndromes=False, backend=\"cpu\", "
        "observable=0, gpu_chunk_shots=1048576)\n--\n\nCompiles.");
    const Signature pair("pauli_x(nqubits, q)");
    const Signature three("f(a, b, c, *, d)");
    const struct {
        const Signature& sig;
        const char* call;
        const char* result;
    } cases[] = {
        {compile, "((), {})", "(None, False, 'cpu', 0, 1048576)"},
        // A keyword built at run time (not interned) still matches by value.
        {compile, "(([1],), {'observable': 3, ''.join(['back', 'end']): 'gpu'})",
         "([1], False, 'gpu', 3, 1048576)"},
        {compile, "((None, True), {})",
         "compile() takes from 0 to 1 positional arguments but 2 were given"},
        {pair, "((1, 2, 3), {})", "pauli_x() takes 2 positional arguments but 3 were given"},
        {pair, "((), {})", "pauli_x() missing 2 required positional arguments: 'nqubits' and 'q'"},
        {three, "((), {'d': 1})", "f() missing 3 required positional arguments: 'a', 'b', and 'c'"},
        {three, "((1, 2, 3), {})", "f() missing 1 required keyword-only argument: 'd'"},
        {pair, "((1,), {'nqubits': 2})", "pauli_x() got multiple values for argument 'nqubits'"},
        {pair, "((1, 2), {'r': 2})", "pauli_x() got an unexpected keyword argument 'r'"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(match(c.sig, c.call), c.result) << c.call;
}

}  // namespace
}  // namespace kelvo::py
