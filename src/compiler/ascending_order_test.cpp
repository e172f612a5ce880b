#include "compiler/ascending_order.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <set>
#include <vector>

namespace kelvo {
namespace {

// Few entries, dense ranges (the bitmap) and sparse ones (the sort), one instance reused so
// that a bitmap left dirty would show in the next call.
TEST(AscendingOrder, SortsDistinctIndicesInEveryRegime) {
    std::mt19937_64 rng(4);
    AscendingOrder order;
    for (int trial = 0; trial < 300; ++trial) {
        const uint64_t count = trial % 3 == 0 ? rng() % 64 : 64 + rng() % 2000;
        const uint64_t range = trial % 2 == 0 ? count + rng() % (count + 1) + 1 : 1u << 30;
        const uint32_t offset = static_cast<uint32_t>(rng() % 100000);
        std::set<uint32_t> drawn;
        while (drawn.size() < count)
            drawn.insert(offset + static_cast<uint32_t>(rng() % range));
        std::vector<uint32_t> v(drawn.begin(), drawn.end());
        std::shuffle(v.begin(), v.end(), rng);
        order.sort_distinct(v);
        ASSERT_TRUE(std::ranges::equal(v, drawn)) << trial;
    }
}

}  // namespace
}  // namespace kelvo
