#include "gil.h"

#include <dlfcn.h>

namespace kelvo::py {
namespace {

// Set once at import, before any call can look for signals.
unsigned long main_thread_ident = 0;

// Whether the interpreter is finalizing: exported by every CPython, in the limited API only
// from 3.13 on (before as _Py_IsFinalizing), so it is looked up rather than linked.
using FinalizingCheck = int (*)();
FinalizingCheck is_finalizing = nullptr;

}  // namespace

bool may_release_references() {
    // Once finalization began only the thread that runs it (the main one) takes the lock:
    // any other thread here is being ended. (PyGILState_Check cannot tell: it answers yes
    // once finalization has removed its thread key.)
    return is_finalizing == nullptr || is_finalizing() == 0 ||
           PyThread_get_thread_ident() == main_thread_ident;
}

void learn_main_thread() {
    // Runs Python code, so a pending signal's handler may raise here: the import then fails
    // with that exception instead of losing it.
    const Ref threading = take(PyImport_ImportModule("threading"));
    const Ref thread = take(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
    const Ref ident = take(PyObject_GetAttrString(thread.get(), "ident"));
    const unsigned long value = PyLong_AsUnsignedLong(ident.get());
    if (PyErr_Occurred()) throw PythonError{};
    main_thread_ident = value;
    for (const char* name : {"Py_IsFinalizing", "_Py_IsFinalizing"}) {
        if (!is_finalizing)
            is_finalizing = reinterpret_cast<FinalizingCheck>(dlsym(RTLD_DEFAULT, name));
    }
}

bool runs_signal_handlers() {
    return PyThread_get_thread_ident() == main_thread_ident;
}

}  // namespace kelvo::py
