// Symbolic Booleans over numbered random conditions, the registry that hands the conditions
// out, and the flattened form used to evaluate a Boolean against a packed table of samples.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace kelvo {

// constant XOR (XOR of the conditions). The list is always canonical (strictly increasing,
// every id >= 1), so equal fields mean equal Boolean functions.
struct SymbolicBool {
    std::vector<int32_t> conditions;
    bool constant = false;

    bool operator==(const SymbolicBool&) const = default;
};

// The Boolean of one condition; an id <= 0 is fatal ("condition id must be positive").
SymbolicBool symbolic_bool(int32_t id);
// `value` with its constant XORed with `bit`.
SymbolicBool xor_bool_constant(const SymbolicBool& value, bool bit);
// a XOR b: ids present in both cancel.
SymbolicBool xor_bool(const SymbolicBool& a, const SymbolicBool& b);
// a = a XOR b in a's own list: for a short b (a readout error, an anchor's own sign) each id is
// inserted or removed in place instead of a new list being built.
void xor_into(SymbolicBool& a, const SymbolicBool& b);

// The outcome table of a categorical distribution: outcome j (probability probabilities[j])
// sets bit i of its packed row assignments[j]. The distributions of one noise instruction
// share one table, so that a channel on many targets builds and frees it once.
struct CategoricalTable {
    std::vector<std::vector<uint64_t>> assignments;
    std::vector<double> probabilities;

    bool operator==(const CategoricalTable&) const = default;
};

// k conditions drawn jointly: outcome j (probability probabilities()[j]) sets condition
// conditions[i] to bit i of assignments()[j], a packed k-bit row.
struct SymbolicCategoricalDistribution {
    std::vector<int32_t> conditions;
    std::shared_ptr<const CategoricalTable> table;  // null reads as the empty table
    uint64_t width = 0;

    SymbolicCategoricalDistribution() = default;
    SymbolicCategoricalDistribution(std::vector<int32_t> conditions,
                                    std::shared_ptr<const CategoricalTable> table, uint64_t width);
    SymbolicCategoricalDistribution(std::vector<int32_t> conditions,
                                    std::vector<std::vector<uint64_t>> assignments,
                                    std::vector<double> probabilities, uint64_t width);

    const std::vector<std::vector<uint64_t>>& assignments() const;
    const std::vector<double>& probabilities() const;

    // Compares the tables' contents, not their identity.
    bool operator==(const SymbolicCategoricalDistribution& other) const;
};

// A table that passed the registry's checks for `width` jointly drawn conditions.
struct CheckedCategoricalTable {
    std::shared_ptr<const CategoricalTable> table;
    uint64_t width = 0;
};

// Condition id -> index of its distribution in SymbolicContext::categoricals. A distribution's
// ids are consecutive and, as the registry hands them out, above every earlier one's: one
// range per distribution, found by binary search. Where ranges overlap the later one counts.
class CategoricalIndex {
  public:
    void reserve(uint64_t distributions) { ranges_.reserve(distributions); }
    // Ids first .. first + count - 1 belong to distribution `index`.
    void add(int32_t first, uint64_t count, uint64_t index);
    std::optional<uint64_t> find(int32_t id) const;
    bool contains(int32_t id) const { return find(id).has_value(); }
    bool empty() const { return ranges_.empty(); }
    // Throws std::out_of_range for an id of no distribution.
    uint64_t at(int32_t id) const;

    bool operator==(const CategoricalIndex&) const = default;

  private:
    struct Range {
        int64_t first = 0;
        int64_t end = 0;  // one past the last id
        uint64_t index = 0;

        bool operator==(const Range&) const = default;
    };
    std::vector<Range> ranges_;  // in the order they were added
    bool ascending_ = true;      // every range starts at or past the end of the one before
};

// Registry of the random conditions of one compilation. Ids are handed out upward from 1;
// callers that bring ids of their own raise `next_condition_id` above them.
struct SymbolicContext {
    // In creation order; the index is a distribution's identity.
    std::vector<SymbolicCategoricalDistribution> categoricals;
    // Condition id -> index in `categoricals`, for every jointly drawn condition.
    CategoricalIndex categorical_of;
    // Independently drawn conditions and their probabilities, ascending by id (the sampler's
    // groups follow this order).
    std::map<int32_t, double> bernoulli;
    // Probability-1 conditions that stand for a certain flip (a constant term), not for noise:
    // the noiseless reference shot reads them as true. Ascending.
    std::vector<int32_t> certain_conditions;
    uint32_t next_condition_id = 1;

    // Registers one condition that is 1 with probability p and returns its id. Throws
    // KelvoError (InvalidInput) "probability must be between 0 and 1" (context unchanged) or
    // "condition already belongs to a categorical distribution" (the id is consumed).
    int32_t fresh_bernoulli_condition(double p);
    SymbolicBool fresh_bernoulli_bool(double p);
    // A Bernoulli(1) condition listed in certain_conditions.
    int32_t fresh_certain_condition();

    // Takes the next id without registering a distribution, for a bit whose law the caller
    // owns (a measured outcome, a fair coin). Running past the i32 range is fatal ("condition
    // id must be positive").
    int32_t fresh_condition_id();

    // Registers k jointly drawn conditions and returns their Booleans in id order. Every
    // failure throws KelvoError (InvalidInput) and leaves the context unchanged. A row must
    // be exactly word_count(k) words with no bit set at or above k.
    std::vector<SymbolicBool> fresh_categorical_bools(
        uint64_t k, std::span<const std::vector<uint64_t>> assignments,
        std::span<const double> probabilities);
    // The same, returning the first of the k consecutive ids instead of their Booleans.
    int32_t fresh_categorical_conditions(uint64_t k,
                                         std::span<const std::vector<uint64_t>> assignments,
                                         std::span<const double> probabilities);
    // The checks of fresh_categorical_conditions alone, for a channel that registers the same
    // table for many targets: they run once, and the targets share the table.
    CheckedCategoricalTable checked_categorical_table(
        uint64_t k, std::span<const std::vector<uint64_t>> assignments,
        std::span<const double> probabilities) const;
    // Registers width jointly drawn conditions under a table checked above; only running past
    // the i32 range can fail (fatal, "condition id must be positive").
    int32_t fresh_categorical_conditions(const CheckedCategoricalTable& checked);

    // next_condition_id = max(next_condition_id, id + 1), compared as signed values.
    void raise_next_condition_id_past(int32_t id);

    bool operator==(const SymbolicContext&) const = default;
};

// One SymbolicBool flattened for a packed condition table in which condition c is bit c - 1
// (bit (c - 1) % 64 of word (c - 1) / 64). Groups are in increasing word order, one per word.
struct SymbolicBoolEvaluationPlan {
    std::vector<int32_t> conditions;
    std::vector<uint64_t> word_indices;
    std::vector<uint64_t> word_masks;
    bool constant = false;

    SymbolicBoolEvaluationPlan() = default;
    // An id <= 0 is fatal ("condition id must be positive").
    explicit SymbolicBoolEvaluationPlan(const SymbolicBool& value);
    // Becomes the plan of `value`, reusing this plan's storage.
    void assign(const SymbolicBool& value);

    // constant XOR parity of the masked table words; words past the table's end read as zero.
    bool evaluate(std::span<const uint64_t> table) const;

    bool operator==(const SymbolicBoolEvaluationPlan&) const = default;
};

}  // namespace kelvo
