#include "sampler/presampled_parents.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <span>

namespace kelvo {
namespace {

// The block expressions holding each id, newest first, as lists threaded beside the
// expressions' own id lists: beside id k of block expression b lies where the earlier holder of
// that id holds it, written in order as each expression is registered.
class Holders {
  public:
    explicit Holders(const std::vector<PresampledExpression>& expressions)
        : expressions_(expressions) {
        uint64_t largest = 0, entries = 0;
        for (const PresampledExpression& e : expressions) {
            if (!e.conditions.empty()) largest = std::max<uint64_t>(largest, e.conditions.back());
            entries += e.conditions.size();
        }
        latest_.assign(largest + 1, Place{});
        count_.assign(largest + 1, 0);
        earlier_.reserve(entries);
        starts_.reserve(expressions.size());
    }

    uint32_t count(int32_t c) const { return count_[static_cast<uint64_t>(c)]; }

    template <typename Fn>
    void for_each(int32_t c, Fn&& fn) const {
        for (Place p = latest_[static_cast<uint64_t>(c)]; p.block != 0;) {
            fn(p.block - 1);
            p = earlier_[starts_[p.block - 1] + p.index];
        }
    }

    // Registers the next block expression.
    void add() {
        const auto block = static_cast<uint32_t>(starts_.size());
        starts_.push_back(earlier_.size());
        const std::vector<int32_t>& ids = expressions_[block].conditions;
        for (uint64_t k = 0; k < ids.size(); ++k) {
            const auto id = static_cast<uint64_t>(ids[k]);
            earlier_.push_back(latest_[id]);
            latest_[id] = {block + 1, static_cast<uint32_t>(k)};
            ++count_[id];
        }
    }

  private:
    // Id `index` of block expression block - 1; block 0 for none.
    struct Place {
        uint32_t block = 0;
        uint32_t index = 0;
    };

    const std::vector<PresampledExpression>& expressions_;
    std::vector<Place> latest_;
    std::vector<uint32_t> count_;
    std::vector<Place> earlier_;
    std::vector<uint64_t> starts_;
};

// Calls visit(id) for each id in exactly one of the ascending lists a and b, in ascending
// order, until it returns false; returns the number of entries read. Stretches the lists share
// are passed over 16 ids at a time: the signs of consecutive rounds share long runs.
template <typename Visit>
uint64_t for_each_difference(std::span<const int32_t> a, std::span<const int32_t> b,
                             Visit&& visit) {
    constexpr uint64_t kStretch = 16;
    uint64_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i] == b[j]) {
            ++i, ++j;
            while (i + kStretch <= a.size() && j + kStretch <= b.size() &&
                   std::memcmp(&a[i], &b[j], kStretch * sizeof(int32_t)) == 0)
                i += kStretch, j += kStretch;
        } else if (!visit(a[i] < b[j] ? a[i++] : b[j++])) {
            return i + j;
        }
    }
    for (; i < a.size(); ++i)
        if (!visit(a[i])) return i + 1 + j;
    for (; j < b.size(); ++j)
        if (!visit(b[j])) return i + j + 1;
    return i + j;
}

// a XOR b, whose size is known.
std::vector<int32_t> symmetric_difference(std::span<const int32_t> a, std::span<const int32_t> b,
                                          uint64_t size) {
    std::vector<int32_t> out;
    out.reserve(size);
    for_each_difference(a, b, [&](int32_t c) {
        out.push_back(c);
        return true;
    });
    return out;
}

// The search for one block expression's parent. A relative within cost d misses at most d of
// the expression's ids, so it holds one of any d + 1 of them: walking the holders of d + 1 ids
// (d the best cost so far) and pricing each by comparing id lists meets every relative that
// could still win. The ids go newest first while few expressions hold them, then rarest first:
// a sign that grows round after round (a rotation on a body never measured names every earlier
// error) meets the previous round's among the holders of its newest ids, and the long-held old
// ids are never walked. When that costs more than counting, for every earlier expression, the
// ids it shares (one step per holder of each id), the count prices them instead.
class ParentSearch {
  public:
    explicit ParentSearch(std::vector<PresampledExpression>& blocks)
        : blocks_(blocks), holders_(blocks), seen_(blocks.size(), 0), shared_(blocks.size(), 0) {}

    void place(uint64_t r) {
        PresampledExpression& e = blocks_[r];
        r_ = r;
        best_ = 0;
        best_cost_ = e.conditions.size() + (e.constant ? 1 : 0);
        work_ = 0;
        // The constant true expression holds no id: it is met here or never.
        if (e.constant && constant_true_ != 0) compare(constant_true_ - 1);
        search(e.conditions);
        if (best_ != 0) {
            const PresampledExpression& parent = blocks_[best_ - 1];
            e.parent = best_ - 1;
            e.delta_constant = e.constant != parent.constant;
            e.delta_conditions = symmetric_difference(e.conditions, parent.conditions,
                                                      best_cost_ - (e.delta_constant ? 1 : 0));
        } else {
            e.delta_conditions = e.conditions;
            e.delta_constant = e.constant;
        }
        holders_.add();
        if (e.conditions.empty() && e.constant && constant_true_ == 0) constant_true_ = r + 1;
    }

  private:
    static constexpr uint64_t kFewHolders = 4;

    void search(std::span<const int32_t> ids) {
        // What counting the shared ids would cost: the search gives way to it beyond that.
        uint64_t counting = 0;
        for (const int32_t c : ids)
            counting += holders_.count(c);
        uint64_t walked = 0, newest = ids.size();
        for (; newest > 0 && walked <= best_cost_; --newest, ++walked) {
            if (holders_.count(ids[newest - 1]) > kFewHolders) break;
            if (work_ > counting) return count_shared(ids);
            walk(ids[newest - 1]);
        }
        if (walked > best_cost_ || newest == 0) return;
        rarest_.clear();
        for (const int32_t c : ids.first(newest))
            rarest_.push_back(uint64_t{holders_.count(c)} << 32 | static_cast<uint32_t>(c));
        std::ranges::make_heap(rarest_, std::greater<>());
        for (; walked <= best_cost_ && !rarest_.empty(); ++walked) {
            if (work_ > counting) return count_shared(ids);
            std::ranges::pop_heap(rarest_, std::greater<>());
            walk(static_cast<int32_t>(rarest_.back() & 0xffffffff));
            rarest_.pop_back();
        }
    }

    void walk(int32_t id) {
        holders_.for_each(id, [&](uint32_t c) {
            ++work_;
            if (seen_[c] == r_ + 1) return;
            seen_[c] = r_ + 1;
            compare(c);
        });
    }

    // c wins at any cost below this: on equal cost the earlier candidate wins, and no parent
    // beats any.
    uint64_t winning_bound(uint64_t c) const {
        return best_cost_ + (best_ != 0 && c < best_ - 1 ? 1 : 0);
    }

    void offer(uint64_t c, uint64_t cost) {
        if (cost < winning_bound(c)) best_ = c + 1, best_cost_ = cost;
    }

    // Prices c by comparing id lists, abandoned once it cannot win.
    void compare(uint64_t c) {
        const PresampledExpression& e = blocks_[r_];
        const PresampledExpression& other = blocks_[c];
        const uint64_t bound = winning_bound(c);
        const uint64_t constant = e.constant != other.constant ? 1 : 0;
        const uint64_t a = e.conditions.size(), b = other.conditions.size();
        if ((a > b ? a - b : b - a) + constant >= bound) return;
        uint64_t cost = constant;
        work_ += for_each_difference(e.conditions, other.conditions,
                                     [&](int32_t) { return ++cost < bound; });
        offer(c, cost);
    }

    // Prices every earlier expression sharing an id by the number of ids it shares:
    // |a XOR b| = |a| + |b| - 2 |a AND b|.
    void count_shared(std::span<const int32_t> ids) {
        sharing_.clear();
        for (const int32_t id : ids) {
            holders_.for_each(id, [&](uint32_t c) {
                if (shared_[c]++ == 0) sharing_.push_back(c);
            });
        }
        const PresampledExpression& e = blocks_[r_];
        for (const uint32_t c : sharing_) {
            const PresampledExpression& other = blocks_[c];
            offer(c, ids.size() + other.conditions.size() - 2 * uint64_t{shared_[c]} +
                         (e.constant != other.constant ? 1 : 0));
            shared_[c] = 0;
        }
    }

    std::vector<PresampledExpression>& blocks_;
    Holders holders_;
    std::vector<uint64_t> seen_;    // 1 + the block expression last pricing each one
    std::vector<uint32_t> shared_;  // ids shared with the one being placed, while counting
    std::vector<uint32_t> sharing_;
    std::vector<uint64_t> rarest_;  // (holder count << 32 | id), a min-heap
    uint64_t constant_true_ = 0;    // 1 + the first empty constant-true one, 0 before it
    uint64_t best_ = 0;             // 1 + the best candidate so far, 0 for none
    uint64_t best_cost_ = 0;
    uint64_t work_ = 0;  // holders met and ids compared for the one being placed
    uint64_t r_ = 0;
};

}  // namespace

void choose_presampled_parents(std::vector<PresampledExpression>& blocks,
                               const CancellationCheck& cancel) {
    ParentSearch search(blocks);
    for (uint64_t r = 0; r < blocks.size(); ++r) {
        cancel.check();
        search.place(r);
    }
}

}  // namespace kelvo
