#include "gil.h"

namespace kelvo::py {

bool runs_signal_handlers() {
    // Asked once; the interpreter lock orders the threads that ask (a C++ static would wait
    // for a first asker that released the lock while importing, a deadlock).
    static unsigned long main_thread = 0;
    static bool known = false;
    if (!known) {
        PyObject* threading = PyImport_ImportModule("threading");
        PyObject* thread =
            threading ? PyObject_CallMethod(threading, "main_thread", nullptr) : nullptr;
        PyObject* ident = thread ? PyObject_GetAttrString(thread, "ident") : nullptr;
        const unsigned long value = ident ? PyLong_AsUnsignedLong(ident) : 0;
        Py_XDECREF(ident);
        Py_XDECREF(thread);
        Py_XDECREF(threading);
        if (PyErr_Occurred()) {
            // Without the answer, look on every thread: a look elsewhere finds nothing.
            PyErr_Clear();
            return true;
        }
        main_thread = value;
        known = true;
    }
    return PyThread_get_thread_ident() == main_thread;
}

}  // namespace kelvo::py
