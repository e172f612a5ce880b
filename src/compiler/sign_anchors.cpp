#include "compiler/sign_anchors.h"

#include <algorithm>
#include <utility>
#include <variant>

#include "compiler/lowering.h"
#include "errors.h"
#include "splitmix64.h"

namespace kelvo {
namespace {

uint64_t hash_words(uint64_t h, std::span<const uint64_t> words) {
    for (const uint64_t w : words) {
        uint64_t state = h ^ w;
        h = splitmix64_next(state);
    }
    return h;
}

}  // namespace

size_t SignAnchorIndex::Hash::operator()(const BodyView& b) const {
    return hash_words(hash_words(b.x.size(), b.x), b.z);
}

size_t SignAnchorIndex::Hash::operator()(const std::vector<uint64_t>& words) const {
    const std::span<const uint64_t> all(words);
    const uint64_t half = words.size() / 2;
    return (*this)(BodyView{all.first(half), all.subspan(half)});
}

bool SignAnchorIndex::Equal::operator()(const BodyView& a, const std::vector<uint64_t>& b) const {
    return a.x.size() + a.z.size() == b.size() &&
           std::equal(a.x.begin(), a.x.end(), b.begin()) &&
           std::equal(a.z.begin(), a.z.end(), b.begin() + static_cast<std::ptrdiff_t>(a.x.size()));
}

const SignAnchor* SignAnchorIndex::find(const PauliString& body) const {
    const auto it = last_.find(BodyView{body.x, body.z});
    return it == last_.end() ? nullptr : &it->second;
}

void SignAnchorIndex::remember(const PauliString& body, SignAnchor anchor) {
    const auto it = last_.find(BodyView{body.x, body.z});
    if (it != last_.end()) {
        it->second = std::move(anchor);
        return;
    }
    std::vector<uint64_t> words(body.x);
    words.insert(words.end(), body.z.begin(), body.z.end());
    last_.emplace(std::move(words), std::move(anchor));
}

void expand_anchored_signs(std::vector<PendingOperation>& ops) {
    std::unordered_map<uint32_t, SymbolicBool> full;  // by the measurement's condition id
    for (PendingOperation& op : ops) {
        std::visit(
            [&full](auto& o) {
                if constexpr (requires { o.anchor; }) {
                    if (o.anchor) {
                        const auto it = full.find(*o.anchor);
                        KELVO_ASSERT(it != full.end(), "an anchor precedes its operations");
                        o.sign = xor_bool(it->second, o.sign);
                        o.anchor.reset();
                    }
                }
                if constexpr (requires { o.condition_id; o.sign; }) {
                    if (o.condition_id) full[*o.condition_id] = o.sign;
                }
            },
            op);
    }
}

}  // namespace kelvo
