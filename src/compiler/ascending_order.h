// Puts distinct relation indices in ascending order. The walks gather a long sign's candidates
// by the thousand out of a few thousand relations; there a bitmap over their range orders them
// in one pass over its words, where a comparison sort spends most of a reduction.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <vector>

namespace kelvo {

class AscendingOrder {
  public:
    // Sorts `v`, whose entries must be distinct, ascending.
    void sort_distinct(std::vector<uint32_t>& v) {
        constexpr uint64_t kFew = 64;
        if (v.size() < kFew) {
            std::sort(v.begin(), v.end());
            return;
        }
        const auto [low, high] = std::minmax_element(v.begin(), v.end());
        const uint64_t first = *low / 64, words = *high / 64 - first + 1;
        // A sparse range costs more words than a sort costs comparisons.
        if (words > 4 * v.size()) {
            std::sort(v.begin(), v.end());
            return;
        }
        if (bits_.size() < words) bits_.resize(words, 0);
        for (const uint32_t r : v)
            bits_[r / 64 - first] |= uint64_t{1} << (r % 64);
        uint64_t out = 0;
        for (uint64_t w = 0; w < words; ++w) {
            for (uint64_t b = bits_[w]; b != 0; b &= b - 1)
                v[out++] = static_cast<uint32_t>((first + w) * 64 + std::countr_zero(b));
            bits_[w] = 0;
        }
    }

  private:
    std::vector<uint64_t> bits_;  // zero between calls
};

}  // namespace kelvo
