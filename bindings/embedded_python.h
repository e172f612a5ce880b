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
    PyStatus status = Py_PreInitialize(&config);
    if (PyStatus_Exception(status)) Py_ExitStatusException(status);
    // Run as the interpreter the build was configured with (a virtual environment's, say), so
    // that the modules the tests import (NumPy) come from its site-packages, not from those of
    // the installation it was made from.
    PyConfig init;
    PyConfig_InitPythonConfig(&init);
    init.install_signal_handlers = 0;
#ifdef KELVO_TEST_PYTHON_EXECUTABLE
    status = PyConfig_SetBytesString(&init, &init.program_name, KELVO_TEST_PYTHON_EXECUTABLE);
    if (PyStatus_Exception(status)) Py_ExitStatusException(status);
#endif
    status = Py_InitializeFromConfig(&init);
    PyConfig_Clear(&init);
    if (PyStatus_Exception(status)) Py_ExitStatusException(status);
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
