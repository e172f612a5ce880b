// Per-object thread affinity and borrow state, shared by every bound class.
#pragma once

#include <atomic>
#include <cstdint>

namespace kelvo::py {

enum class Access { Shared, Exclusive };

// A number of the calling thread that no other thread of the process ever has. (System
// thread ids are reused once a thread ends, so they cannot tell a later thread from the owner.)
uint64_t current_thread_number();
// Whether the calling thread took over the objects of thread `owner`: in a forked child, the
// thread that forked (the child's only one) owns what every thread of the parent owned.
bool inherited_by_current_thread(uint64_t owner);

class ObjectGuard {
  public:
    // A thread-affine object belongs to the constructing thread; others to every thread.
    explicit ObjectGuard(bool thread_affine)
        : owner_(thread_affine ? current_thread_number() : kAnyThread) {}

    bool on_owner_thread() const {
        return owner_ == kAnyThread || owner_ == current_thread_number() ||
               inherited_by_current_thread(owner_);
    }
    // Panics with "<class_name> is unsendable, but sent to another thread" off the owner thread.
    void check_thread(const char* class_name) const;

    // Raise RuntimeError "Already mutably borrowed" / "Already borrowed" on a conflict.
    void acquire(Access access);
    void release(Access access) {
        if (access == Access::Exclusive) {
            state_.store(0, std::memory_order_release);
        } else {
            state_.fetch_sub(1, std::memory_order_release);
        }
    }

  private:
    static constexpr int32_t kExclusive = -1;
    static constexpr uint64_t kAnyThread = 0;

    uint64_t owner_;
    std::atomic<int32_t> state_{0};  // kExclusive, or the number of shared borrows
};

}  // namespace kelvo::py
