#include "tableau_simulator/frame.h"

#include <algorithm>
#include <bit>
#include <new>
#include <string>

#include "bits.h"
#include "errors.h"
#include "memory.h"
#include "tableau_simulator/row_ops.h"

namespace kelvo::tableau_simulator {
namespace {

using detail::and_parity;
using detail::for_each_set_bit;
using detail::left_product;
using detail::right_product;
using detail::width_of;
using detail::with_stride;
using detail::xor_words;

// 4*n*stride words, or std::bad_alloc when that cannot be an array.
uint64_t checked_frame_words(uint64_t n, uint64_t stride) {
    uint64_t total = 0;
    if (__builtin_mul_overflow(n, 4 * stride, &total) ||
        total > std::vector<uint64_t>().max_size() / 2) {
        throw std::bad_alloc();
    }
    return total;
}

[[noreturn]] void width_mismatch(uint64_t left, uint64_t right, const char* message) {
    fatal("assertion `left == right` failed: " + std::string(message) +
          "\n  left: " + std::to_string(left) + "\n right: " + std::to_string(right));
}

void assert_width(uint64_t left, uint64_t right, const char* message) {
    if (left != right) width_mismatch(left, right, message);
}

[[noreturn]] void distinct_qubits(uint64_t a, uint64_t b, const char* message) {
    fatal("assertion `left != right` failed: " + std::string(message) +
          "\n  left: " + std::to_string(a) + "\n right: " + std::to_string(b));
}

std::vector<uint64_t> relay_rows(std::span<const uint64_t> words, uint64_t old_stride,
                                 uint64_t rows, uint64_t new_stride, uint64_t copy_words,
                                 uint64_t capacity) {
    KELVO_ASSERT(copy_words <= old_stride && copy_words <= new_stride,
                 "restride copies more words than a half holds");
    KELVO_ASSERT(rows * 2 * old_stride <= words.size(), "restride reads past the rows");
    std::vector<uint64_t> out;
    out.reserve(std::max(capacity, rows * 2 * new_stride));
    out.resize(rows * 2 * new_stride, 0);
    for (uint64_t r = 0; r < rows; ++r) {
        const uint64_t* src = words.data() + r * 2 * old_stride;
        uint64_t* dst = out.data() + r * 2 * new_stride;
        std::copy_n(src, copy_words, dst);
        std::copy_n(src + old_stride, copy_words, dst + new_stride);
    }
    return out;
}

}  // namespace

uint64_t stride_for(uint64_t num_qubits) {
    const uint64_t w = word_count(num_qubits);
    return w <= 8 ? std::bit_ceil(std::max<uint64_t>(w, 1)) : w;
}

std::pair<std::span<uint64_t>, std::span<uint64_t>> rows2_mut(std::span<uint64_t> words,
                                                              uint64_t row_len, uint64_t i,
                                                              uint64_t j) {
    KELVO_ASSERT(i != j, "rows2_mut needs two distinct rows");
    return {words.subspan(i * row_len, row_len), words.subspan(j * row_len, row_len)};
}

void mul_row_left(std::span<uint64_t> a, uint8_t& sign_a, std::span<const uint64_t> b,
                  uint8_t extra) {
    KELVO_ASSERT(b.size() >= a.size(), "multiplier row is shorter than the row");
    left_product<0>(a.data(), sign_a, b.data(), extra, a.size() / 2);
}

void mul_right(std::span<uint64_t, 8> ax, std::span<uint64_t, 8> az, uint8_t& sign_a,
               std::span<const uint64_t, 8> bx, std::span<const uint64_t, 8> bz, uint8_t extra) {
    const bool p = and_parity<8>(az.data(), bx.data(), 8);
    xor_words<8>(ax.data(), bx.data(), 8);
    xor_words<8>(az.data(), bz.data(), 8);
    sign_a = static_cast<uint8_t>((sign_a + extra + 2 * p) & 3);
}

uint64_t Frame::word_count_for(uint64_t num_qubits) {
    return checked_frame_words(num_qubits, stride_for(num_qubits));
}

Frame Frame::identity(uint64_t num_qubits) {
    Frame frame;
    frame.resize(num_qubits);
    return frame;
}

std::span<const uint64_t> Frame::row(uint64_t r) const {
    KELVO_ASSERT(r < 2 * num_qubits_, "row index out of range");
    return {words_.data() + r * 2 * stride_, 2 * stride_};
}

std::span<uint64_t> Frame::row_mut(uint64_t r) {
    KELVO_ASSERT(r < 2 * num_qubits_, "row index out of range");
    return {words_.data() + r * 2 * stride_, 2 * stride_};
}

uint8_t Frame::sign(uint64_t r) const {
    KELVO_ASSERT(r < 2 * num_qubits_, "row index out of range");
    return signs_[r];
}

void Frame::set_identity_rows(uint64_t q) {
    const uint64_t bit = uint64_t{1} << (q % 64);
    row_mut(2 * q)[q / 64] |= bit;
    row_mut(2 * q + 1)[stride_ + q / 64] |= bit;
    signs_[2 * q] = 0;
    signs_[2 * q + 1] = 0;
}

std::vector<uint64_t> Frame::restride(std::span<const uint64_t> words, uint64_t old_stride,
                                      uint64_t rows, uint64_t new_stride, uint64_t copy_words) {
    return relay_rows(words, old_stride, rows, new_stride, copy_words, 0);
}

void Frame::resize(uint64_t n) {
    const uint64_t m = num_qubits_;
    if (n == m) return;
    const uint64_t new_stride = stride_for(n);
    const uint64_t total = word_count_for(n);
    if (n < m) {
        for (uint64_t q = n; q < m; ++q) {
            const auto x_row = row(2 * q);
            const auto z_row = row(2 * q + 1);
            bool exact = signs_[2 * q] == 0 && signs_[2 * q + 1] == 0;
            for (uint64_t i = 0; i < 2 * stride_ && exact; ++i) {
                const uint64_t bit = i % stride_ == q / 64 ? uint64_t{1} << (q % 64) : 0;
                exact = x_row[i] == (i < stride_ ? bit : 0) && z_row[i] == (i < stride_ ? 0 : bit);
            }
            if (!exact)
                fatal("cannot drop qubit " + std::to_string(q) + ": its preimages are not X/Z");
        }
    }
    // Old and new rows live together while the rows are re-laid.
    require_memory(total + words_.size() + 4 * new_stride, sizeof(uint64_t), "the tableau rows");
    // Build everything first so that a failed allocation leaves the frame as it was.
    const uint64_t kept = std::min(n, m);
    std::vector<uint64_t> words = relay_rows(words_, stride_, 2 * kept, new_stride,
                                             std::max<uint64_t>(word_count(kept), 1), total);
    words.resize(total, 0);
    std::vector<uint8_t> signs(signs_.begin(), signs_.begin() + 2 * kept);
    signs.resize(2 * n, 0);
    std::vector<uint64_t> scratch(4 * new_stride, 0);

    words_ = std::move(words);
    signs_ = std::move(signs);
    scratch_words_ = std::move(scratch);
    scratch_signs_ = {};
    num_qubits_ = n;
    stride_ = new_stride;
    if (n < m) {
        if (n % 64 != 0) {
            const uint64_t keep = (uint64_t{1} << (n % 64)) - 1;
            for (uint64_t r = 0; r < 2 * n; ++r) {
                const auto rw = row_mut(r);
                rw[n / 64] &= keep;
                rw[stride_ + n / 64] &= keep;
            }
        }
    } else {
        for (uint64_t q = m; q < n; ++q)
            set_identity_rows(q);
    }
}

void Frame::mul_row_left_by(uint64_t r, std::span<const uint64_t> b, uint8_t extra) {
    assert_width(b.size(), 2 * stride_, "multiplier row width must match the frame's");
    const auto a = row_mut(r);
    with_stride(stride_, [&](auto w) {
        left_product<decltype(w)::value>(a.data(), signs_[r], b.data(), extra, stride_);
    });
}

void Frame::mul_row_right_by(uint64_t r, std::span<const uint64_t> b, uint8_t extra) {
    assert_width(b.size(), 2 * stride_, "multiplier row width must match the frame's");
    const auto a = row_mut(r);
    with_stride(stride_, [&](auto w) {
        right_product<decltype(w)::value>(a.data(), signs_[r], b.data(), extra, stride_);
    });
}

void Frame::negate_row(uint64_t r) {
    KELVO_ASSERT(r < 2 * num_qubits_, "row index out of range");
    signs_[r] ^= 2;
}

void Frame::left_pauli(const PauliString& p) {
    for_each_set_bit(p.x, [&](uint64_t q) { negate_row(2 * q + 1); });
    for_each_set_bit(p.z, [&](uint64_t q) { negate_row(2 * q); });
}

void Frame::left_root_x(uint64_t q, uint8_t k) {
    checked_qubit(q);
    mul_row_left_by(2 * q + 1, row(2 * q), sign(2 * q));
    signs_[2 * q + 1] = static_cast<uint8_t>((signs_[2 * q + 1] + k) & 3);
}

void Frame::left_s(uint64_t q, uint8_t k) {
    checked_qubit(q);
    mul_row_left_by(2 * q, row(2 * q + 1), sign(2 * q + 1));
    signs_[2 * q] = static_cast<uint8_t>((signs_[2 * q] + k) & 3);
}

void Frame::left_h(uint64_t q) {
    checked_qubit(q);
    const auto [a, b] = rows2_mut(words_, 2 * stride_, 2 * q, 2 * q + 1);
    std::swap_ranges(a.begin(), a.end(), b.begin());
    std::swap(signs_[2 * q], signs_[2 * q + 1]);
}

void Frame::left_cx(uint64_t control, uint64_t target) {
    if (control == target) distinct_qubits(control, target, "cx needs distinct qubits");
    checked_qubit(control);
    checked_qubit(target);
    mul_row_left_by(2 * control, row(2 * target), sign(2 * target));
    mul_row_left_by(2 * target + 1, row(2 * control + 1), sign(2 * control + 1));
}

void Frame::left_cz(uint64_t a, uint64_t b) {
    if (a == b) distinct_qubits(a, b, "cz needs distinct qubits");
    checked_qubit(a);
    checked_qubit(b);
    mul_row_left_by(2 * a, row(2 * b + 1), sign(2 * b + 1));
    mul_row_left_by(2 * b, row(2 * a + 1), sign(2 * a + 1));
}

void Frame::left_swap(uint64_t a, uint64_t b) {
    if (a == b) return;
    for (uint64_t half = 0; half < 2; ++half) {
        const auto [ra, rb] = rows2_mut(words_, 2 * stride_, 2 * checked_qubit(a) + half,
                                        2 * checked_qubit(b) + half);
        std::swap_ranges(ra.begin(), ra.end(), rb.begin());
        std::swap(signs_[2 * a + half], signs_[2 * b + half]);
    }
}

uint64_t Frame::checked_qubit(uint64_t q) const {
    KELVO_ASSERT(q < num_qubits_, "qubit index out of range");
    return q;
}

template <size_t W>
void Frame::left_controlled_pauli_w(const PauliString& control, const PauliString& target) {
    const uint64_t w = stride_;
    const std::span<uint64_t> pt(scratch_words_.data(), 2 * w);
    const std::span<uint64_t> pc(scratch_words_.data() + 2 * w, 2 * w);
    scratch_signs_[0] = preimage_into_w<W>(target, pt.first(w), pt.subspan(w));
    scratch_signs_[1] = preimage_into_w<W>(control, pc.first(w), pc.subspan(w));
    // Rows anticommuting with both pick up R*P_T first and P_C*(R*P_T) = -P_C*P_T*R second.
    const auto right_by_target = [&](uint64_t r) {
        right_product<W>(row_mut(r).data(), signs_[r], pt.data(), scratch_signs_[0], w);
    };
    const auto left_by_control = [&](uint64_t r) {
        left_product<W>(row_mut(r).data(), signs_[r], pc.data(), scratch_signs_[1], w);
    };
    for_each_set_bit(control.x, [&](uint64_t q) { right_by_target(2 * q + 1); });
    for_each_set_bit(control.z, [&](uint64_t q) { right_by_target(2 * q); });
    for_each_set_bit(target.x, [&](uint64_t q) { left_by_control(2 * q + 1); });
    for_each_set_bit(target.z, [&](uint64_t q) { left_by_control(2 * q); });
}

void Frame::left_controlled_pauli(const PauliString& control, const PauliString& target) {
    with_stride(stride_,
                [&](auto w) { left_controlled_pauli_w<decltype(w)::value>(control, target); });
}

template <size_t W>
uint8_t Frame::preimage_into_w(const PauliString& pauli, std::span<uint64_t> flip,
                               std::span<uint64_t> z) const {
    const uint64_t w = width_of<W>(stride_);
    KELVO_ASSERT(w == stride_ && flip.size() == w && z.size() == w,
                 "output width must match the frame's");
    std::fill(flip.begin(), flip.end(), 0);
    std::fill(z.begin(), z.end(), 0);
    unsigned k = 0;
    const auto fold = [&](uint64_t r) {
        const uint64_t* row_words = words_.data() + r * 2 * w;
        k += signs_[r] + 2 * and_parity<W>(z.data(), row_words, w);
        xor_words<W>(flip.data(), row_words, w);
        xor_words<W>(z.data(), row_words + w, w);
    };
    for_each_set_bit(pauli.x, [&](uint64_t q) { fold(2 * checked_qubit(q)); });
    for_each_set_bit(pauli.z, [&](uint64_t q) { fold(2 * checked_qubit(q) + 1); });
    const size_t common = std::min(pauli.x.size(), pauli.z.size());
    for (size_t i = 0; i < common; ++i)
        k += std::popcount(pauli.x[i] & pauli.z[i]);
    return static_cast<uint8_t>(k & 3);
}

template uint8_t Frame::preimage_into_w<0>(const PauliString&, std::span<uint64_t>,
                                           std::span<uint64_t>) const;
template uint8_t Frame::preimage_into_w<1>(const PauliString&, std::span<uint64_t>,
                                           std::span<uint64_t>) const;
template uint8_t Frame::preimage_into_w<2>(const PauliString&, std::span<uint64_t>,
                                           std::span<uint64_t>) const;
template uint8_t Frame::preimage_into_w<4>(const PauliString&, std::span<uint64_t>,
                                           std::span<uint64_t>) const;
template uint8_t Frame::preimage_into_w<8>(const PauliString&, std::span<uint64_t>,
                                           std::span<uint64_t>) const;

uint8_t Frame::preimage_into(const PauliString& pauli, std::span<uint64_t> flip,
                             std::span<uint64_t> z) const {
    assert_width(flip.size(), stride_, "output width must match the frame's");
    assert_width(z.size(), stride_, "output width must match the frame's");
    return with_stride(stride_,
                       [&](auto w) { return preimage_into_w<decltype(w)::value>(pauli, flip, z); });
}

template <size_t W>
uint8_t Frame::preimage_basis_w(Axis axis, uint64_t q, std::span<uint64_t> flip,
                                std::span<uint64_t> z) const {
    const uint64_t w = width_of<W>(stride_);
    const uint64_t first = axis == Axis::Z ? 2 * q + 1 : 2 * q;
    const uint64_t* a = words_.data() + first * 2 * w;
    std::copy_n(a, w, flip.data());
    std::copy_n(a + w, w, z.data());
    if (axis != Axis::Y) return signs_[first];
    const uint64_t* b = words_.data() + (2 * q + 1) * 2 * w;
    const bool p = and_parity<W>(z.data(), b, w);
    xor_words<W>(flip.data(), b, w);
    xor_words<W>(z.data(), b + w, w);
    return static_cast<uint8_t>((signs_[2 * q] + signs_[2 * q + 1] + 2 * p + 1) & 3);
}

uint8_t Frame::preimage_basis_into(Axis axis, uint64_t qubit, std::span<uint64_t> flip,
                                   std::span<uint64_t> z) const {
    if (qubit >= num_qubits_) {
        fatal("qubit " + std::to_string(qubit) + " out of range for " +
              std::to_string(num_qubits_) + " qubits");
    }
    assert_width(flip.size(), stride_, "output width must match the frame's");
    assert_width(z.size(), stride_, "output width must match the frame's");
    return with_stride(stride_, [&](auto w) {
        return preimage_basis_w<decltype(w)::value>(axis, qubit, flip, z);
    });
}

RowPauli Frame::image(uint64_t qubit, bool of_x) const {
    checked_qubit(qubit);
    const uint64_t n = num_qubits_;
    const uint64_t w = stride_;
    RowPauli out;
    out.x.assign(std::max<uint64_t>(word_count(n), 1), 0);
    out.z.assign(out.x.size(), 0);
    // Bit j of the image's X part is set when it anticommutes with Z_j, read off row 2j+1;
    // its Z part against X_j, row 2j. The half read is the one opposite the image's kind.
    const uint64_t half = of_x ? w : 0;
    const uint64_t word = half + qubit / 64;
    const uint64_t bit = qubit % 64;
    for (uint64_t j = 0; j < n; ++j) {
        const uint64_t* x_row = words_.data() + 2 * j * 2 * w;
        const uint64_t* z_row = x_row + 2 * w;
        out.x[j / 64] |= ((z_row[word] >> bit) & 1) << (j % 64);
        out.z[j / 64] |= ((x_row[word] >> bit) & 1) << (j % 64);
    }
    std::vector<uint64_t> acc(2 * w, 0);
    uint8_t k = 0;
    for_each_set_bit(out.x, [&](uint64_t j) {
        right_product<0>(acc.data(), k, words_.data() + 2 * j * 2 * w, signs_[2 * j], w);
    });
    for_each_set_bit(out.z, [&](uint64_t j) {
        right_product<0>(acc.data(), k, words_.data() + (2 * j + 1) * 2 * w, signs_[2 * j + 1], w);
    });
    for (uint64_t i = 0; i < 2 * w; ++i) {
        const uint64_t expected = i == (of_x ? 0 : w) + qubit / 64 ? uint64_t{1} << bit : 0;
        KELVO_ASSERT(acc[i] == expected, "tableau rows do not form a Clifford frame");
    }
    out.phase = static_cast<uint8_t>((4 - k) & 3);
    return out;
}

RowPauli Frame::image_x(uint64_t qubit) const {
    return image(qubit, true);
}

RowPauli Frame::image_z(uint64_t qubit) const {
    return image(qubit, false);
}

void Frame::right_pauli_z(uint64_t pivot) {
    if (pivot >= num_qubits_) {
        fatal("pivot " + std::to_string(pivot) + " out of range for " +
              std::to_string(num_qubits_) + " qubits");
    }
    const uint64_t word = pivot / 64;
    const uint64_t bit = pivot % 64;
    for (uint64_t r = 0; r < 2 * num_qubits_; ++r) {
        signs_[r] ^= static_cast<uint8_t>(((words_[r * 2 * stride_ + word] >> bit) & 1) << 1);
    }
}

void Frame::right_pauli_exp(std::span<const uint64_t> x_mask, std::span<const uint64_t> z_mask,
                            uint8_t p) {
    assert_width(x_mask.size(), stride_, "mask width must match the frame's");
    assert_width(z_mask.size(), stride_, "mask width must match the frame's");
    with_stride(stride_, [&](auto width) {
        constexpr size_t W = decltype(width)::value;
        const uint64_t w = stride_;
        for (uint64_t r = 0; r < 2 * num_qubits_; ++r) {
            uint64_t* rw = words_.data() + r * 2 * w;
            const bool a = and_parity<W>(x_mask.data(), rw + w, w);
            const bool c = and_parity<W>(z_mask.data(), rw, w);
            if (a == c) continue;
            xor_words<W>(rw, x_mask.data(), w);
            xor_words<W>(rw + w, z_mask.data(), w);
            signs_[r] = static_cast<uint8_t>((signs_[r] + p + 1 + 2 * a) & 3);
        }
    });
}

}  // namespace kelvo::tableau_simulator
