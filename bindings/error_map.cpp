#include "error_map.h"

#include <cstdio>
#include <new>
#include <stdexcept>
#include <string>

#include "cancellation.h"
#include "memory.h"

namespace kelvo::py {
namespace {

using tableau_simulator::SimError;
using tableau_simulator::SimErrorKind;

PyObject* new_exception_class(const char* name, const char* doc, PyObject* base) {
    PyObject* cls = PyErr_NewExceptionWithDoc(name, doc, base, nullptr);
    if (!cls) {
        PyErr_Clear();
        fatal("Failed to initialize new exception type.");
    }
    return cls;
}

void set_message(PyObject* type, std::string_view message) {
    PyObject* text =
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (!text) return;
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

}  // namespace

PyObject* parse_error_class() {
    static PyObject* const cls = new_exception_class(
        "kelvo._core.ParseError", "A circuit failed to parse.", PyExc_ValueError);
    return cls;
}

PyObject* simulator_error_class() {
    static PyObject* const cls = new_exception_class(
        "kelvo._core.SimulatorError", "A simulator operation failed on the live quantum state.",
        PyExc_RuntimeError);
    return cls;
}

PyObject* panic_exception_class() {
    static PyObject* const cls = [] {
        PyObject* c = PyErr_NewExceptionWithDoc(
            "kelvo._core.PanicException",
            "Raised when a call breaks an internal precondition; the call was aborted.",
            PyExc_BaseException, nullptr);
        if (!c) Py_FatalError("Failed to initialize new exception type.");
        return c;
    }();
    return cls;
}

void raise(PyObject* type, std::string_view message) {
    set_message(type, message);
    throw PythonError{};
}

Ref py_str(std::string_view text) {
    return take(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

void raise_kelvo_error(const KelvoError& error) {
    PyObject* type = PyExc_RuntimeError;
    switch (error.kind()) {
        case KelvoErrorKind::InvalidInput:
        case KelvoErrorKind::Unsupported:
            type = PyExc_ValueError;
            break;
        case KelvoErrorKind::Parse:
            type = parse_error_class();
            break;
        case KelvoErrorKind::Io:
            type = PyExc_OSError;
            break;
        case KelvoErrorKind::Internal:
        case KelvoErrorKind::WorkerPanic:
            break;
    }
    set_message(type, error.message());
}

void raise_sim_error(const SimError& error) {
    PyObject* type = PyExc_ValueError;
    switch (error.kind()) {
        case SimErrorKind::PrunedAllAmplitudes:
        case SimErrorKind::RankCapExceeded:
        case SimErrorKind::ImpossiblePostselection:
        case SimErrorKind::UnproducedBatchRecord:
            type = simulator_error_class();
            break;
        case SimErrorKind::InvalidProbability:
        case SimErrorKind::InvalidPauliChannel:
        case SimErrorKind::NonFiniteAngle:
        case SimErrorKind::RepeatedQubit:
        case SimErrorKind::ControlledPauliAnticommutes:
        case SimErrorKind::ControlledPauliNotPositive:
        case SimErrorKind::NonHermitianAxis:
        case SimErrorKind::QubitOutOfRange:
            break;
    }
    set_message(type, error.what());
}

void raise_panic(std::string_view message, std::string_view location) {
    std::fprintf(stderr, "kelvo panicked at %.*s:\n%.*s\n", static_cast<int>(location.size()),
                 location.data(), static_cast<int>(message.size()), message.data());
    std::fflush(stderr);
    set_message(panic_exception_class(), message);
}

void translate_current_exception() noexcept {
    try {
        try {
            throw;
        } catch (const PythonError&) {
            if (!PyErr_Occurred()) raise_panic("a call failed without an exception", "bindings");
        } catch (const KelvoError& e) {
            raise_kelvo_error(e);
        } catch (const SimError& e) {
            raise_sim_error(e);
        } catch (const FatalError& e) {
            raise_panic(e.what(), e.location());
        } catch (const MemoryShortage& e) {
            set_message(PyExc_MemoryError, e.what());
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const std::length_error&) {
            PyErr_NoMemory();
        } catch (const Cancelled&) {
            // A signal handler raised while the core polled it; its exception is set.
            if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
        } catch (const ThreadSpawnError& e) {
            set_message(e.memory_short() ? PyExc_MemoryError : PyExc_RuntimeError, e.what());
        } catch (const std::exception& e) {
            raise_panic(e.what(), "unknown");
        } catch (...) {
            raise_panic("unknown C++ exception", "unknown");
        }
    } catch (...) {
        // Creating an exception class failed while reporting; keep the interpreter alive.
        if (!PyErr_Occurred()) PyErr_NoMemory();
    }
}

}  // namespace kelvo::py
