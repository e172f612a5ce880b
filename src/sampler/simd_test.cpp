#include "sampler/simd.h"

#include <gtest/gtest.h>

namespace kelvo {
namespace {

TEST(SimdTest, EnvironmentValueSelectsTheLevel) {
    EXPECT_EQ(simd_level_from_env(nullptr), SimdLevel::Vector);
    for (const char* value : {"scalar", "SCALAR", "ScaLAr"})
        EXPECT_EQ(simd_level_from_env(value), SimdLevel::Scalar) << value;
    // Near misses; the long s folds to 's' only in Unicode.
    for (const char* value : {" scalar", "scalar ", "scalars", "scala", "", "vector", "neon",
                              "sc\xfflar", "\u017Fcalar"})
        EXPECT_EQ(simd_level_from_env(value), SimdLevel::Vector) << value;
}

}  // namespace
}  // namespace kelvo
