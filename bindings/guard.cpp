#include "guard.h"

#include <pthread.h>

#include <string>

#include "errors.h"
#include "ref.h"

namespace kelvo::py {
namespace {

// Thread numbers are handed out in increasing order. A forked child has one thread, the one
// that forked, whatever thread of the parent that was; it becomes the heir of every number
// given out before the fork, so that it owns each object the child inherited (their owners do
// not exist in the child).
struct ThreadNumbers {
    std::atomic<uint64_t> next{1};
    std::atomic<uint64_t> heir{0};
    std::atomic<uint64_t> inherited_below{0};

    ThreadNumbers() { pthread_atfork(nullptr, nullptr, &after_fork_in_child); }

    static void after_fork_in_child();
};

ThreadNumbers& thread_numbers() {
    static ThreadNumbers numbers;
    return numbers;
}

void ThreadNumbers::after_fork_in_child() {
    ThreadNumbers& numbers = thread_numbers();
    numbers.heir.store(current_thread_number(), std::memory_order_relaxed);
    numbers.inherited_below.store(numbers.next.load(std::memory_order_relaxed),
                                  std::memory_order_relaxed);
}

}  // namespace

uint64_t current_thread_number() {
    thread_local const uint64_t number =
        thread_numbers().next.fetch_add(1, std::memory_order_relaxed);
    return number;
}

bool inherited_by_current_thread(uint64_t owner) {
    const ThreadNumbers& numbers = thread_numbers();
    return owner < numbers.inherited_below.load(std::memory_order_relaxed) &&
           numbers.heir.load(std::memory_order_relaxed) == current_thread_number();
}

void ObjectGuard::check_thread(const char* class_name) const {
    if (!on_owner_thread())
        fatal(std::string(class_name) + " is unsendable, but sent to another thread");
}

void ObjectGuard::acquire(Access access) {
    if (access == Access::Exclusive) {
        int32_t expected = 0;
        if (!state_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire)) {
            raise(PyExc_RuntimeError, "Already borrowed");
        }
        return;
    }
    int32_t current = state_.load(std::memory_order_relaxed);
    do {
        if (current == kExclusive) raise(PyExc_RuntimeError, "Already mutably borrowed");
    } while (!state_.compare_exchange_weak(current, current + 1, std::memory_order_acquire));
}

}  // namespace kelvo::py
