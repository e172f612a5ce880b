#include "compiler/word_mask_table.h"

#include <gtest/gtest.h>

#include <random>
#include <unordered_map>

namespace kelvo {
namespace {

// Keys clustered as the chains use them (chain in the high half, word in the low), through
// several growths, against a plain map.
TEST(WordMaskTable, TogglesAsAPlainMap) {
    std::mt19937_64 rng(1);
    WordMaskTable table;
    std::unordered_map<uint64_t, uint64_t> plain;
    for (int i = 0; i < 20000; ++i) {
        const uint64_t key = (rng() % 50) << 32 | rng() % 400;  // any 64-bit key but ~0
        const uint64_t mask = uint64_t{1} << (rng() % 64);
        table.toggle(key, mask);
        plain[key] ^= mask;
    }
    for (uint64_t chain = 0; chain < 52; ++chain) {
        for (uint64_t word = 0; word < 402; ++word) {
            const uint64_t key = chain << 32 | word;
            const auto it = plain.find(key);
            ASSERT_EQ(table.find(key), it == plain.end() ? 0 : it->second) << key;
        }
    }
}

}  // namespace
}  // namespace kelvo
