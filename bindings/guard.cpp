#include "guard.h"

#include <string>

#include "errors.h"
#include "ref.h"

namespace kelvo::py {

uint64_t current_thread_number() {
    static std::atomic<uint64_t> next{1};
    thread_local const uint64_t number = next.fetch_add(1, std::memory_order_relaxed);
    return number;
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
