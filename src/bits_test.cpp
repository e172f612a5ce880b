#include "bits.h"

#include <gtest/gtest.h>

#include "errors.h"

namespace kelvo {
namespace {

TEST(Bits, WordCountPackingAndConditionLists) {
    EXPECT_EQ(word_count(0), 0u);
    EXPECT_EQ(word_count(64), 1u);
    EXPECT_EQ(word_count(65), 2u);
    EXPECT_EQ(word_count(~uint64_t{0}), uint64_t{1} << 58);  // no wrap near 2^64
    bool bools[66] = {true, false, true};
    bools[64] = true;
    EXPECT_EQ(packed_bits(bools), (std::vector<uint64_t>{0b101, 1}));
    EXPECT_EQ(normalize_xor_conditions({3, 1, 3, 3, 2, 2}), (std::vector<int32_t>{1, 3}));
    EXPECT_THROW(normalize_xor_conditions({2, 0}), FatalError);
}

}  // namespace
}  // namespace kelvo
