#include "poisonable_mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace kelvo::py {
namespace {

const CancellationCheck kNoCheck;

TEST(PoisonableMutex, OnlyAPanicPoisons) {
    PoisonableMutex<int> m(1);
    const auto add = [](int& v) { return ++v; };
    EXPECT_THROW(m.with_lock(kNoCheck, [](int&) -> int { throw KelvoError::invalid_input("x"); }),
                 KelvoError);
    EXPECT_THROW(m.with_lock(kNoCheck, [](int&) -> int { throw std::bad_alloc(); }),
                 std::bad_alloc);
    EXPECT_EQ(m.with_lock(kNoCheck, add), 2);
    EXPECT_THROW(m.with_lock(kNoCheck, [](int&) -> int { fatal("boom"); }), FatalError);
    try {
        m.with_lock(kNoCheck, add);
        FAIL() << "a poisoned mutex ran a call";
    } catch (const KelvoError& e) {
        EXPECT_EQ(e.kind(), KelvoErrorKind::Internal);
        EXPECT_EQ(std::string(e.what()), "the program sampler lock was poisoned");
    }
}

TEST(PoisonableMutex, ACallFromTheHoldingThreadIsRefusedAndTheOuterCallGoesOn) {
    PoisonableMutex<int> m(1);
    const int result = m.with_lock(kNoCheck, [&](int& v) {
        // What a signal handler run by the holder's poll would do.
        EXPECT_THROW(m.with_lock(kNoCheck, [](int& inner) { return ++inner; }), KelvoError);
        return ++v;
    });
    EXPECT_EQ(result, 2);
    EXPECT_EQ(m.with_lock(kNoCheck, [](int& v) { return v; }), 2);
}

TEST(PoisonableMutex, AWaitingCallerStopsWhenItsCheckSaysSo) {
    PoisonableMutex<int> m(1);
    std::atomic<bool> held = false, release = false;
    std::thread holder([&] {
        m.with_lock(kNoCheck, [&](int&) {
            held = true;
            while (!release)
                std::this_thread::yield();
            return 0;
        });
    });
    while (!held)
        std::this_thread::yield();
    std::atomic<int> polls = 0;
    const CancellationCheck stop_on_third([&] { return ++polls == 3; },
                                          std::chrono::milliseconds(5));
    EXPECT_THROW(m.with_lock(stop_on_third, [](int& v) { return v; }), Cancelled);
    EXPECT_EQ(polls, 3);
    release = true;
    holder.join();
    EXPECT_EQ(m.with_lock(kNoCheck, [](int& v) { return v; }), 1);
}

}  // namespace
}  // namespace kelvo::py
