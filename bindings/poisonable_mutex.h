// A value behind a mutex, poisoned by a call that panicked while holding it.
#pragma once

#include <mutex>
#include <new>
#include <stdexcept>
#include <utility>

#include "cancellation.h"
#include "errors.h"

namespace kelvo::py {

template <class T>
class PoisonableMutex {
  public:
    explicit PoisonableMutex(T value) : value_(std::move(value)) {}

    // Runs fn(value) under the mutex, waiting for any other caller. A call that ends by a panic
    // (FatalError or any exception other than KelvoError, allocation failures, a refused thread
    // and a cancellation) may have left the value half-updated: it poisons the mutex, and every
    // later call is refused with the Internal kind (RuntimeError) "the program sampler lock was
    // poisoned".
    template <class F>
    auto with_lock(F&& fn) {
        const std::lock_guard lock(mutex_);
        if (poisoned_) throw KelvoError::internal("the program sampler lock was poisoned");
        try {
            return fn(value_);
        } catch (const KelvoError&) {
            throw;
        } catch (const std::bad_alloc&) {
            throw;
        } catch (const std::length_error&) {
            throw;
        } catch (const ThreadSpawnError&) {
            throw;
        } catch (const Cancelled&) {
            throw;
        } catch (...) {
            poisoned_ = true;
            throw;
        }
    }

  private:
    std::mutex mutex_;
    bool poisoned_ = false;
    T value_;
};

}  // namespace kelvo::py
