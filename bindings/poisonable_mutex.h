// A value behind a mutex, poisoned by a call that panicked while holding it.
#pragma once

#include <atomic>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>
#include <utility>

#include "cancellation.h"
#include "errors.h"
#include "thread_edges.h"

namespace kelvo::py {

template <class T>
class PoisonableMutex {
  public:
    explicit PoisonableMutex(T value) : value_(std::move(value)) {}

    // Runs fn(value) under the mutex, waiting for any other caller while polling `cancel`
    // (Cancelled when it asks to stop). A call that ends by a panic (FatalError or any
    // exception other than KelvoError, allocation failures, a refused thread and a
    // cancellation) may have left the value half-updated: it poisons the mutex, and every
    // later call is refused with the Internal kind (RuntimeError) "the program sampler lock
    // was poisoned".
    //
    // The thread that holds the mutex runs Python signal handlers while it polls; a handler
    // that calls in again is refused with the Internal kind instead of waiting for itself.
    template <class F>
    auto with_lock(const CancellationCheck& cancel, F&& fn) {
        if (owner_.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
            throw KelvoError::internal(
                "the program is busy in a call that this thread is running (a signal handler "
                "cannot use it until that call returns)");
        }
        std::unique_lock lock(mutex_, std::defer_lock);
        while (!lock.try_lock_for(cancel.interval()))
            cancel.check();
        const Owned owned(owner_);
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
        } catch (const ForcedUnwind&) {
            throw;  // the thread is ending at interpreter exit, between batches
        } catch (...) {
            poisoned_ = true;
            throw;
        }
    }

  private:
    // Marks the calling thread as the holder while the mutex is held.
    class Owned {
      public:
        explicit Owned(std::atomic<std::thread::id>& owner) : owner_(owner) {
            owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
        }
        Owned(const Owned&) = delete;
        Owned& operator=(const Owned&) = delete;
        ~Owned() { owner_.store(std::thread::id(), std::memory_order_relaxed); }

      private:
        std::atomic<std::thread::id>& owner_;
    };

    std::timed_mutex mutex_;
    std::atomic<std::thread::id> owner_;
    bool poisoned_ = false;
    T value_;
};

}  // namespace kelvo::py
