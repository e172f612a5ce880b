#include "tableau_simulator/error.h"

#include <gtest/gtest.h>

namespace kelvo::tableau_simulator {
namespace {

TEST(SimError, Messages) {
    EXPECT_STREQ(SimError::pruned_all_amplitudes(1e-12).what(),
                 "prune epsilon 0.000000000001 removed every amplitude");
    EXPECT_STREQ(SimError::impossible_postselection(true, 0.0).what(),
                 "cannot post-select outcome true with probability 0e0");
    EXPECT_STREQ(SimError::impossible_postselection(false, 3e-10).what(),
                 "cannot post-select outcome false with probability 3e-10");
    EXPECT_STREQ(SimError::qubit_out_of_range(5, 3).what(),
                 "observable qubit index 5 is outside a 3-qubit register");
    EXPECT_STREQ(SimError::invalid_probability(1.5).what(),
                 "probability 1.5 must be between 0 and 1");
    EXPECT_STREQ(SimError::rank_cap_exceeded(2000000, 1048576).what(),
                 "stabilizer rank 2000000 exceeds cap 1048576");
    EXPECT_EQ(SimError::repeated_qubit(4).kind(), SimErrorKind::RepeatedQubit);
    EXPECT_STREQ(SimError::unproduced_batch_record(2).what(),
                 "conditional Pauli reads batch record 2, which the batch has not produced");
}

}  // namespace
}  // namespace kelvo::tableau_simulator
