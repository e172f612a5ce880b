#include "bits.h"

#include <algorithm>

#include "errors.h"

namespace kelvo {

std::vector<uint64_t> packed_bits(std::span<const bool> bools) {
    std::vector<uint64_t> words(word_count(bools.size()), 0);
    for (size_t i = 0; i < bools.size(); ++i) {
        if (bools[i]) words[i / 64] |= uint64_t{1} << (i % 64);
    }
    return words;
}

std::vector<int32_t> normalize_xor_conditions(std::vector<int32_t> ids) {
    for (const int32_t id : ids)
        KELVO_ASSERT(id >= 1, "condition id must be positive");
    // Lists gathered in record order are often sorted already.
    if (!std::is_sorted(ids.begin(), ids.end())) std::sort(ids.begin(), ids.end());
    size_t out = 0;
    for (size_t i = 0; i < ids.size();) {
        size_t j = i;
        while (j < ids.size() && ids[j] == ids[i])
            ++j;
        if ((j - i) % 2 == 1) ids[out++] = ids[i];
        i = j;
    }
    ids.resize(out);
    return ids;
}

}  // namespace kelvo
