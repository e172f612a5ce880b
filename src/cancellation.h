// How a long call of the core learns that its caller wants it to stop (Ctrl-C in Python).
//
// The core knows nothing of why a call should stop: the caller fills a CancellationCheck, and
// the call polls it at points where it can stop cleanly (between planner steps, between reads,
// at batch boundaries), on the thread that made the call, at most once per interval of work.
// When the check says stop, the call throws Cancelled and leaves every object it was given as
// a finished call would: nothing partial is returned.
#pragma once

#include <time.h>

#include <chrono>
#include <exception>
#include <functional>
#include <utility>

namespace kelvo {

// Thrown by the core when its caller's check asked the call to stop. The caller knows why (the
// Python bindings find the exception the signal handler raised already set).
class Cancelled : public std::exception {
  public:
    const char* what() const noexcept override { return "the call was cancelled"; }
};

// A monotonic clock that costs a few nanoseconds to read, with a resolution of a few
// milliseconds (CLOCK_MONOTONIC_COARSE where the system has it, else the steady clock): polls
// come every tens of milliseconds, and the check is asked far more often than that.
struct CoarseClock {
    using duration = std::chrono::nanoseconds;
    using rep = duration::rep;
    using period = duration::period;
    using time_point = std::chrono::time_point<CoarseClock>;
    static constexpr bool is_steady = true;

    static time_point now() noexcept {
#ifdef CLOCK_MONOTONIC_COARSE
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
        return time_point(duration(rep{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec));
#else
        return time_point(std::chrono::duration_cast<duration>(
            std::chrono::steady_clock::now().time_since_epoch()));
#endif
    }
};

class CancellationCheck {
  public:
    using Clock = CoarseClock;

    // Never asks to stop; a poll costs one test.
    CancellationCheck() = default;
    // `should_stop` answers whether the call must stop. It runs only on the thread that made
    // the call, at most once per `interval` (and at once after an interrupted blocking call);
    // the first regular poll comes one interval after construction.
    CancellationCheck(std::function<bool()> should_stop, Clock::duration interval)
        : should_stop_(std::move(should_stop)),
          interval_(interval),
          next_poll_(Clock::now() + interval) {}

    // Whether the call must stop, asking the caller when an interval has passed since the last
    // poll. Once true, stays true without asking again.
    bool stop_requested() const {
        if (stopped_) return true;
        if (!should_stop_ || Clock::now() < next_poll_) return false;
        return stop_requested_now();
    }
    // The same, asking the caller whatever the time (a blocking call was interrupted).
    bool stop_requested_now() const;

    // How long a thread that only waits may sleep between polls (an hour when the check never
    // asks to stop).
    Clock::duration interval() const { return should_stop_ ? interval_ : std::chrono::hours(1); }

    // Throw Cancelled when the call must stop.
    void check() const {
        if (stop_requested()) throw Cancelled();
    }
    void check_now() const {
        if (stop_requested_now()) throw Cancelled();
    }

  private:
    std::function<bool()> should_stop_;
    Clock::duration interval_{};
    // Polling state: the check is polled by one thread, so it is a counter that const callers
    // advance.
    mutable Clock::time_point next_poll_{};
    mutable bool stopped_ = false;
};

}  // namespace kelvo
