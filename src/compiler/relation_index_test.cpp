#include "compiler/relation_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <vector>

namespace kelvo {
namespace {

// Ids named by none, a few and many relations (past the id's own two places, over several
// overflow chunks), against a plain list per id.
TEST(ConditionRelationIndex, ListsEveryRelationOfAnIdAsAdded) {
    std::mt19937_64 rng(3);
    ConditionRelationIndex index;
    std::map<int32_t, std::vector<uint32_t>> plain;
    EXPECT_TRUE(index.empty());
    for (uint32_t r = 0; r < 400; ++r) {
        std::vector<int32_t> ids;
        for (int32_t id = 1; id <= 40; ++id)
            if (rng() % (id <= 3 ? 2 : 12) == 0) ids.push_back(id);
        index.add(ids, r);
        for (const int32_t id : ids)
            plain[id].push_back(r);
    }
    EXPECT_FALSE(index.empty());
    EXPECT_GT(plain[1].size(), 100u);
    for (int32_t id = 0; id <= 42; ++id) {
        const std::vector<uint32_t>& want = plain[id];
        std::vector<uint32_t> all;
        index.for_each(id, [&](uint32_t r) { all.push_back(r); });
        std::sort(all.begin(), all.end());
        EXPECT_EQ(all, want) << "id " << id;
        for (const uint32_t first : {0u, 1u, 57u, 200u, 399u, 400u}) {
            std::vector<uint32_t> from;
            index.for_each_from(id, first, [&](uint32_t r) { from.push_back(r); });
            std::vector<uint32_t> newest_first(std::lower_bound(want.begin(), want.end(), first),
                                               want.end());
            std::reverse(newest_first.begin(), newest_first.end());
            EXPECT_EQ(from, newest_first) << "id " << id << " from " << first;
        }
    }
}

}  // namespace
}  // namespace kelvo
