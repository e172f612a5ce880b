#include "tableau_simulator/error.h"

#include <gtest/gtest.h>

namespace kelvo::tableau_simulator {
namespace {

TEST(SimError, Messages) {
    const std::pair<SimError, const char*> cases[] = {
        {SimError::pruned_all_amplitudes(1e-12),
         "prune epsilon 0.000000000001 removed every amplitude"},
        {SimError::impossible_postselection(true, 0.0),
         "cannot post-select outcome true with probability 0e0"},
        {SimError::impossible_postselection(false, 3e-10),
         "cannot post-select outcome false with probability 3e-10"},
        {SimError::invalid_probability(1.5), "probability 1.5 must be between 0 and 1"},
        {SimError::rank_cap_exceeded(2000000, 1048576),
         "stabilizer rank 2000000 exceeds cap 1048576"},
        {SimError::unproduced_batch_record(2),
         "conditional Pauli reads batch record 2, which the batch has not produced"},
    };
    for (const auto& [error, message] : cases)
        EXPECT_STREQ(error.what(), message);
}

}  // namespace
}  // namespace kelvo::tableau_simulator
