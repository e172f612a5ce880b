// Running pure C++ work with the interpreter lock released.
#pragma once

#include <exception>
#include <optional>
#include <utility>

#include "ref.h"

namespace kelvo::py {

// Releases the interpreter lock, runs `work` (which must touch no Python object), retakes the
// lock and only then returns its result or rethrows its exception, so that every exception is
// translated with the lock held.
template <class F>
auto without_gil(F&& work) {
    using Result = decltype(work());
    std::optional<Result> result;
    std::exception_ptr failure;
    PyThreadState* const state = PyEval_SaveThread();
    try {
        result.emplace(work());
    } catch (...) {
        failure = std::current_exception();
    }
    PyEval_RestoreThread(state);
    if (failure) std::rethrow_exception(failure);
    return std::move(*result);
}

}  // namespace kelvo::py
