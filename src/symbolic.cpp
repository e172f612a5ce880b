#include "symbolic.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "bits.h"
#include "errors.h"
#include "never_destroyed.h"

namespace kelvo {
namespace {

constexpr const char* kProbabilityRange = "probability must be between 0 and 1";

bool is_probability(double p) {
    return p >= 0.0 && p <= 1.0;
}  // NaN fails both

// The next `count` ids as i32; running past the i32 range would hand out ids <= 0.
int32_t first_of_fresh_ids(uint32_t next, uint64_t count) {
    constexpr uint64_t kMaxId = std::numeric_limits<int32_t>::max();
    KELVO_ASSERT(next >= 1 && next <= kMaxId && count - 1 <= kMaxId - next,
                 "condition id must be positive");
    return static_cast<int32_t>(next);
}

bool same_table(const CategoricalTable& table, std::span<const std::vector<uint64_t>> assignments,
                std::span<const double> probabilities) {
    // Plain loops: the rows are a word or two, too short for a library compare per row.
    if (table.assignments.size() != assignments.size() ||
        table.probabilities.size() != probabilities.size()) {
        return false;
    }
    for (uint64_t j = 0; j < probabilities.size(); ++j) {
        if (std::bit_cast<uint64_t>(table.probabilities[j]) !=
            std::bit_cast<uint64_t>(probabilities[j])) {
            return false;
        }
    }
    for (uint64_t j = 0; j < assignments.size(); ++j) {
        const std::vector<uint64_t>&a = table.assignments[j], &b = assignments[j];
        if (a.size() != b.size()) return false;
        for (uint64_t w = 0; w < a.size(); ++w) {
            if (a[w] != b[w]) return false;
        }
    }
    return true;
}

const CategoricalTable& empty_table() {
    static const NeverDestroyed<CategoricalTable> empty;
    return empty.get();
}

}  // namespace

SymbolicCategoricalDistribution::SymbolicCategoricalDistribution(
    std::vector<int32_t> conditions, std::shared_ptr<const CategoricalTable> table, uint64_t width)
    : conditions(std::move(conditions)), table(std::move(table)), width(width) {}

SymbolicCategoricalDistribution::SymbolicCategoricalDistribution(
    std::vector<int32_t> conditions, std::vector<std::vector<uint64_t>> assignments,
    std::vector<double> probabilities, uint64_t width)
    : conditions(std::move(conditions)),
      table(std::make_shared<const CategoricalTable>(
          CategoricalTable{std::move(assignments), std::move(probabilities)})),
      width(width) {}

const std::vector<std::vector<uint64_t>>& SymbolicCategoricalDistribution::assignments() const {
    return (table ? *table : empty_table()).assignments;
}

const std::vector<double>& SymbolicCategoricalDistribution::probabilities() const {
    return (table ? *table : empty_table()).probabilities;
}

bool SymbolicCategoricalDistribution::operator==(
    const SymbolicCategoricalDistribution& other) const {
    return conditions == other.conditions && width == other.width &&
           (table == other.table ||
            (assignments() == other.assignments() && probabilities() == other.probabilities()));
}

void CategoricalIndex::add(int32_t first, uint64_t count, uint64_t index) {
    const Range range{first, first + static_cast<int64_t>(count), index};
    if (!ranges_.empty() && range.first < ranges_.back().end) ascending_ = false;
    ranges_.push_back(range);
}

std::optional<uint64_t> CategoricalIndex::find(int32_t id) const {
    if (ascending_) {
        const auto after = std::upper_bound(ranges_.begin(), ranges_.end(), int64_t{id},
                                            [](int64_t v, const Range& r) { return v < r.first; });
        if (after == ranges_.begin() || id >= std::prev(after)->end) return std::nullopt;
        return std::prev(after)->index;
    }
    for (auto r = ranges_.rbegin(); r != ranges_.rend(); ++r) {
        if (id >= r->first && id < r->end) return r->index;
    }
    return std::nullopt;
}

uint64_t CategoricalIndex::at(int32_t id) const {
    const std::optional<uint64_t> index = find(id);
    if (!index) throw std::out_of_range("condition of no categorical distribution");
    return *index;
}

SymbolicBool symbolic_bool(int32_t id) {
    return SymbolicBool{normalize_xor_conditions({id}), false};
}

SymbolicBool xor_bool_constant(const SymbolicBool& value, bool bit) {
    return SymbolicBool{value.conditions, value.constant != bit};
}

SymbolicBool xor_bool(const SymbolicBool& a, const SymbolicBool& b) {
    SymbolicBool out;
    out.constant = a.constant != b.constant;
    out.conditions.reserve(a.conditions.size() + b.conditions.size());
    size_t i = 0, j = 0;
    while (i < a.conditions.size() && j < b.conditions.size()) {
        if (a.conditions[i] == b.conditions[j]) {
            ++i;
            ++j;
        } else if (a.conditions[i] < b.conditions[j]) {
            out.conditions.push_back(a.conditions[i++]);
        } else {
            out.conditions.push_back(b.conditions[j++]);
        }
    }
    out.conditions.insert(out.conditions.end(), a.conditions.begin() + i, a.conditions.end());
    out.conditions.insert(out.conditions.end(), b.conditions.begin() + j, b.conditions.end());
    return out;
}

void xor_into(SymbolicBool& a, const SymbolicBool& b) {
    constexpr uint64_t kShort = 4;
    if (b.conditions.size() > kShort) {
        a = xor_bool(a, b);
        return;
    }
    a.constant = a.constant != b.constant;
    for (const int32_t id : b.conditions) {
        const auto at = std::lower_bound(a.conditions.begin(), a.conditions.end(), id);
        if (at != a.conditions.end() && *at == id) {
            a.conditions.erase(at);
        } else {
            a.conditions.insert(at, id);
        }
    }
}

int32_t SymbolicContext::fresh_bernoulli_condition(double p) {
    if (!is_probability(p)) throw KelvoError::invalid_input(kProbabilityRange);
    const int32_t id = first_of_fresh_ids(next_condition_id, 1);
    ++next_condition_id;
    if (categorical_of.contains(id)) {
        throw KelvoError::invalid_input("condition already belongs to a categorical distribution");
    }
    // Ids are handed out upward, so the new entry usually goes last.
    bernoulli.insert_or_assign(bernoulli.end(), id, p);
    return id;
}

int32_t SymbolicContext::fresh_certain_condition() {
    const int32_t id = fresh_bernoulli_condition(1.0);
    certain_conditions.push_back(id);
    return id;
}

int32_t SymbolicContext::fresh_condition_id() {
    const int32_t id = first_of_fresh_ids(next_condition_id, 1);
    ++next_condition_id;
    return id;
}

SymbolicBool SymbolicContext::fresh_bernoulli_bool(double p) {
    return symbolic_bool(fresh_bernoulli_condition(p));
}

std::vector<SymbolicBool> SymbolicContext::fresh_categorical_bools(
    uint64_t k, std::span<const std::vector<uint64_t>> assignments,
    std::span<const double> probabilities) {
    const int32_t first = fresh_categorical_conditions(k, assignments, probabilities);
    std::vector<SymbolicBool> out;
    out.reserve(k);
    for (uint64_t i = 0; i < k; ++i)
        out.push_back(symbolic_bool(first + static_cast<int32_t>(i)));
    return out;
}

CheckedCategoricalTable SymbolicContext::checked_categorical_table(
    uint64_t k, std::span<const std::vector<uint64_t>> assignments,
    std::span<const double> probabilities) const {
    if (assignments.empty()) {
        throw KelvoError::invalid_input(
            "categorical symbolic distribution needs at least one assignment");
    }
    if (k == 0 || assignments.size() != probabilities.size()) {
        throw KelvoError::invalid_input("invalid categorical symbolic distribution");
    }
    // A row with a bit at or above k is no k-bit row either: it would set conditions that
    // belong to nobody (or to a later group) when drawn.
    const uint64_t words = word_count(k);
    const uint64_t high_mask = k % 64 == 0 ? 0 : ~uint64_t{0} << (k % 64);
    for (const std::vector<uint64_t>& row : assignments) {
        if (row.size() != words || (row.back() & high_mask) != 0) {
            throw KelvoError::invalid_input("categorical assignment length mismatch");
        }
    }
    double sum = 0.0;
    for (const double p : probabilities) {
        if (!is_probability(p)) throw KelvoError::invalid_input(kProbabilityRange);
        sum += p;
    }
    if (std::abs(sum - 1.0) > 1e-12) {
        throw KelvoError::invalid_input(
            "categorical symbolic distribution probabilities must sum to 1");
    }

    // Channels of equal probabilities follow one another: the latest table is shared when it
    // holds the very same rows and probability bits.
    std::shared_ptr<const CategoricalTable> table;
    if (!categoricals.empty() && categoricals.back().table != nullptr &&
        same_table(*categoricals.back().table, assignments, probabilities)) {
        table = categoricals.back().table;
    } else {
        table = std::make_shared<const CategoricalTable>(
            CategoricalTable{{assignments.begin(), assignments.end()},
                             {probabilities.begin(), probabilities.end()}});
    }
    return {std::move(table), k};
}

int32_t SymbolicContext::fresh_categorical_conditions(
    uint64_t k, std::span<const std::vector<uint64_t>> assignments,
    std::span<const double> probabilities) {
    return fresh_categorical_conditions(checked_categorical_table(k, assignments, probabilities));
}

int32_t SymbolicContext::fresh_categorical_conditions(const CheckedCategoricalTable& checked) {
    const uint64_t k = checked.width;
    const int32_t first = first_of_fresh_ids(next_condition_id, k);
    std::vector<int32_t> conditions;
    conditions.reserve(k);
    for (uint64_t i = 0; i < k; ++i)
        conditions.push_back(first + static_cast<int32_t>(i));

    // Everything that can fail is done; now commit.
    const uint64_t index = categoricals.size();
    categoricals.emplace_back(std::move(conditions), checked.table, k);
    categorical_of.add(first, k, index);
    next_condition_id += static_cast<uint32_t>(k);
    return first;
}

void SymbolicContext::raise_next_condition_id_past(int32_t id) {
    const int64_t wanted = int64_t{id} + 1;
    if (wanted > int64_t{next_condition_id}) next_condition_id = static_cast<uint32_t>(wanted);
}

SymbolicBoolEvaluationPlan::SymbolicBoolEvaluationPlan(const SymbolicBool& value) {
    assign(value);
}

void SymbolicBoolEvaluationPlan::assign(const SymbolicBool& value) {
    conditions.assign(value.conditions.begin(), value.conditions.end());
    constant = value.constant;
    word_indices.clear();
    word_masks.clear();
    if (conditions.empty()) return;
    // The ids ascend, so a word's ids are adjacent: the groups are counted, sized once and
    // filled in place.
    const auto word_of = [](int32_t c) { return static_cast<uint64_t>(c - 1) / 64; };
    uint64_t words = 1;
    KELVO_ASSERT(conditions.front() >= 1, "condition id must be positive");
    for (size_t i = 1; i < conditions.size(); ++i) {
        KELVO_ASSERT(conditions[i] >= 1, "condition id must be positive");
        words += word_of(conditions[i]) != word_of(conditions[i - 1]);
    }
    word_indices.resize(words);
    word_masks.assign(words, 0);
    uint64_t g = 0, current = word_of(conditions.front());
    word_indices[0] = current;
    for (const int32_t c : conditions) {
        const uint64_t word = word_of(c);
        if (word != current) {
            current = word;
            word_indices[++g] = word;
        }
        word_masks[g] |= uint64_t{1} << (static_cast<uint64_t>(c - 1) % 64);
    }
}

bool SymbolicBoolEvaluationPlan::evaluate(std::span<const uint64_t> table) const {
    uint64_t parity = 0;
    for (size_t g = 0; g < word_indices.size(); ++g) {
        if (word_indices[g] < table.size()) parity ^= table[word_indices[g]] & word_masks[g];
    }
    return constant != ((std::popcount(parity) & 1) != 0);
}

}  // namespace kelvo
