// Running pure C++ work with the interpreter lock released, and the checks through which long
// core calls look for Ctrl-C.
#pragma once

#include <chrono>
#include <exception>
#include <optional>
#include <utility>

#include "cancellation.h"
#include "ref.h"
#include "thread_edges.h"

namespace kelvo::py {

// How often a long core call looks for a pending signal: with the interpreter lock held a
// look is one function call; with the lock released it retakes the lock for a moment.
inline constexpr std::chrono::milliseconds kSignalPollInterval{50};

// Records which thread runs the Python signal handlers (the main interpreter's main thread; in
// a forked child, the thread that forked) and registers the exit callback that
// may_release_references (ref.h) reads; the module calls it first while it is imported.
// ImportError in a subinterpreter: the module that the first import initializes is shared by
// every interpreter, and what it holds must be the main interpreter's.
void learn_main_thread();
// Whether the calling thread runs the Python signal handlers: elsewhere no look can find a
// pending signal.
bool runs_signal_handlers();

namespace detail {

// Releases the interpreter lock into `state`, runs `work`, retakes the lock from `state` and
// only then returns the result or rethrows the exception.
template <class F>
auto run_released(PyThreadState*& state, F&& work) {
    using Result = decltype(work());
    std::optional<Result> result;
    std::exception_ptr failure;
    state = PyEval_SaveThread();
    try {
        result.emplace(work());
    } catch (const ForcedUnwind&) {
        throw;  // the interpreter ended this thread while it asked for the lock
    } catch (...) {
        failure = std::current_exception();
    }
    PyEval_RestoreThread(state);
    if (failure) std::rethrow_exception(failure);
    return std::move(*result);
}

}  // namespace detail

// Releases the interpreter lock, runs `work` (which must touch no Python object), retakes the
// lock and only then returns its result or rethrows its exception, so that every exception is
// translated with the lock held.
template <class F>
auto without_gil(F&& work) {
    PyThreadState* state = nullptr;
    return detail::run_released(state, std::forward<F>(work));
}

// A check for core work that keeps the interpreter lock (compiling): it runs the Python signal
// handlers every kSignalPollInterval, and asks the work to stop when one raised. The work then
// throws kelvo::Cancelled, which the call boundary turns into the exception already set
// (KeyboardInterrupt for Ctrl-C).
inline CancellationCheck signal_check() {
    if (!runs_signal_handlers()) return {};
    return CancellationCheck([] { return PyErr_CheckSignals() < 0; }, kSignalPollInterval);
}

// As without_gil, for work that may run or block for long (sampling, the read of a pipe): it
// is called as work(cancel) and passes `cancel` to the core. The check retakes the lock for a
// moment to run the Python signal handlers, every kSignalPollInterval and at once when a
// blocking call was interrupted, and asks the work to stop when one raised (as signal_check).
template <class F>
auto without_gil_cancellable(F&& work) {
    PyThreadState* state = nullptr;
    CancellationCheck cancel;
    if (runs_signal_handlers()) {
        cancel = CancellationCheck(
            [&state] {
                PyEval_RestoreThread(state);
                const int status = PyErr_CheckSignals();
                state = PyEval_SaveThread();
                return status < 0;
            },
            kSignalPollInterval);
    }
    return detail::run_released(state, [&] { return work(std::as_const(cancel)); });
}

}  // namespace kelvo::py
