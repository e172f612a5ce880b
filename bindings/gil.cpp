#include "gil.h"

namespace kelvo::py {
namespace {

// Set once at import, before any call can look for signals.
unsigned long main_thread_ident = 0;

PyObject* note_exit(PyObject*, PyObject*) {
    detail::finalizing_thread.store(PyThread_get_thread_ident(), std::memory_order_relaxed);
    detail::interpreter_exiting.store(true, std::memory_order_release);
    Py_RETURN_NONE;
}

PyMethodDef note_exit_def = {"_note_exit", &note_exit, METH_NOARGS, nullptr};

}  // namespace

void learn_main_thread() {
    // Runs Python code, so a pending signal's handler may raise here: the import then fails
    // with that exception instead of losing it.
    const Ref threading = take(PyImport_ImportModule("threading"));
    const Ref thread = take(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
    const Ref ident = take(PyObject_GetAttrString(thread.get(), "ident"));
    const unsigned long value = PyLong_AsUnsignedLong(ident.get());
    if (PyErr_Occurred()) throw PythonError{};
    main_thread_ident = value;
    // Exit callbacks run before finalization begins, on the thread that will run it.
    const Ref callback = take(PyCFunction_New(&note_exit_def, nullptr));
    const Ref atexit = take(PyImport_ImportModule("atexit"));
    take(PyObject_CallMethod(atexit.get(), "register", "O", callback.get()));
}

bool runs_signal_handlers() {
    return PyThread_get_thread_ident() == main_thread_ident;
}

}  // namespace kelvo::py
