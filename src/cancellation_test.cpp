#include "cancellation.h"

#include <gtest/gtest.h>

#include <chrono>

namespace kelvo {
namespace {

using std::chrono::hours;

TEST(CancellationCheck, AnEmptyCheckNeverStops) {
    const CancellationCheck never;
    EXPECT_FALSE(never.stop_requested());
    EXPECT_FALSE(never.stop_requested_now());
    EXPECT_NO_THROW(never.check());
    EXPECT_NO_THROW(never.check_now());
    EXPECT_GE(never.interval(), hours(1));
}

TEST(CancellationCheck, PollsOncePerIntervalOrAtOnceAndStaysStopped) {
    int polls = 0;
    bool stop = false;
    const CancellationCheck slow(
        [&] {
            ++polls;
            return stop;
        },
        hours(1));
    EXPECT_EQ(slow.interval(), hours(1));
    // Within the interval only an explicit poll asks.
    EXPECT_FALSE(slow.stop_requested());
    EXPECT_NO_THROW(slow.check());
    EXPECT_EQ(polls, 0);
    EXPECT_FALSE(slow.stop_requested_now());
    EXPECT_EQ(polls, 1);
    stop = true;
    EXPECT_FALSE(slow.stop_requested());
    EXPECT_THROW(slow.check_now(), Cancelled);
    EXPECT_EQ(polls, 2);
    // Once stopped, stopped without asking again.
    stop = false;
    EXPECT_TRUE(slow.stop_requested());
    EXPECT_THROW(slow.check(), Cancelled);
    EXPECT_EQ(polls, 2);

    // A zero interval asks every time.
    polls = 0;
    const CancellationCheck eager([&] { return ++polls == 3; },
                                  CancellationCheck::Clock::duration::zero());
    EXPECT_FALSE(eager.stop_requested());
    EXPECT_NO_THROW(eager.check());
    EXPECT_THROW(eager.check(), Cancelled);
    EXPECT_TRUE(eager.stop_requested());
    EXPECT_EQ(polls, 3);
}

}  // namespace
}  // namespace kelvo
