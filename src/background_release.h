// Freeing what a call built without keeping a caller who wants it stopped waiting.
//
// A compilation of millions of operations holds tens of millions of small buffers, and freeing
// them takes a second or more: a call stopped by Ctrl-C would end that much later. What a
// stopped or failed call built over a long time is therefore handed to the process's freeing
// thread, which only frees and ends once nothing is left to free. What a call built quickly is
// freed as the call unwinds: that costs less than a hand-over, and a flood of quick failures
// (parse errors in a loop) then starts no thread at all.
#pragma once

#include <exception>
#include <memory>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "cancellation.h"

namespace kelvo {

// A call that fails within this time of its start frees what it built as it unwinds. Freeing
// takes a tenth of the building time or less (a parse of 400,000 lines: 120 ms, its circuit
// freed in 14 ms), so a call ends at most a few milliseconds later, as Ctrl-C's own poll does.
inline constexpr std::chrono::milliseconds kInlineReleaseTime{50};

// Marks a core call (parsing, compiling, a reference sample) on the calling thread: the
// ReleaseOnUnwind guards inside weigh what they hold by the time since the call began, also
// when the values they name were built by an earlier step of the call. Calls nest; the
// outermost one's start counts.
class CallClock {
  public:
    using Clock = CoarseClock;

    CallClock() : outer_(start_) {
        if (outer_ == Clock::time_point{}) start_ = Clock::now();
    }
    CallClock(const CallClock&) = delete;
    CallClock& operator=(const CallClock&) = delete;
    ~CallClock() { start_ = outer_; }

    // The start of the outermost call running on this thread; now when none runs.
    static Clock::time_point start() {
        return start_ == Clock::time_point{} ? Clock::now() : start_;
    }

  private:
    static inline thread_local Clock::time_point start_{};
    const Clock::time_point outer_;
};

namespace detail {

// Leftovers of any type; destroying them frees them.
struct Leftovers {
    virtual ~Leftovers() = default;
};

template <class... T>
struct LeftoverValues final : Leftovers {
    explicit LeftoverValues(T&&... v) : values(std::move(v)...) {}
    std::tuple<T...> values;
};

// Queues `leftovers` for the freeing thread, starting it when none runs; frees them here when
// no thread can be started.
void hand_to_freeing_thread(std::unique_ptr<Leftovers> leftovers) noexcept;

}  // namespace detail

// Takes `values` over and frees them on the process's freeing thread (here, when no thread can
// be started or there is no memory for the hand-over).
template <class... T>
void release_in_background(T&&... values) noexcept {
    static_assert((!std::is_lvalue_reference_v<T> && ...), "the values are moved in");
    try {
        detail::hand_to_freeing_thread(
            std::make_unique<detail::LeftoverValues<T...>>(std::move(values)...));
    } catch (...) {
        // The values, or what is left of them, are freed on the way out.
    }
}

// Frees the elements of `v` from the back a slice at a time, polling `cancel` between slices,
// then its storage.
template <class T>
void release_polling(std::vector<T>& v, const CancellationCheck& cancel) {
    constexpr size_t kSlice = size_t{1} << 16;
    while (v.size() > kSlice) {
        cancel.check();
        v.resize(v.size() - kSlice);
    }
    std::vector<T>().swap(v);
}

// Declared after the locals it names: when the scope is left by an exception later than
// kInlineReleaseTime after the call began (CallClock), hands them to release_in_background
// before they would be destroyed in turn; earlier, they are destroyed in turn.
template <class... T>
class ReleaseOnUnwind {
  public:
    explicit ReleaseOnUnwind(T&... values)
        : values_(values...),
          exceptions_(std::uncaught_exceptions()),
          call_start_(CallClock::start()) {}
    ReleaseOnUnwind(const ReleaseOnUnwind&) = delete;
    ReleaseOnUnwind& operator=(const ReleaseOnUnwind&) = delete;

    ~ReleaseOnUnwind() {
        if (std::uncaught_exceptions() <= exceptions_) return;
        if (CallClock::Clock::now() - call_start_ < kInlineReleaseTime) return;
        std::apply([](T&... values) { release_in_background(std::move(values)...); }, values_);
    }

  private:
    std::tuple<T&...> values_;
    int exceptions_;
    CallClock::Clock::time_point call_start_;
};

}  // namespace kelvo
