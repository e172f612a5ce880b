#include "poisonable_mutex.h"

#include <gtest/gtest.h>

#include <string>

namespace kelvo::py {
namespace {

TEST(PoisonableMutex, OnlyAPanicPoisons) {
    PoisonableMutex<int> m(1);
    const auto add = [](int& v) { return ++v; };
    EXPECT_THROW(m.with_lock([](int&) -> int { throw KelvoError::invalid_input("x"); }),
                 KelvoError);
    EXPECT_THROW(m.with_lock([](int&) -> int { throw std::bad_alloc(); }), std::bad_alloc);
    EXPECT_EQ(m.with_lock(add), 2);
    EXPECT_THROW(m.with_lock([](int&) -> int { fatal("boom"); }), FatalError);
    try {
        m.with_lock(add);
        FAIL() << "a poisoned mutex ran a call";
    } catch (const KelvoError& e) {
        EXPECT_EQ(e.kind(), KelvoErrorKind::Internal);
        EXPECT_EQ(std::string(e.what()), "the program sampler lock was poisoned");
    }
}

}  // namespace
}  // namespace kelvo::py
