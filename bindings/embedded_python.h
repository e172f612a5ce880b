// Test helper: one embedded interpreter for the glue's unit tests.
#pragma once

#include <string>

#include "ref.h"

namespace kelvo::py::testing {

// Starts the interpreter on first use; it lives until the process ends. Its objects come from
// malloc, not from Python's own arenas (which the leak checker does not scan), so that only
// objects nothing refers to any more are reported as leaks, and a use after free is caught.
inline void ensure_python() {
    if (Py_IsInitialized()) return;
    PyPreConfig config;
    PyPreConfig_InitPythonConfig(&config);
    config.allocator = PYMEM_ALLOCATOR_MALLOC;
    const PyStatus status = Py_PreInitialize(&config);
    if (PyStatus_Exception(status)) Py_ExitStatusException(status);
    Py_InitializeEx(0);
}

// Evaluates a Python expression in a fresh namespace.
inline Ref eval(const char* expression) {
    Ref globals = take(PyDict_New());
    check_status(PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()));
    return take(PyRun_String(expression, Py_eval_input, globals.get(), globals.get()));
}

// The pending exception, which is cleared: its class and message.
struct Raised {
    PyObject* type = nullptr;
    std::string message;
};
inline Raised take_raised() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    const Ref owned[] = {Ref::steal(type), Ref::steal(value), Ref::steal(traceback)};
    const Ref text = value ? Ref::steal(PyObject_Str(value)) : Ref();
    return {type, text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : ""};
}

}  // namespace kelvo::py::testing
