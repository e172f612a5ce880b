#include "sampler/simd.h"

#include <gtest/gtest.h>

namespace kelvo {
namespace {

TEST(SimdTest, EnvironmentValueSelectsTheLevel) {
    struct Case {
        const char* value;
        SimdLevel level;
    };
    const Case cases[] = {
        {nullptr, SimdLevel::Vector},
        {"scalar", SimdLevel::Scalar},
        {"SCALAR", SimdLevel::Scalar},
        {"ScaLAr", SimdLevel::Scalar},
        {" scalar", SimdLevel::Vector},
        {"scalar ", SimdLevel::Vector},
        {"scalars", SimdLevel::Vector},
        {"scala", SimdLevel::Vector},
        {"", SimdLevel::Vector},
        {"vector", SimdLevel::Vector},
        {"neon", SimdLevel::Vector},
        {"sc\xff"
         "lar",
         SimdLevel::Vector},
        {"\xc5\xbf"
         "calar",
         SimdLevel::Vector},  // long s, which folds to 's' only in Unicode
    };
    for (const Case& c : cases)
        EXPECT_EQ(simd_level_from_env(c.value), c.level) << (c.value ? c.value : "(unset)");
}

}  // namespace
}  // namespace kelvo
