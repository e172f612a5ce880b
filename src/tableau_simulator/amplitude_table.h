// The simulator's sparse amplitude table: an open-addressing hash map from basis label to complex
// amplitude, with keys stored inline in the slot array.
//
// Iteration visits the live entries in slot order. That order stays fixed while no entry is
// inserted and no rehash happens: `update_or_erase` rewrites values and erases entries in place
// (erased slots become tombstones), so a pass that stages one value per entry can commit them in
// the same order afterwards.
#pragma once

#include <cstdint>
#include <iterator>
#include <new>
#include <utility>
#include <vector>

#include "errors.h"
#include "tableau_simulator/complex.h"
#include "tableau_simulator/label.h"

namespace kelvo::tableau_simulator {

template <LabelKey K>
class AmplitudeTable {
    struct Slot {
        K key;
        Complex amp;
    };

  public:
    template <bool Const>
    class Iterator {
      public:
        struct Ref {
            const K& key;
            std::conditional_t<Const, const Complex&, Complex&> amp;
        };
        using Table = std::conditional_t<Const, const AmplitudeTable, AmplitudeTable>;
        using difference_type = std::ptrdiff_t;
        using value_type = Ref;

        Iterator() = default;
        Iterator(Table* table, size_t i) : table_(table), i_(i) { skip(); }
        Ref operator*() const { return {table_->slots_[i_].key, table_->slots_[i_].amp}; }
        Iterator& operator++() {
            ++i_;
            skip();
            return *this;
        }
        Iterator operator++(int) {
            Iterator old = *this;
            ++*this;
            return old;
        }
        bool operator==(const Iterator& o) const { return i_ == o.i_; }

      private:
        void skip() {
            while (i_ < table_->ctrl_.size() && !is_full(table_->ctrl_[i_]))
                ++i_;
        }
        Table* table_ = nullptr;
        size_t i_ = 0;
    };
    using iterator = Iterator<false>;
    using const_iterator = Iterator<true>;

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    // Slots in the array.
    size_t capacity() const { return ctrl_.size(); }
    // Live entries the table can hold without growing.
    size_t room() const { return room_for(capacity()); }

    iterator begin() { return {this, 0}; }
    iterator end() { return {this, capacity()}; }
    const_iterator begin() const { return {this, 0}; }
    const_iterator end() const { return {this, capacity()}; }

    const Complex* find(const K& key) const {
        if (size_ == 0) return nullptr;
        const uint64_t h = key.hash();
        const uint8_t tag = tag_of(h);
        for (size_t i = h & mask();; i = (i + 1) & mask()) {
            const uint8_t c = ctrl_[i];
            if (c == kEmpty) return nullptr;
            if (c == tag && slots_[i].key == key) return &slots_[i].amp;
        }
    }
    Complex* find(const K& key) { return const_cast<Complex*>(std::as_const(*this).find(key)); }

    // Inserts (key, amp) unless the key is present; returns its amplitude and whether it is new.
    std::pair<Complex*, bool> insert(K key, Complex amp) {
        if (size_ + tombstones_ + 1 > room()) {
            // Grow when live entries fill half the room; otherwise only sweep the tombstones.
            rehash(2 * (size_ + 1) > room() ? capacity_for(2 * (size_ + 1)) : capacity());
        }
        const uint64_t h = key.hash();
        const uint8_t tag = tag_of(h);
        size_t target = SIZE_MAX;
        size_t i = h & mask();
        for (;; i = (i + 1) & mask()) {
            const uint8_t c = ctrl_[i];
            if (c == kEmpty) break;
            if (c == kDeleted && target == SIZE_MAX) target = i;
            if (c == tag && slots_[i].key == key) return {&slots_[i].amp, false};
        }
        if (target == SIZE_MAX) {
            target = i;
        } else {
            --tombstones_;
        }
        ctrl_[target] = tag;
        slots_[target] = Slot{std::move(key), amp};
        ++size_;
        return {&slots_[target].amp, true};
    }

    // Inserts a key known to be absent; a present key is a broken invariant.
    void insert_new(K key, Complex amp) {
        KELVO_ASSERT(insert(std::move(key), amp).second, "label already in the amplitude table");
    }

    void insert_or_assign(K key, Complex amp) {
        const auto [slot, fresh] = insert(std::move(key), amp);
        if (!fresh) *slot = amp;
    }

    // Calls keep = f(key, amp) on every entry in iteration order; f may rewrite amp, and the
    // entries it rejects are erased. Erasing leaves the remaining order unchanged. Returns the
    // number erased.
    template <class F>
    size_t update_or_erase(F&& f) {
        size_t erased = 0;
        for (size_t i = 0; i < capacity(); ++i) {
            if (!is_full(ctrl_[i])) continue;
            if (!f(std::as_const(slots_[i].key), slots_[i].amp)) {
                ctrl_[i] = kDeleted;
                slots_[i] = Slot{};
                ++erased;
            }
        }
        size_ -= erased;
        tombstones_ += erased;
        return erased;
    }

    // After this, `n` live entries fit without a rehash.
    void reserve(size_t n) {
        if (n + tombstones_ > room()) rehash(capacity_for(std::max(n, size_)));
    }

    // Rebuilds at the smallest capacity whose room holds max(n, size()), if that is smaller.
    void shrink_to(size_t n) {
        const size_t target = capacity_for(std::max(n, size_));
        if (target < capacity()) rehash(target);
    }

    void clear() {
        std::fill(ctrl_.begin(), ctrl_.end(), kEmpty);
        std::fill(slots_.begin(), slots_.end(), Slot{});
        size_ = 0;
        tombstones_ = 0;
    }

  private:
    static constexpr uint8_t kEmpty = 0;
    static constexpr uint8_t kDeleted = 1;
    static constexpr size_t kMinCapacity = 8;

    static bool is_full(uint8_t c) { return c & 0x80; }
    // Seven hash bits not used by the slot index, so most mismatches never compare keys.
    static uint8_t tag_of(uint64_t h) { return static_cast<uint8_t>(0x80 | (h >> 57)); }
    static size_t room_for(size_t capacity) { return capacity - capacity / 4; }
    static size_t capacity_for(size_t n) {
        if (n > (SIZE_MAX / 2) / sizeof(Slot)) throw std::bad_alloc();
        size_t c = kMinCapacity;
        while (room_for(c) < n)
            c *= 2;
        return c;
    }
    size_t mask() const { return capacity() - 1; }

    void rehash(size_t new_capacity) {
        std::vector<uint8_t> ctrl(new_capacity, kEmpty);
        std::vector<Slot> slots(new_capacity);
        const size_t m = new_capacity - 1;
        for (size_t i = 0; i < capacity(); ++i) {
            if (!is_full(ctrl_[i])) continue;
            size_t j = slots_[i].key.hash() & m;
            while (ctrl[j] != kEmpty)
                j = (j + 1) & m;
            ctrl[j] = ctrl_[i];
            slots[j] = std::move(slots_[i]);
        }
        ctrl_ = std::move(ctrl);
        slots_ = std::move(slots);
        tombstones_ = 0;
    }

    std::vector<uint8_t> ctrl_;  // kEmpty, kDeleted, or 0x80 | seven hash bits when live
    std::vector<Slot> slots_;
    size_t size_ = 0;
    size_t tombstones_ = 0;
};

}  // namespace kelvo::tableau_simulator
