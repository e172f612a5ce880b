#include "sampler/exogenous.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <new>

#include "bits.h"
#include "compiler/program.h"
#include "errors.h"
#include "memory.h"
#include "splitmix64.h"

namespace kelvo {
namespace {

constexpr const char* kGapProbability = "geometric gap probability must be in (0, 1)";
constexpr const char* kBeyondTable = "exogenous condition exceeds program symbol table";
constexpr uint64_t kLargeModeBytes = uint64_t{1} << 20;

void set_mask_bit(std::vector<uint64_t>& mask, uint64_t n, int32_t id) {
    KELVO_ASSERT(id >= 1, "condition id must be positive");
    // Checked against n itself, not just the mask's words: a row past n does not exist.
    const uint64_t i = static_cast<uint64_t>(id) - 1;
    if (i >= n) throw KelvoError::invalid_input(kBeyondTable);
    mask[i / 64] |= uint64_t{1} << (i % 64);
}

template <class F>
void for_each_exogenous_id(const FactoredInstructionProgram& program, bool gap_sampled_only, F f) {
    if (!gap_sampled_only) {
        for (const auto& d : program.categoricals)
            for (const int32_t c : d.conditions)
                f(c);
    }
    for (const auto& g : program.rare_categorical_groups)
        for (const auto& list : g.condition_lists)
            for (const int32_t c : list)
                f(c);
    if (!gap_sampled_only) {
        for (const int32_t c : program.dense_bernoulli_conditions)
            f(c);
    }
    for (const auto& g : program.bernoulli_groups)
        for (const int32_t c : g.conditions)
            f(c);
}

uint64_t gap_from_logs(double log_u, double log_q) {
    const double gap = std::floor(log_u / log_q);
    // Kept in 64 bits: a gap cut short would set a bit that must stay clear.
    if (!(gap < 18446744073709551616.0)) return ~uint64_t{0};
    return static_cast<uint64_t>(gap);
}

// Runs Bernoulli(p) trials shot * members + member over `shots` shots by geometric gaps,
// calling on_success(shot, member) in trial order. One draw per success plus the one that
// overshoots; on_success may draw more.
template <class F>
void gap_trials(uint64_t& state, uint64_t members, uint64_t shots, double p, F on_success) {
    const uint64_t trials = checked_product(members, shots);
    const double log_q = std::log1p(-p);
    uint64_t pos = 0, shot = 0, member = 0;  // pos = shot * members + member
    for (;;) {
        const double u = std::max(splitmix64_uniform(state), 2.2250738585072014e-308);
        const uint64_t gap = gap_from_logs(std::log(u), log_q);
        if (gap >= trials - pos) return;
        // Gaps are mostly shorter than a shot's trials: no division then.
        member += gap;
        if (member >= members) shot += member / members, member %= members;
        on_success(shot, member);
        pos += gap + 1;
        if (++member == members) ++shot, member = 0;
    }
}

// Smallest outcome whose running probability sum reaches u, else the last.
uint64_t pick_outcome(std::span<const double> probabilities, double u) {
    double sum = 0.0;
    for (uint64_t i = 0; i < probabilities.size(); ++i) {
        sum += probabilities[i];
        if (u <= sum) return i;
    }
    return probabilities.empty() ? 0 : probabilities.size() - 1;
}

template <class F>
void for_each_set_bit(std::span<const uint64_t> words, F f) {
    for (uint64_t w = 0; w < words.size(); ++w) {
        for (uint64_t bits = words[w]; bits != 0; bits &= bits - 1)
            f(w * 64 + static_cast<uint64_t>(std::countr_zero(bits)));
    }
}

constexpr uint64_t kNoRow = ~uint64_t{0};

// Writes the rows of one densely filled group. Its events arrive in shot order but jump between
// rows, so their toggles are gathered per block of up to 8 row words (512 shots) and each
// block is stored into every row of the group once the shots move past it: a row's cache line
// is touched once per block rather than once per event, which bounds the cost once the rows
// outgrow the caches. Every word of the rows is stored (as the XOR of its toggles), so the rows
// need no clearing first.
class BlockWriter {
  public:
    // Up to 8 words (a cache line) per row, fewer when the buffer would outgrow a core's cache
    // (256 KiB).
    static uint64_t block_words(uint64_t rows, uint64_t words) {
        return std::min(
            words, std::clamp<uint64_t>((uint64_t{1} << 15) / std::max<uint64_t>(rows, 1), 1, 8));
    }

    // Group row r is row rows[r] of `values` (kNoRow: none).
    BlockWriter(std::vector<uint64_t>& buffer, std::span<const uint64_t> rows,
                std::span<uint64_t> values, uint64_t words)
        : buffer_(buffer),
          rows_(rows),
          values_(values),
          words_(words),
          block_(block_words(rows.size(), words)) {
        buffer_.assign(rows.size() * block_, 0);
    }
    ~BlockWriter() {
        while (base_ < words_)
            store_block();
    }

    void toggle(uint64_t group_row, uint64_t shot) {
        const uint64_t word = shot / 64;
        while (word >= base_ + block_)
            store_block();
        buffer_[group_row * block_ + word - base_] ^= uint64_t{1} << (shot % 64);
    }

  private:
    void store_block() {
        const uint64_t n = std::min(block_, words_ - base_);
        for (uint64_t r = 0; r < rows_.size(); ++r) {
            if (rows_[r] == kNoRow) continue;
            uint64_t* from = buffer_.data() + r * block_;
            std::copy_n(from, n, values_.data() + rows_[r] * words_ + base_);
            std::fill_n(from, n, 0);
        }
        base_ += block_;
    }

    std::vector<uint64_t>& buffer_;
    std::span<const uint64_t> rows_;
    std::span<uint64_t> values_;
    const uint64_t words_;
    const uint64_t block_;
    uint64_t base_ = 0;
};

// One chunk's resampling: the rows, the running state and the mode.
class Resampler {
  public:
    Resampler(PackedPresampledExogenous& storage, bool large)
        : s_(storage),
          n_(storage.num_symbols),
          words_(storage.words_per_row),
          shots_(storage.shots),
          large_(large) {}

    uint64_t state = 0;

    void categorical(const SymbolicCategoricalDistribution& d) {
        for (const int32_t c : d.conditions)
            zero_if_large(row_index(c));
        for (uint64_t shot = 0; shot < shots_; ++shot) {
            const uint64_t outcome = pick_outcome(d.probabilities(), splitmix64_uniform(state));
            if (outcome >= d.assignments().size()) continue;
            for_each_set_bit(d.assignments()[outcome], [&](uint64_t j) {
                if (j < d.conditions.size()) toggle(row_index(d.conditions[j]), shot);
            });
        }
    }

    void rare_categorical(const RareCategoricalSampleGroup& g) {
        const uint64_t members = g.condition_lists.size();
        uint64_t conditions = 0, stride = 0;
        for (const auto& list : g.condition_lists) {
            conditions += list.size();
            stride = std::max<uint64_t>(stride, list.size());
            for (const int32_t c : list)
                row_index(c);
        }
        if (members == 0 || g.rare_mass <= 0) return;
        if (!(g.rare_mass < 1)) throw KelvoError::invalid_input(kGapProbability);
        const bool sparse = use_sparse(g.rare_mass, checked_product(members, shots_), conditions);
        // Group row member * stride + j is condition j of the member's list.
        std::vector<uint64_t>& rows = s_.toggle_rows;
        rows.assign(checked_product(members, stride), kNoRow);
        for (uint64_t m = 0; m < members; ++m) {
            for (uint64_t j = 0; j < g.condition_lists[m].size(); ++j) {
                rows[m * stride + j] = row_index(g.condition_lists[m][j]);
                if (!sparse) mark_dense(rows[m * stride + j]);
            }
        }
        BlockWriter dense(s_.toggle_block, sparse ? std::span<const uint64_t>() : rows, s_.values,
                          words_);
        gap_trials(state, members, shots_, g.rare_mass, [&](uint64_t shot, uint64_t member) {
            const auto& list = g.condition_lists[member];
            const uint64_t i = pick_outcome(g.rare_probabilities, splitmix64_uniform(state));
            if (i >= g.rare_outcomes.size() || g.rare_outcomes[i] >= g.assignments.size()) return;
            for_each_set_bit(g.assignments[g.rare_outcomes[i]], [&](uint64_t j) {
                if (j >= list.size()) return;
                if (sparse) {
                    sparse_event(rows[member * stride + j], shot);
                } else {
                    dense.toggle(member * stride + j, shot);
                }
            });
        });
    }

    void dense_bernoulli(int32_t condition, double p) {
        const uint64_t index = row_index(condition);
        zero_if_large(index);
        if (!(p >= 0 && p <= 1)) {
            throw KelvoError::invalid_input("probability must be between 0 and 1");
        }
        if (p == 0 || shots_ == 0) return;
        const std::span<uint64_t> row = dense_row(index);
        const uint64_t tail = live_tail_mask();
        if (p == 1) {
            std::fill(row.begin(), row.end(), ~uint64_t{0});
            row.back() &= tail;
            return;
        }
        const double q = p > 0.5 ? 1 - p : p;
        if (q == 0.5) {
            for (uint64_t& word : row)
                word = splitmix64_next(state);
            row.back() &= tail;
        } else if (q >= 0.02) {
            const uint64_t k = std::min<uint64_t>(static_cast<uint64_t>(std::floor(256 * q)), 127);
            for (uint64_t& word : row)
                word = eighth_probability_word(k);
            row.back() &= tail;
            const double base = static_cast<double>(k) / 256;
            const double r = (q - base) / (1 - base);
            if (r > 0) or_low_probability_bits_packed(row, words_, state, shots_, r);
        } else {
            or_low_probability_bits_packed(row, words_, state, shots_, q);
        }
        if (p > 0.5) {
            for (uint64_t& word : row)
                word = ~word;
            row.back() &= tail;
        }
    }

    void bernoulli_group(const BernoulliSampleGroup& g) {
        const uint64_t members = g.conditions.size();
        std::vector<uint64_t>& rows = s_.toggle_rows;
        rows.clear();
        for (const int32_t c : g.conditions)
            rows.push_back(row_index(c));
        if (members == 0 || g.probability <= 0) return;
        if (!(g.probability < 1)) throw KelvoError::invalid_input(kGapProbability);
        const bool sparse = use_sparse(g.probability, checked_product(members, shots_), members);
        if (sparse) {
            gap_trials(state, members, shots_, g.probability,
                       [&](uint64_t shot, uint64_t member) { sparse_event(rows[member], shot); });
            return;
        }
        for (const uint64_t row : rows)
            mark_dense(row);
        BlockWriter dense(s_.toggle_block, rows, s_.values, words_);
        gap_trials(state, members, shots_, g.probability,
                   [&](uint64_t shot, uint64_t member) { dense.toggle(member, shot); });
    }

  private:
    uint64_t row_index(int32_t id) const {
        KELVO_ASSERT(id >= 1, "condition id must be positive");
        const uint64_t i = static_cast<uint64_t>(id) - 1;
        KELVO_ASSERT(i < n_, kBeyondTable);
        return i;
    }

    std::span<uint64_t> dense_row(uint64_t i) {
        return std::span<uint64_t>(s_.values).subspan(i * words_, words_);
    }

    uint64_t live_tail_mask() const {
        return shots_ % 64 == 0 ? ~uint64_t{0} : (uint64_t{1} << (shots_ % 64)) - 1;
    }

    void zero_if_large(uint64_t i) {
        if (large_) std::ranges::fill(dense_row(i), 0);
    }

    // A gap-sampled row filled densely this chunk (large mode starts them sparse); the block
    // writer stores all of it.
    void mark_dense(uint64_t i) {
        if (large_) s_.sparse_rows[i / 64] &= ~(uint64_t{1} << (i % 64));
    }

    // Sparse when the expected events cost no more than clearing the rows, counted as half a
    // word per row word.
    bool use_sparse(double p, uint64_t trials, uint64_t rows) const {
        if (!large_) return false;
        const double cost =
            static_cast<double>(rows) * static_cast<double>(std::max<uint64_t>(words_ / 2, 1));
        return p * static_cast<double>(trials) <= cost;
    }

    void toggle(uint64_t i, uint64_t shot) {
        s_.values[i * words_ + shot / 64] ^= uint64_t{1} << (shot % 64);
    }

    void sparse_event(uint64_t i, uint64_t shot) {
        s_.sparse_events.push_back({static_cast<uint32_t>(i), shot});
    }

    // Eight draws give 64 bits, each 1 with probability k/256 (k < 128): bit b of k adds the
    // disjoint event d1 & ~d2 & ... & ~d(7-b) & d(8-b), of probability 2^(b-8).
    uint64_t eighth_probability_word(uint64_t k) {
        uint64_t d[8];
        for (uint64_t& x : d)
            x = splitmix64_next(state);
        uint64_t prefix = d[0];
        uint64_t word = 0;
        for (int b = 6; b >= 0; --b) {
            const uint64_t next = d[7 - b];
            if ((k >> b) & 1) word |= prefix & next;
            prefix &= ~next;
        }
        return word;
    }

    PackedPresampledExogenous& s_;
    const uint64_t n_;
    const uint64_t words_;
    const uint64_t shots_;
    const bool large_;
};

// Groups the sparse events by condition, each condition's shots in draw order.
void build_sparse_lists(PackedPresampledExogenous& s) {
    s.sparse_offsets.assign(s.num_symbols + 1, 0);
    for (const ExogenousEvent& e : s.sparse_events)
        ++s.sparse_offsets[e.condition_index + 1];
    for (uint64_t i = 1; i <= s.num_symbols; ++i)
        s.sparse_offsets[i] += s.sparse_offsets[i - 1];
    s.sparse_cursor.assign(s.sparse_offsets.begin(), s.sparse_offsets.end());
    s.sparse_shots.resize(s.sparse_events.size());
    for (const ExogenousEvent& e : s.sparse_events)
        s.sparse_shots[s.sparse_cursor[e.condition_index]++] = e.shot;
}

}  // namespace

void or_low_probability_bits_packed(std::span<uint64_t> row, uint64_t word_limit,
                                    uint64_t& random_state, uint64_t bit_count, double p) {
    if (p <= 0) return;
    if (!(p < 1)) throw KelvoError::invalid_input(kGapProbability);
    KELVO_ASSERT(word_limit <= row.size(), "row index out of range");
    // Stopping at bit_count or at the word limit is stopping at the smaller of the two.
    const uint64_t limit = std::min(bit_count, word_limit * 64);
    gap_trials(random_state, 1, limit, p,
               [&](uint64_t bit, uint64_t) { row[bit / 64] |= uint64_t{1} << (bit % 64); });
}

void prepare_presampled_exogenous_packed(PackedPresampledExogenous& storage,
                                         const FactoredInstructionProgram& program) {
    const uint64_t n = program.num_symbols;
    storage.num_symbols = n;
    storage.shots = 0;
    storage.words_per_row = 0;
    storage.exogenous_mask.assign(word_count(n), 0);
    for_each_exogenous_id(program, false,
                          [&](int32_t c) { set_mask_bit(storage.exogenous_mask, n, c); });
    storage.gap_sampled_mask.assign(word_count(n), 0);
    for_each_exogenous_id(program, true,
                          [&](int32_t c) { set_mask_bit(storage.gap_sampled_mask, n, c); });
    storage.sparse_rows = storage.gap_sampled_mask;
    storage.values.clear();
    storage.sparse_offsets.clear();
    storage.sparse_shots.clear();
    storage.random_state = 0;
}

void resample_prepared_exogenous_packed_in_place(PackedPresampledExogenous& storage,
                                                 const FactoredInstructionProgram& program,
                                                 uint64_t shots, uint64_t seed) {
    detail::resample_exogenous(storage, program, shots, seed, kLargeModeBytes);
}

namespace detail {

uint64_t geometric_gap(double u, double p) {
    return gap_from_logs(std::log(std::max(u, 2.2250738585072014e-308)), std::log1p(-p));
}

void resample_exogenous(PackedPresampledExogenous& storage,
                        const FactoredInstructionProgram& program, uint64_t shots, uint64_t seed,
                        uint64_t large_mode_bytes) {
    const uint64_t n = program.num_symbols;
    if (storage.num_symbols != n || storage.exogenous_mask.size() != word_count(n) ||
        storage.gap_sampled_mask.size() != word_count(n)) {
        throw KelvoError::invalid_input(
            "packed presampled exogenous storage was not prepared for this program");
    }
    const uint64_t words = word_count(shots);
    const uint64_t total_words = checked_product(n, words);
    require_memory_to_grow(storage.values, total_words, "the presampled noise rows");
    storage.shots = shots;
    storage.words_per_row = words;
    storage.values.resize(total_words);
    storage.sparse_events.clear();

    const bool large = total_words * sizeof(uint64_t) > large_mode_bytes;
    if (large) {
        storage.sparse_rows = storage.gap_sampled_mask;
    } else {
        std::ranges::fill(storage.values, 0);
        storage.sparse_rows.assign(word_count(n), 0);
    }

    Resampler r(storage, large);
    r.state = seed;
    for (const auto& d : program.categoricals)
        r.categorical(d);
    for (const auto& g : program.rare_categorical_groups)
        r.rare_categorical(g);
    KELVO_ASSERT_EQ(program.dense_bernoulli_conditions.size(),
                    program.dense_bernoulli_probabilities.size(),
                    "dense Bernoulli conditions and probabilities are index-aligned");
    for (uint64_t i = 0; i < program.dense_bernoulli_conditions.size(); ++i)
        r.dense_bernoulli(program.dense_bernoulli_conditions[i],
                          program.dense_bernoulli_probabilities[i]);
    for (const auto& g : program.bernoulli_groups)
        r.bernoulli_group(g);
    storage.random_state = r.state;
    build_sparse_lists(storage);
}

}  // namespace detail

}  // namespace kelvo
