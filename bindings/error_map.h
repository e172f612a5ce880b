// The module's exception classes and the one translation of C++ exceptions into Python ones.
#pragma once

#include <string_view>

#include "errors.h"
#include "ref.h"
#include "tableau_simulator/error.h"
#include "thread_edges.h"

namespace kelvo::py {

// Process-wide classes, each created on first demand and kept for the life of the process.
PyObject* parse_error_class();      // kelvo._core.ParseError(ValueError)
PyObject* simulator_error_class();  // kelvo._core.SimulatorError(RuntimeError)
PyObject* panic_exception_class();  // kelvo._core.PanicException(BaseException), not exported

// Raise the Python exception of an error kind (the error's text is the message).
void raise_kelvo_error(const KelvoError& error);
void raise_sim_error(const tableau_simulator::SimError& error);
// Prints the panic to standard error, then raises the panic exception with `message`.
void raise_panic(std::string_view message, std::string_view location);

// Sets the Python exception for the exception being handled; call only inside a catch block.
// PythonError and Cancelled: already set (by the signal handler the core's check ran).
// KelvoError, SimError: by kind. ThreadSpawnError: MemoryError when memory was short, else
// RuntimeError, with its text. FatalError and any other exception: the panic exception.
// std::bad_alloc, std::length_error: MemoryError.
void translate_current_exception() noexcept;

// Runs `body` at a call boundary: no C++ exception crosses into the interpreter; on one,
// the matching Python exception is set and `failure` returned. Only the forced unwind that
// ends a thread passes (which is why this is not noexcept).
template <class R, class F>
R guarded(R failure, F&& body) {
    // Before the call can allocate much, so that its own std::bad_alloc can be thrown.
    reserve_exception_state();
    try {
        return body();
    } catch (const ForcedUnwind&) {
        throw;
    } catch (...) {
        translate_current_exception();
        return failure;
    }
}

}  // namespace kelvo::py
