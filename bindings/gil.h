// Running pure C++ work with the interpreter lock released.
#pragma once

#include <exception>
#include <functional>
#include <optional>
#include <utility>

#include "ref.h"

namespace kelvo::py {

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

// As without_gil, for work that may block for long (a read from a pipe): it is called as
// work(check), and calls check() when a blocking call was interrupted by a signal. check()
// runs the Python signal handlers with the lock held and throws PythonError, with the exception
// set, when one raised (KeyboardInterrupt for Ctrl-C).
template <class F>
auto without_gil_interruptible(F&& work) {
    PyThreadState* state = nullptr;
    const std::function<void()> check = [&state] {
        PyEval_RestoreThread(state);
        const int status = PyErr_CheckSignals();
        state = PyEval_SaveThread();
        if (status < 0) throw PythonError{};
    };
    return detail::run_released(state, [&] { return work(check); });
}

}  // namespace kelvo::py
