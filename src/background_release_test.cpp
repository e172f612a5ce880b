#include "background_release.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

namespace kelvo {
namespace {

using std::chrono::milliseconds;

// Notes the thread that frees it, after waiting for `gate` when one is given; a moved-from one
// frees nothing.
struct Noted {
    std::shared_ptr<std::atomic<std::thread::id>> freed_on =
        std::make_shared<std::atomic<std::thread::id>>();
    std::shared_future<void> gate;

    Noted() = default;
    explicit Noted(std::shared_future<void> g) : gate(std::move(g)) {}
    Noted(Noted&& other) noexcept = default;
    ~Noted() {
        if (!freed_on) return;
        if (gate.valid()) gate.wait();
        freed_on->store(std::this_thread::get_id());
    }
};

std::thread::id wait_until_freed(const std::atomic<std::thread::id>& freed_on) {
    for (int i = 0; i < 5000 && freed_on.load() == std::thread::id(); ++i)
        std::this_thread::sleep_for(milliseconds(1));
    return freed_on.load();
}

size_t thread_count() {
    const std::filesystem::directory_iterator tasks("/proc/self/task");
    return static_cast<size_t>(std::distance(begin(tasks), end(tasks)));
}

// Waits (a few seconds at most) until the process has no thread but this one.
size_t wait_until_alone() {
    for (int i = 0; i < 5000 && thread_count() > 1; ++i) std::this_thread::sleep_for(milliseconds(1));
    return thread_count();
}

// Leaves a scope holding a new value by an exception, `after` into a call that began before
// the scope; returns where the value notes its freeing thread.
std::shared_ptr<std::atomic<std::thread::id>> fail_holding_a_value(milliseconds after) {
    std::shared_ptr<std::atomic<std::thread::id>> freed_on;
    try {
        const CallClock call;
        std::this_thread::sleep_for(after);
        Noted value;
        freed_on = value.freed_on;
        const ReleaseOnUnwind release(value);
        throw std::runtime_error("stop");
    } catch (const std::runtime_error&) {
    }
    return freed_on;
}

TEST(BackgroundRelease, WhatALongCallBuiltIsFreedOnTheFreeingThreadAndAQuickOnesInline) {
    const auto slow = fail_holding_a_value(kInlineReleaseTime + milliseconds(10));
    const auto quick = fail_holding_a_value(milliseconds(0));
    const std::thread::id freed = wait_until_freed(*slow);
    EXPECT_NE(freed, std::thread::id());
    EXPECT_NE(freed, std::this_thread::get_id());
    EXPECT_EQ(quick->load(), std::this_thread::get_id());
    std::shared_ptr<std::atomic<std::thread::id>> finished;
    {
        Noted value;
        finished = value.freed_on;
        const ReleaseOnUnwind release(value);
    }
    EXPECT_EQ(finished->load(), std::this_thread::get_id());
}

TEST(BackgroundRelease, OneThreadFreesEveryHandOverAndEndsWhenIdle) {
    ASSERT_EQ(wait_until_alone(), 1u);
    std::promise<void> open;
    const std::shared_future<void> gate = open.get_future().share();
    std::vector<std::shared_ptr<std::atomic<std::thread::id>>> freed;
    for (int i = 0; i < 20; ++i) {
        Noted value(gate);
        freed.push_back(value.freed_on);
        release_in_background(std::move(value));
        EXPECT_EQ(thread_count(), 2u);
    }
    open.set_value();
    const std::thread::id first = wait_until_freed(*freed[0]);
    EXPECT_NE(first, std::this_thread::get_id());
    for (const auto& f : freed) EXPECT_EQ(wait_until_freed(*f), first);
    EXPECT_EQ(wait_until_alone(), 1u);
}

// Blocks the thread that frees it until `gate` opens, after saying so through `entered`.
struct Blocker {
    std::shared_ptr<std::promise<void>> entered = std::make_shared<std::promise<void>>();
    std::shared_future<void> gate;

    explicit Blocker(std::shared_future<void> g) : gate(std::move(g)) {}
    Blocker(Blocker&& other) noexcept = default;
    ~Blocker() {
        if (!entered) return;
        entered->set_value();
        gate.wait();
    }
};

TEST(BackgroundRelease, AForkedChildStartsItsOwnFreeingThread) {
    // The parent's freeing thread is busy, and absent from the child, when the child forks.
    std::promise<void> open;
    Blocker busy(open.get_future().share());
    std::future<void> entered = busy.entered->get_future();
    release_in_background(std::move(busy));
    entered.wait();
    const pid_t pid = fork();
    if (pid == 0) {
        Noted value;
        const auto freed_on = value.freed_on;
        release_in_background(std::move(value));
        _exit(wait_until_freed(*freed_on) == std::thread::id() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    open.set_value();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(wait_until_alone(), 1u);
}

TEST(BackgroundRelease, ReleasesSliceBySliceWhilePolling) {
    std::vector<int> v(200'000, 1);
    int polls = 0;
    release_polling(v, CancellationCheck([&] { return ++polls > 100; }, {}));
    EXPECT_TRUE(v.empty());
    EXPECT_EQ(v.capacity(), 0u);
    EXPECT_EQ(polls, 3);
    std::vector<int> w(200'000, 1);
    EXPECT_THROW(release_polling(w, CancellationCheck([] { return true; }, {})), Cancelled);
}

}  // namespace
}  // namespace kelvo
