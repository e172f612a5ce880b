#include "signature.h"

#include <gtest/gtest.h>

#include "embedded_python.h"

namespace kelvo::py {
namespace {

using testing::ensure_python;
using testing::eval;
using testing::take_raised;

constexpr const char* kCompileDoc =
    "compile($self, postselection_mask=None, *, normalize_syndromes=False, backend=\"cpu\", "
    "observable=0, gpu_chunk_shots=1048576)\n--\n\nCompiles.";

// Matches `call`, a Python tuple (args_tuple, kwargs_dict), through the vectorcall matcher.
// The slots borrow from the call's objects, which `held` keeps alive.
std::string match_error(const Signature& sig, const char* call, ArgSlots& out,
                        Ref* held = nullptr) {
    Ref pair = eval(call);
    PyObject* args = PyTuple_GetItem(pair.get(), 0);
    PyObject* kwargs = PyTuple_GetItem(pair.get(), 1);
    std::vector<PyObject*> flat;
    for (Py_ssize_t i = 0; i < PyTuple_Size(args); ++i)
        flat.push_back(PyTuple_GetItem(args, i));
    const Ref keys = take(PyDict_Keys(kwargs));
    for (Py_ssize_t i = 0; i < PyList_Size(keys.get()); ++i) {
        flat.push_back(PyDict_GetItem(kwargs, PyList_GetItem(keys.get(), i)));
    }
    const Ref kwnames = take(PyList_AsTuple(keys.get()));
    try {
        sig.match(flat.data(), PyTuple_Size(args),
                  PyTuple_Size(kwnames.get()) ? kwnames.get() : nullptr, out);
    } catch (const PythonError&) {
        const testing::Raised raised = take_raised();
        EXPECT_EQ(raised.type, PyExc_TypeError);
        return raised.message;
    }
    // The tuple/dict matcher must agree.
    ArgSlots again;
    sig.match(args, kwargs, again);
    for (size_t i = 0; i < sig.size(); ++i)
        EXPECT_EQ(again[i], out[i]);
    if (held) *held = std::move(pair);
    return "";
}

TEST(Signature, ParsesNamesDefaultsAndKeywordOnlyMarker) {
    ensure_python();
    const Signature sig(kCompileDoc);
    ASSERT_EQ(sig.size(), 5u);
    EXPECT_STREQ(sig.param_name(0), "postselection_mask");
    EXPECT_STREQ(sig.param_name(4), "gpu_chunk_shots");
    ArgSlots out;
    EXPECT_EQ(match_error(sig, "((), {})", out), "");
    EXPECT_EQ(out[0], Py_None);
    EXPECT_EQ(out[1], Py_False);
    EXPECT_EQ(PyUnicode_CompareWithASCIIString(out[2], "cpu"), 0);
    EXPECT_EQ(PyLong_AsLong(out[3]), 0);
    EXPECT_EQ(PyLong_AsLong(out[4]), 1048576);
    Ref held;
    EXPECT_EQ(match_error(sig, "(([1],), {'observable': 3, 'backend': 'gpu'})", out, &held), "");
    EXPECT_EQ(PyLong_AsLong(out[3]), 3);
    EXPECT_EQ(PyUnicode_CompareWithASCIIString(out[2], "gpu"), 0);
}

TEST(Signature, CpythonStyleErrors) {
    ensure_python();
    const Signature compile(kCompileDoc);
    const Signature pair("pauli_x(nqubits, q)");
    const Signature three("f(a, b, c, *, d)");
    const struct {
        const Signature& sig;
        const char* call;
        const char* message;
    } cases[] = {
        {compile, "((None, True), {})",
         "compile() takes from 0 to 1 positional arguments but 2 were given"},
        {pair, "((1, 2, 3), {})", "pauli_x() takes 2 positional arguments but 3 were given"},
        {pair, "((), {})", "pauli_x() missing 2 required positional arguments: 'nqubits' and 'q'"},
        {three, "((), {'d': 1})", "f() missing 3 required positional arguments: 'a', 'b', and 'c'"},
        {three, "((1, 2, 3), {})", "f() missing 1 required keyword-only argument: 'd'"},
        {pair, "((1,), {'nqubits': 2})", "pauli_x() got multiple values for argument 'nqubits'"},
        {pair, "((1, 2), {'r': 2})", "pauli_x() got an unexpected keyword argument 'r'"},
    };
    ArgSlots out;
    for (const auto& c : cases)
        EXPECT_EQ(match_error(c.sig, c.call, out), c.message);
    // A keyword built at run time (not interned) still matches by value.
    EXPECT_EQ(match_error(pair, "((1,), {''.join(['q']): 2})", out), "");
}

}  // namespace
}  // namespace kelvo::py
