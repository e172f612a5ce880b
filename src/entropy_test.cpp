#include "entropy.h"

#include <gtest/gtest.h>

#include <set>
#include <string_view>

#include "splitmix64.h"

namespace kelvo {
namespace {

std::span<const uint8_t> bytes(std::string_view s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

TEST(Entropy, SipHash13MatchesCPythonsBytesHash) {
    // hash(b"...") under PYTHONHASHSEED=0, whose SipHash-1-3 keys are zero.
    EXPECT_EQ(detail::siphash13(0, 0, bytes("a")), 0x407448d2b89b1813u);
    EXPECT_EQ(detail::siphash13(0, 0, bytes("abcdefgh")), 0x3f7b849c0b8e35eau);
    EXPECT_EQ(detail::siphash13(0, 0, bytes("hello, world!")), 0x5592ee19cc36fcd2u);
}

TEST(Entropy, SuccessiveSeedsDiffer) {
    std::set<uint64_t> seeds;
    for (int i = 0; i < 100; ++i)
        seeds.insert(entropy_seed());
    EXPECT_EQ(seeds.size(), 100u);
}

TEST(SplitMix64, ReferenceOutputs) {
    // First outputs of the reference SplitMix64 from state 0.
    uint64_t state = 0;
    EXPECT_EQ(splitmix64_next(state), 0xe220a8397b1dcdafu);
    EXPECT_EQ(splitmix64_next(state), 0x6e789e6aa1b965f4u);
    EXPECT_EQ(state, 2 * 0x9e3779b97f4a7c15u);
    uint64_t s = 0;
    EXPECT_EQ(splitmix64_uniform(s), static_cast<double>(0xe220a8397b1dcdafu >> 11) * 0x1.0p-53);
}

}  // namespace
}  // namespace kelvo
