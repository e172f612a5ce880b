// Basis labels of the amplitude table: bit q mod 64 of word q div 64 is the label bit of qubit q.
// Key<N> holds N words inline (registers up to 64*N qubits); Label holds any width on the heap.
// Both offer the LabelKey interface that the generic table algorithms use.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <concepts>
#include <cstdint>
#include <span>
#include <vector>

#include "errors.h"

namespace kelvo::tableau_simulator {

// FxHash over the words in order, rotated so that the well-mixed top bits come first.
inline uint64_t label_hash(std::span<const uint64_t> words) {
    uint64_t h = 0;
    for (const uint64_t w : words)
        h = (h + w) * 0xf1357aea2e62a9c5;
    return std::rotl(h, 26);
}

template <size_t N>
struct Key {
    std::array<uint64_t, N> w{};

    // The all-zero label; the width is fixed by N.
    static Key zero(uint64_t /*width*/) { return {}; }
    // N zero words with `words` copied into the low ones; more words than N is fatal.
    static Key from_words(std::span<const uint64_t> words, uint64_t /*width*/) {
        KELVO_ASSERT(words.size() <= N, "label words exceed the label width");
        Key k;
        std::copy(words.begin(), words.end(), k.w.begin());
        return k;
    }

    std::span<const uint64_t> words() const { return w; }
    std::span<uint64_t> words_mut() { return w; }
    bool is_zero() const {
        uint64_t any = 0;
        for (size_t i = 0; i < N; ++i)
            any |= w[i];
        return any == 0;
    }
    bool bit(uint64_t q) const { return q / 64 < N && ((w[q / 64] >> (q % 64)) & 1); }
    // Parity of popcount(this AND mask).
    bool and_parity(const Key& mask) const {
        uint64_t acc = 0;
        for (size_t i = 0; i < N; ++i)
            acc ^= w[i] & mask.w[i];
        return std::popcount(acc) & 1;
    }
    Key& operator^=(const Key& mask) {
        for (size_t i = 0; i < N; ++i)
            w[i] ^= mask.w[i];
        return *this;
    }
    // this = a XOR b, reusing this label's storage.
    void assign_xor(const Key& a, const Key& b) {
        for (size_t i = 0; i < N; ++i)
            w[i] = a.w[i] ^ b.w[i];
    }
    uint64_t hash() const { return label_hash(w); }
    bool operator==(const Key&) const = default;
};

class Label {
  public:
    Label() = default;
    static Label zero(uint64_t width) {
        Label k;
        k.w_.assign(width, 0);
        return k;
    }
    // `width` zero words with `words` copied into the low ones; more words than width is fatal.
    static Label from_words(std::span<const uint64_t> words, uint64_t width) {
        KELVO_ASSERT(words.size() <= width, "label words exceed the label width");
        Label k = zero(width);
        std::copy(words.begin(), words.end(), k.w_.begin());
        return k;
    }

    std::span<const uint64_t> words() const { return w_; }
    std::span<uint64_t> words_mut() { return w_; }
    bool is_zero() const {
        return std::all_of(w_.begin(), w_.end(), [](uint64_t v) { return v == 0; });
    }
    bool bit(uint64_t q) const { return q / 64 < w_.size() && ((w_[q / 64] >> (q % 64)) & 1); }
    // Over the shorter of the two word lists.
    bool and_parity(const Label& mask) const {
        const size_t n = std::min(w_.size(), mask.w_.size());
        uint64_t acc = 0;
        for (size_t i = 0; i < n; ++i)
            acc ^= w_[i] & mask.w_[i];
        return std::popcount(acc) & 1;
    }
    Label& operator^=(const Label& mask) {
        const size_t n = std::min(w_.size(), mask.w_.size());
        for (size_t i = 0; i < n; ++i)
            w_[i] ^= mask.w_[i];
        return *this;
    }
    void assign_xor(const Label& a, const Label& b) {
        w_.assign(a.w_.begin(), a.w_.end());
        *this ^= b;
    }
    uint64_t hash() const { return label_hash(w_); }
    bool operator==(const Label&) const = default;

  private:
    std::vector<uint64_t> w_;
};

template <class K>
concept LabelKey = std::regular<K> &&
    requires(K k, const K& c, uint64_t q, std::span<const uint64_t> words) {
    { K::zero(q) } -> std::same_as<K>;
    { K::from_words(words, q) } -> std::same_as<K>;
    { c.words() } -> std::same_as<std::span<const uint64_t>>;
    { k.words_mut() } -> std::same_as<std::span<uint64_t>>;
    { c.is_zero() } -> std::same_as<bool>;
    { c.bit(q) } -> std::same_as<bool>;
    { c.and_parity(c) } -> std::same_as<bool>;
    { k ^= c } -> std::same_as<K&>;
    k.assign_xor(c, c);
    { c.hash() } -> std::same_as<uint64_t>;
};

static_assert(LabelKey<Key<1>> && LabelKey<Key<8>> && LabelKey<Label>);

// N for Key<N>, 0 for the variable-width Label.
template <class K>
inline constexpr size_t fixed_width_v = 0;
template <size_t N>
inline constexpr size_t fixed_width_v<Key<N>> = N;

}  // namespace kelvo::tableau_simulator
