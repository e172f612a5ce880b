#include "background_release.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

namespace kelvo {
namespace {

// Notes the thread that frees it; a moved-from one frees nothing.
struct Noted {
    std::shared_ptr<std::atomic<std::thread::id>> freed_on =
        std::make_shared<std::atomic<std::thread::id>>();

    Noted() = default;
    Noted(Noted&& other) noexcept = default;
    ~Noted() {
        if (freed_on) freed_on->store(std::this_thread::get_id());
    }
};

std::thread::id wait_until_freed(const std::atomic<std::thread::id>& freed_on) {
    for (int i = 0; i < 5000 && freed_on.load() == std::thread::id(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return freed_on.load();
}

TEST(BackgroundRelease, AScopeLeftByAnExceptionIsFreedOnAnotherThread) {
    std::shared_ptr<std::atomic<std::thread::id>> unwound, finished;
    try {
        Noted value;
        unwound = value.freed_on;
        const ReleaseOnUnwind release(value);
        throw std::runtime_error("stop");
    } catch (const std::runtime_error&) {
    }
    const std::thread::id freed = wait_until_freed(*unwound);
    EXPECT_NE(freed, std::thread::id());
    EXPECT_NE(freed, std::this_thread::get_id());
    {
        Noted value;
        finished = value.freed_on;
        const ReleaseOnUnwind release(value);
    }
    EXPECT_EQ(finished->load(), std::this_thread::get_id());
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
