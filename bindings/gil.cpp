#include "gil.h"

#include <pthread.h>

#include <atomic>

namespace kelvo::py {
namespace {

// Learned at import, before any call can look for signals. In a forked child the thread that
// forked is the only one, and the interpreter makes it the child's main thread.
std::atomic<unsigned long> main_thread_ident{0};

void after_fork_in_child() {
    main_thread_ident.store(PyThread_get_thread_ident(), std::memory_order_relaxed);
}

bool in_main_interpreter() {
    return PyInterpreterState_GetID(PyInterpreterState_Get()) == 0;
}

PyObject* note_exit(PyObject*, PyObject*) {
    // Only the main interpreter's exit ends the other threads; a subinterpreter's leaves them.
    if (in_main_interpreter()) {
        detail::finalizing_thread.store(PyThread_get_thread_ident(), std::memory_order_relaxed);
        detail::interpreter_exiting.store(true, std::memory_order_release);
    }
    Py_RETURN_NONE;
}

PyMethodDef note_exit_def = {"_note_exit", &note_exit, METH_NOARGS, nullptr};

}  // namespace

void learn_main_thread() {
    // NumPy and this module's process-wide objects belong to the main interpreter, and the
    // module that one interpreter initialized is what every later import of it gets.
    if (!in_main_interpreter()) {
        raise(PyExc_ImportError, "kelvo._core must first be imported in the main interpreter");
    }
    // Runs Python code, so a pending signal's handler may raise here: the import then fails
    // with that exception instead of losing it.
    const Ref threading = take(PyImport_ImportModule("threading"));
    const Ref thread = take(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
    const Ref ident = take(PyObject_GetAttrString(thread.get(), "ident"));
    const unsigned long value = PyLong_AsUnsignedLong(ident.get());
    if (PyErr_Occurred()) throw PythonError{};
    main_thread_ident.store(value, std::memory_order_relaxed);
    [[maybe_unused]] static const int registered =
        pthread_atfork(nullptr, nullptr, &after_fork_in_child);
    // Exit callbacks run before finalization begins, on the thread that will run it.
    const Ref callback = take(PyCFunction_New(&note_exit_def, nullptr));
    const Ref atexit = take(PyImport_ImportModule("atexit"));
    take(PyObject_CallMethod(atexit.get(), "register", "O", callback.get()));
}

bool runs_signal_handlers() {
    return PyThread_get_thread_ident() == main_thread_ident.load(std::memory_order_relaxed);
}

}  // namespace kelvo::py
