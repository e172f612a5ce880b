#include "frames.h"

#include <array>
#include <bit>
#include <new>
#include <utility>

#include "bits.h"
#include "errors.h"
#include "memory.h"

namespace kelvo {
namespace {

constexpr const char* kSizeMismatch =
    "Pauli string and Clifford frame have different numbers of qubits";

// Bits start..start+63 of a packed vector; bits past its end read as zero.
uint64_t bits_at(std::span<const uint64_t> words, uint64_t start) {
    const uint64_t w = start / 64, shift = start % 64;
    if (w >= words.size()) return 0;
    uint64_t v = words[w] >> shift;
    if (shift != 0 && w + 1 < words.size()) v |= words[w + 1] << (64 - shift);
    return v;
}

}  // namespace

CliffordFrame::CliffordFrame(uint64_t n) : n_(n) {
    // 2n rows of two n-bit vectors each.
    require_memory(checked_product(2, n),
                   sizeof(PauliString) + 2 * sizeof(uint64_t) * word_count(n),
                   "the Clifford frame's rows");
    rows_.reserve(checked_product(2, n));
    for (uint64_t r = 0; r < 2 * n; ++r)
        rows_.emplace_back(n);
    for (uint64_t q = 0; q < n; ++q) {
        set_bit(rows_[q].x, q, true);
        set_bit(rows_[n + q].z, q, true);
    }
    // Built now (one word per row) so that gate updates take the sparse path from the start.
    ensure_support_words();
}

CliffordFrame CliffordFrame::from_xz_rows(uint64_t n, std::vector<PauliString> x_rows,
                                          std::vector<PauliString> z_rows) {
    KELVO_ASSERT_EQ(x_rows.size(), n, "");
    KELVO_ASSERT_EQ(z_rows.size(), n, "");
    // A row of another width would be silently cut or read past its end by the word loops.
    for (const std::vector<PauliString>* list : {&x_rows, &z_rows}) {
        for (const PauliString& row : *list) {
            KELVO_ASSERT_EQ(row.num_qubits, n, kSizeMismatch);
            KELVO_ASSERT(row.words_are_consistent(), kSizeMismatch);
        }
    }
    CliffordFrame frame;
    frame.n_ = n;
    frame.rows_ = std::move(x_rows);
    frame.rows_.reserve(checked_product(2, n));
    for (PauliString& row : z_rows)
        frame.rows_.push_back(std::move(row));
    frame.support_ = SupportCache{};  // built lazily, on the first query
    return frame;
}

const PauliString& CliffordFrame::row(uint64_t r) const {
    KELVO_ASSERT(r < rows_.size(), "frame row index out of range");
    return rows_[r];
}

void CliffordFrame::row_bits_changed(uint64_t r) {
    columns_.valid = false;
    if (support_.words.empty()) return;  // never built: the first query builds every row
    support_.valid = false;
    if (!support_.stale[r]) {
        support_.stale[r] = 1;
        support_.stale_rows.push_back(r);
    }
}

void CliffordFrame::mul_rows(uint64_t dst, uint64_t a, uint64_t b, uint8_t k) {
    KELVO_ASSERT(dst < rows_.size() && a < rows_.size() && b < rows_.size(),
                 "frame row index out of range");
    if (dst == a && mul_rows_sparse(dst, b, true, k)) return;
    if (dst == b && mul_rows_sparse(dst, a, false, k)) return;
    const PauliString& A = rows_[a];
    const PauliString& B = rows_[b];
    PauliString& D = rows_[dst];
    const unsigned phase = A.phase + B.phase + k;
    uint64_t crossings = 0;
    const size_t words = D.x.size();
    for (size_t i = 0; i < words; ++i) {
        // Load before storing: D may be A or B.
        const uint64_t ax = A.x[i], az = A.z[i], bx = B.x[i], bz = B.z[i];
        crossings ^= az & bx;
        D.x[i] = ax ^ bx;
        D.z[i] = az ^ bz;
    }
    D.phase = static_cast<uint8_t>((phase + 2 * (std::popcount(crossings) & 1)) & 3);
    row_bits_changed(dst);
}

bool CliffordFrame::mul_rows_sparse(uint64_t dst, uint64_t src, bool src_on_right, uint8_t k) {
    // Only the words of src's support change, and only they can hold a crossing of a Z of
    // the left factor with an X of the right one.
    if (support_.words.empty() || support_.stale[src]) return false;
    const std::vector<SupportWord>& add = support_.words[src];
    PauliString& D = rows_[dst];
    if (2 * add.size() > D.x.size()) return false;
    const unsigned phase = D.phase + rows_[src].phase + k;
    uint64_t crossings = 0;
    for (const SupportWord& s : add) {
        crossings ^= src_on_right ? D.z[s.word] & s.x : s.z & D.x[s.word];
        D.x[s.word] ^= s.x;
        D.z[s.word] ^= s.z;
    }
    D.phase = static_cast<uint8_t>((phase + 2 * (std::popcount(crossings) & 1)) & 3);
    columns_.valid = false;
    if (support_.stale[dst]) return true;
    // Merge the two sorted supports; words of src's support are read back from the row.
    const std::vector<SupportWord>& old = support_.words[dst];
    std::vector<SupportWord>& out = support_.scratch;
    out.clear();
    size_t i = 0, j = 0;
    while (i < old.size() || j < add.size()) {
        if (j == add.size() || (i < old.size() && old[i].word < add[j].word)) {
            out.push_back(old[i++]);
            continue;
        }
        const uint64_t w = add[j++].word;
        if (i < old.size() && old[i].word == w) ++i;
        if ((D.x[w] | D.z[w]) != 0) out.push_back({w, D.x[w], D.z[w]});
    }
    std::swap(support_.words[dst], out);
    return true;
}

void CliffordFrame::swap_rows(uint64_t a, uint64_t b) {
    KELVO_ASSERT(a < rows_.size() && b < rows_.size(), "frame row index out of range");
    if (a == b) return;
    std::swap(rows_[a], rows_[b]);
    columns_.valid = false;
    if (support_.words.empty()) return;
    if (support_.stale[a] || support_.stale[b]) {
        row_bits_changed(a);
        row_bits_changed(b);
    } else {
        std::swap(support_.words[a], support_.words[b]);
    }
}

void CliffordFrame::negate_row(uint64_t r) {
    KELVO_ASSERT(r < rows_.size(), "frame row index out of range");
    rows_[r].phase = static_cast<uint8_t>((rows_[r].phase + 2) & 3);
}

void CliffordFrame::check_qubit(uint64_t q) const {
    KELVO_ASSERT(q < n_, "qubit index out of range");
}

void CliffordFrame::check_pair(uint64_t a, uint64_t b) const {
    check_qubit(a);
    check_qubit(b);
    KELVO_ASSERT_NE(a, b, "two-qubit Clifford gate requires distinct qubits");
}

void CliffordFrame::check_pauli(const PauliString& p) const {
    KELVO_ASSERT_EQ(p.num_qubits, n_, kSizeMismatch);
    KELVO_ASSERT(p.words_are_consistent(), kSizeMismatch);
}

// Gate updates. Below, x and z name the old rows of a qubit (xa, za, xb, zb for two), and each
// comment gives the new rows as products of old ones: F_old of the gate's image of X and Z.
// Rows of distinct qubits commute; a row of X anticommutes with its Z row.

void CliffordFrame::left_h_yz(uint64_t q) {  // X: -x, Z: i x z
    check_qubit(q);
    mul_rows(n_ + q, q, n_ + q, 1);
    negate_row(q);
}

void CliffordFrame::left_h_nyz(uint64_t q) {  // X: -x, Z: -i x z
    check_qubit(q);
    mul_rows(n_ + q, q, n_ + q, 3);
    negate_row(q);
}

void CliffordFrame::left_c_nxyz(uint64_t q) {  // X: -z, Z: i x z
    check_qubit(q);
    swap_rows(q, n_ + q);
    mul_rows(n_ + q, n_ + q, q, 1);
    negate_row(q);
}

void CliffordFrame::left_c_nzyx(uint64_t q) {  // X: i x z, Z: -x
    check_qubit(q);
    swap_rows(q, n_ + q);
    mul_rows(q, n_ + q, q, 1);
    negate_row(n_ + q);
}

void CliffordFrame::left_c_xynz(uint64_t q) {  // X: -z, Z: -i x z
    check_qubit(q);
    swap_rows(q, n_ + q);
    mul_rows(n_ + q, n_ + q, q, 3);
    negate_row(q);
}

void CliffordFrame::left_c_zynx(uint64_t q) {  // X: -i x z, Z: -x
    check_qubit(q);
    swap_rows(q, n_ + q);
    mul_rows(q, n_ + q, q, 3);
    negate_row(n_ + q);
}

void CliffordFrame::left_sqrt_x(uint64_t q) {  // Z: i x z
    check_qubit(q);
    mul_rows(n_ + q, q, n_ + q, 1);
}

void CliffordFrame::left_sqrt_x_dag(uint64_t q) {  // Z: -i x z
    check_qubit(q);
    mul_rows(n_ + q, q, n_ + q, 3);
}

namespace {

// sqrt_xx (k = 1) and its inverse (k = 3): Za: i^k xa za xb, Zb: i^k xa xb zb.
void sqrt_xx_rows(CliffordFrame& f, uint64_t a, uint64_t b, uint8_t k) {
    const uint64_t n = f.num_qubits();
    f.mul_rows(n + a, a, n + a, k);
    f.mul_rows(n + a, n + a, b, 0);
    f.mul_rows(n + b, b, n + b, k);
    f.mul_rows(n + b, a, n + b, 0);
}

// sqrt_zz (k = 3) and its inverse (k = 1): Xa: i^k xa za zb, Xb: i^k za xb zb.
void sqrt_zz_rows(CliffordFrame& f, uint64_t a, uint64_t b, uint8_t k) {
    const uint64_t n = f.num_qubits();
    f.mul_rows(a, a, n + a, k);
    f.mul_rows(b, b, n + b, k);
    f.mul_rows(a, a, n + b, 0);
    f.mul_rows(b, n + a, b, 0);
}

// sqrt_yy (k = 1) and its inverse (k = 3). With t = xb zb and s = xa za:
// Xa: i^k za t, Za: i^-k xa t, Xb: i^k s zb, Zb: i^-k s xb.
void sqrt_yy_rows(CliffordFrame& f, uint64_t a, uint64_t b, uint8_t k) {
    const uint64_t n = f.num_qubits();
    const uint8_t kk = static_cast<uint8_t>((4 - k) & 3);
    f.mul_rows(b, b, n + b, 0);      // Xb = t
    f.mul_rows(n + a, n + a, b, k);  // Za = i^k za t  (new Xa)
    f.mul_rows(a, a, b, kk);         // Xa = i^-k xa t (new Za)
    f.swap_rows(a, n + a);           // a done; Za Xa = s t t = -s
    f.mul_rows(n + b, a, n + b, 0);  // Zb = Xa zb
    f.mul_rows(n + b, n + a, n + b, static_cast<uint8_t>((k + 2) & 3));  // Zb = i^k s zb (new Xb)
    f.mul_rows(b, n + b, b, 0);  // Xb = i^k s zb t = i^-k s xb (new Zb)
    f.swap_rows(b, n + b);
}

// iswap (k = 3) and its inverse (k = 1): Xa: i^k za xb zb, Xb: i^k xa za zb, Za: zb, Zb: za.
void iswap_rows(CliffordFrame& f, uint64_t a, uint64_t b, uint8_t k) {
    const uint64_t n = f.num_qubits();
    f.swap_rows(n + a, n + b);   // Za = zb, Zb = za
    f.mul_rows(a, a, n + b, 0);  // Xa = xa za
    f.mul_rows(a, a, n + a, k);  // Xa = i^k xa za zb (new Xb)
    f.mul_rows(b, n + b, b, 0);  // Xb = za xb
    f.mul_rows(b, b, n + a, k);  // Xb = i^k za xb zb (new Xa)
    f.swap_rows(a, b);
}

}  // namespace

void CliffordFrame::left_sqrt_xx(uint64_t a, uint64_t b) {
    check_pair(a, b);
    sqrt_xx_rows(*this, a, b, 1);
}

void CliffordFrame::left_sqrt_xx_dag(uint64_t a, uint64_t b) {
    check_pair(a, b);
    sqrt_xx_rows(*this, a, b, 3);
}

void CliffordFrame::left_sqrt_zz(uint64_t a, uint64_t b) {
    check_pair(a, b);
    sqrt_zz_rows(*this, a, b, 3);
}

void CliffordFrame::left_sqrt_zz_dag(uint64_t a, uint64_t b) {
    check_pair(a, b);
    sqrt_zz_rows(*this, a, b, 1);
}

void CliffordFrame::left_sqrt_yy(uint64_t a, uint64_t b) {
    check_pair(a, b);
    sqrt_yy_rows(*this, a, b, 1);
}

void CliffordFrame::left_sqrt_yy_dag(uint64_t a, uint64_t b) {
    check_pair(a, b);
    sqrt_yy_rows(*this, a, b, 3);
}

void CliffordFrame::left_swap(uint64_t a, uint64_t b) {
    check_pair(a, b);
    swap_rows(a, b);
    swap_rows(n_ + a, n_ + b);
}

void CliffordFrame::left_iswap(uint64_t a, uint64_t b) {
    check_pair(a, b);
    iswap_rows(*this, a, b, 3);
}

void CliffordFrame::left_iswap_dag(uint64_t a, uint64_t b) {
    check_pair(a, b);
    iswap_rows(*this, a, b, 1);
}

void CliffordFrame::left_cxswap(uint64_t a, uint64_t b) {  // Xa: xb, Xb: xa xb, Za: za zb, Zb: za
    check_pair(a, b);
    const uint64_t n = n_;
    mul_rows(a, a, b, 0);
    swap_rows(a, b);
    mul_rows(n + b, n + b, n + a, 0);
    swap_rows(n + a, n + b);
}

void CliffordFrame::left_czswap(uint64_t a, uint64_t b) {  // Xa: za xb, Xb: xa zb, Za: zb, Zb: za
    check_pair(a, b);
    const uint64_t n = n_;
    mul_rows(a, a, n + b, 0);
    mul_rows(b, b, n + a, 0);
    swap_rows(a, b);
    swap_rows(n + a, n + b);
}

void CliffordFrame::left_swapcx(uint64_t a, uint64_t b) {  // Xa: xa xb, Xb: xa, Za: zb, Zb: za zb
    check_pair(a, b);
    const uint64_t n = n_;
    mul_rows(b, b, a, 0);
    swap_rows(a, b);
    mul_rows(n + a, n + a, n + b, 0);
    swap_rows(n + a, n + b);
}

void CliffordFrame::left_cx(uint64_t a, uint64_t b) {  // Xa: xa xb, Zb: za zb
    check_pair(a, b);
    mul_rows(a, a, b, 0);
    mul_rows(n_ + b, n_ + a, n_ + b, 0);
}

void CliffordFrame::left_cy(uint64_t a, uint64_t b) {  // Xa: i xa xb zb, Xb: za xb, Zb: za zb
    check_pair(a, b);
    const uint64_t n = n_;
    mul_rows(a, a, b, 1);
    mul_rows(a, a, n + b, 0);
    mul_rows(b, n + a, b, 0);
    mul_rows(n + b, n + a, n + b, 0);
}

void CliffordFrame::left_cz(uint64_t a, uint64_t b) {  // Xa: xa zb, Xb: za xb
    check_pair(a, b);
    mul_rows(a, a, n_ + b, 0);
    mul_rows(b, n_ + a, b, 0);
}

void CliffordFrame::left_xcx(uint64_t a, uint64_t b) {  // Za: za xb, Zb: xa zb
    check_pair(a, b);
    mul_rows(n_ + a, n_ + a, b, 0);
    mul_rows(n_ + b, a, n_ + b, 0);
}

void CliffordFrame::left_xcy(uint64_t a, uint64_t b) {  // Xb: xa xb, Za: i za xb zb, Zb: xa zb
    check_pair(a, b);
    const uint64_t n = n_;
    mul_rows(n + a, n + a, b, 1);
    mul_rows(n + a, n + a, n + b, 0);
    mul_rows(b, a, b, 0);
    mul_rows(n + b, a, n + b, 0);
}

void CliffordFrame::left_xcz(uint64_t a, uint64_t b) {  // Xb: xa xb, Za: za zb
    check_pair(a, b);
    mul_rows(b, a, b, 0);
    mul_rows(n_ + a, n_ + a, n_ + b, 0);
}

void CliffordFrame::left_ycx(uint64_t a, uint64_t b) {  // Xa: xa xb, Za: za xb, Zb: i xa za zb
    check_pair(a, b);
    const uint64_t n = n_;
    mul_rows(n + b, a, n + b, 1);
    mul_rows(n + b, n + b, n + a, 0);
    mul_rows(a, a, b, 0);
    mul_rows(n + a, n + a, b, 0);
}

void CliffordFrame::left_ycy(uint64_t a, uint64_t b) {
    // With ya = i xa za, yb = i xb zb: Xa: xa yb, Za: za yb, Xb: ya xb, Zb: ya zb.
    check_pair(a, b);
    const uint64_t n = n_;
    mul_rows(b, b, n + b, 1);          // Xb = yb
    mul_rows(a, a, b, 0);              // Xa = xa yb (new)
    mul_rows(n + a, n + a, b, 0);      // Za = za yb (new); i Xa Za = ya
    mul_rows(n + b, n + a, n + b, 0);  // Zb = Za zb
    mul_rows(n + b, a, n + b, 1);      // Zb = i Xa Za zb = ya zb (new)
    mul_rows(b, b, n + b, 3);          // Xb = -i yb ya zb = ya xb (new)
}

void CliffordFrame::left_ycz(uint64_t a, uint64_t b) {  // Xa: xa zb, Xb: i xa za xb, Za: za zb
    check_pair(a, b);
    const uint64_t n = n_;
    mul_rows(b, a, b, 1);
    mul_rows(b, b, n + a, 0);
    mul_rows(a, a, n + b, 0);
    mul_rows(n + a, n + a, n + b, 0);
}

void CliffordFrame::rebuild_support_row(uint64_t r) const {
    const PauliString& row = rows_[r];
    std::vector<SupportWord>& out = support_.words[r];
    out.clear();
    for (uint64_t w = 0; w < row.x.size(); ++w) {
        if ((row.x[w] | row.z[w]) != 0) out.push_back({w, row.x[w], row.z[w]});
    }
}

void CliffordFrame::ensure_support_words() const {
    if (support_.valid) return;
    if (support_.words.size() != rows_.size()) {
        support_.words.assign(rows_.size(), {});
        support_.stale.assign(rows_.size(), 0);
        support_.stale_rows.clear();
        for (uint64_t r = 0; r < rows_.size(); ++r)
            rebuild_support_row(r);
    } else {
        for (const uint64_t r : support_.stale_rows) {
            rebuild_support_row(r);
            support_.stale[r] = 0;
        }
        support_.stale_rows.clear();
    }
    support_.valid = true;
}

std::span<const SupportWord> CliffordFrame::support_words(uint64_t r) const {
    KELVO_ASSERT(r < rows_.size(), "frame row index out of range");
    ensure_support_words();
    return support_.words[r];
}

unsigned CliffordFrame::preimage_words(const PauliString& p, uint64_t* const ax,
                                       uint64_t* const az) const {
    const uint64_t words = p.x.size();
    unsigned phase = p.phase;
    // acc <- acc * rows[r]: XOR the row in, plus 2 per Z of acc crossing an X of the row.
    const auto multiply_right = [&](uint64_t r) {
        const PauliString& row = rows_[r];
        const std::vector<SupportWord>& support = support_.words[r];
        uint64_t crossings = 0;
        if (2 * support.size() <= words) {
            for (const SupportWord& s : support) {
                crossings ^= az[s.word] & s.x;
                ax[s.word] ^= s.x;
                az[s.word] ^= s.z;
            }
        } else {
            const uint64_t* const rx = row.x.data();
            const uint64_t* const rz = row.z.data();
            for (uint64_t i = 0; i < words; ++i) {
                crossings ^= az[i] & rx[i];
                ax[i] ^= rx[i];
                az[i] ^= rz[i];
            }
        }
        phase += row.phase + 2 * (std::popcount(crossings) & 1);
    };
    for (uint64_t w = 0; w < words; ++w) {
        const uint64_t px = p.x[w], pz = p.z[w];
        for (uint64_t bits = px | pz; bits != 0; bits &= bits - 1) {
            const int bit = std::countr_zero(bits);
            const uint64_t q = 64 * w + static_cast<uint64_t>(bit);
            if ((px >> bit) & 1) multiply_right(q);
            if ((pz >> bit) & 1) multiply_right(n_ + q);
        }
    }
    return phase;
}

PauliString CliffordFrame::preimage(const PauliString& p) const {
    check_pauli(p);
    ensure_support_words();
    PauliString acc(n_);
    acc.phase = static_cast<uint8_t>(preimage_words(p, acc.x.data(), acc.z.data()) & 3);
    return acc;
}

void CliffordFrame::ensure_columns() const {
    if (columns_.valid) return;
    ensure_support_words();
    const uint64_t stride = word_count(checked_product(2, n_));
    const uint64_t size = checked_product(n_, stride);
    columns_.x_columns.assign(size, 0);
    columns_.z_columns.assign(size, 0);
    for (uint64_t r = 0; r < rows_.size(); ++r) {
        const uint64_t row_word = r / 64, row_bit = uint64_t{1} << (r % 64);
        for (const SupportWord& s : support_.words[r]) {
            for (uint64_t bits = s.x; bits != 0; bits &= bits - 1) {
                const uint64_t q = 64 * s.word + static_cast<uint64_t>(std::countr_zero(bits));
                if (q < n_) columns_.x_columns[q * stride + row_word] |= row_bit;
            }
            for (uint64_t bits = s.z; bits != 0; bits &= bits - 1) {
                const uint64_t q = 64 * s.word + static_cast<uint64_t>(std::countr_zero(bits));
                if (q < n_) columns_.z_columns[q * stride + row_word] |= row_bit;
            }
        }
    }
    columns_.valid = true;
}

PauliString CliffordFrame::coordinates_in_frame(const PauliString& p) const {
    PauliString c(n_);
    coordinates_in_frame_into(p, c);
    return c;
}

void CliffordFrame::coordinates_in_frame_into(const PauliString& p, PauliString& c) const {
    check_pauli(p);
    check_pauli(c);
    ensure_columns();
    ensure_support_words();
    const uint64_t stride = word_count(2 * n_), words = c.x.size();
    // Small frames (the common case) keep their scratch on the stack.
    constexpr uint64_t kInline = 8;
    std::array<uint64_t, 3 * kInline> inline_words{};
    std::vector<uint64_t> heap_words;
    uint64_t* scratch = inline_words.data();
    if (stride > kInline || words > kInline) {
        heap_words.assign(stride + 2 * words, 0);
        scratch = heap_words.data();
    }
    // Bit r of acc: symplectic product of row r with p.
    uint64_t* const acc = scratch;
    const auto xor_column = [&](const std::vector<uint64_t>& columns, uint64_t q) {
        const uint64_t* const column = columns.data() + q * stride;
        for (uint64_t i = 0; i < stride; ++i)
            acc[i] ^= column[i];
    };
    for (uint64_t w = 0; w < p.x.size(); ++w) {
        for (uint64_t bits = p.x[w]; bits != 0; bits &= bits - 1) {
            xor_column(columns_.z_columns, 64 * w + static_cast<uint64_t>(std::countr_zero(bits)));
        }
        for (uint64_t bits = p.z[w]; bits != 0; bits &= bits - 1) {
            xor_column(columns_.x_columns, 64 * w + static_cast<uint64_t>(std::countr_zero(bits)));
        }
    }
    // Row X_q pairs with z_q of C and row Z_q with x_q of C.
    const uint64_t tail = n_ % 64 == 0 ? ~uint64_t{0} : (uint64_t{1} << (n_ % 64)) - 1;
    const std::span<const uint64_t> acc_words(acc, stride);
    for (uint64_t i = 0; i < words; ++i) {
        const uint64_t mask = i + 1 == words ? tail : ~uint64_t{0};
        c.z[i] = acc[i] & mask;
        c.x[i] = bits_at(acc_words, n_ + 64 * i) & mask;
    }
    c.phase = 0;
    uint64_t* const ix = scratch + stride;
    uint64_t* const iz = ix + words;
    const unsigned image_phase = preimage_words(c, ix, iz) & 3;
    if (!std::equal(ix, ix + words, p.x.begin()) || !std::equal(iz, iz + words, p.z.begin())) {
        throw KelvoError::invalid_input("frame rows do not span the Pauli body");
    }
    c.phase = static_cast<uint8_t>((p.phase + 4 - image_phase) & 3);
}

}  // namespace kelvo
