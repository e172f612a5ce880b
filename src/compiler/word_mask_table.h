// A map from 64-bit keys to 64-bit masks, absent keys reading as zero: open addressing with
// linear probing in one array, so lookups and updates touch one cache line and the whole table
// is freed at once. An anchor chain keeps the words of its long sign in one.
#pragma once

#include <cstdint>
#include <vector>

namespace kelvo {

class WordMaskTable {
  public:
    uint64_t find(uint64_t key) const {
        if (slots_.empty()) return 0;
        for (uint64_t i = home(key);; i = (i + 1) & (slots_.size() - 1)) {
            const Slot& s = slots_[i];
            if (s.key == key) return s.mask;
            if (s.key == kEmpty) return 0;
        }
    }

    // XORs `mask` into the entry of `key` (which must not be ~0).
    void toggle(uint64_t key, uint64_t mask) {
        if (2 * (used_ + 1) > slots_.size()) grow();
        for (uint64_t i = home(key);; i = (i + 1) & (slots_.size() - 1)) {
            Slot& s = slots_[i];
            if (s.key == kEmpty) {
                s.key = key;
                ++used_;
            }
            if (s.key == key) {
                s.mask ^= mask;
                return;
            }
        }
    }

  private:
    static constexpr uint64_t kEmpty = ~uint64_t{0};
    struct Slot {
        uint64_t key = kEmpty;
        uint64_t mask = 0;
    };

    uint64_t home(uint64_t key) const { return (key * 0x9E3779B97F4A7C15ull) >> shift_; }

    void grow() {
        std::vector<Slot> old(slots_.empty() ? 8 : 2 * slots_.size());
        old.swap(slots_);
        shift_ = 64;
        for (uint64_t n = slots_.size(); n > 1; n /= 2)
            --shift_;
        used_ = 0;
        for (const Slot& s : old)
            if (s.key != kEmpty) toggle(s.key, s.mask);
    }

    std::vector<Slot> slots_;
    uint64_t used_ = 0;
    unsigned shift_ = 64;
};

}  // namespace kelvo
