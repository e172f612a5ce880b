#include "compiler/anchor_schedule.h"

#include <optional>
#include <unordered_map>
#include <variant>
#include <vector>

#include "compiler/pending.h"
#include "errors.h"
#include "splitmix64.h"

namespace kelvo {
namespace {

constexpr uint64_t kNone = ~uint64_t{0};

struct WordsHash {
    size_t operator()(const std::vector<uint64_t>& words) const {
        uint64_t h = words.size();
        for (const uint64_t w : words) {
            uint64_t state = h ^ w;
            h = splitmix64_next(state);
        }
        return h;
    }
};

// A rotation on a body no measurement with a condition id precedes in lowering carries its
// full sign, which names every error since the circuit began. It is anchored here to the
// previous such rotation of its body, its sign made relative (the anchor's lowered sign XOR
// its own), so the rotations of that body form one chain as a stabilizer's measurements do.
// Rotations anchored to one measurement (a body measured once, then rotated round after round)
// are chained the same way, their signs both relative to that measurement, unless the
// measurement also anchors a later measurement, which would continue its chain instead: each
// would otherwise join the column tables once the measurement is planned and meet every later
// basis change and outcome push. Each rotation anchors at most the next one, so the chain is a
// line.
void chain_rotations(std::vector<PendingOperation>& ops, std::vector<uint64_t>& anchor_index,
                     uint64_t& anchored) {
    std::vector<uint8_t> continued(ops.size(), 0);  // anchors a measurement with a condition id
    for (uint64_t j = 0; j < ops.size(); ++j) {
        const auto* m = std::get_if<PendingPauliMeasurement>(&ops[j]);
        if (m != nullptr && m->condition_id && anchor_index[j] != kNone)
            continued[anchor_index[j]] = 1;
    }
    // body and anchor (1 + its index, 0 for none) -> the last rotation
    std::unordered_map<std::vector<uint64_t>, uint64_t, WordsHash> last;
    std::vector<uint64_t> key;
    for (uint64_t j = 0; j < ops.size(); ++j) {
        const auto* r = std::get_if<PendingPauliRotation>(&ops[j]);
        if (r == nullptr || (r->anchor && continued[anchor_index[j]] != 0)) continue;
        key.assign(r->pauli.x.begin(), r->pauli.x.end());
        key.insert(key.end(), r->pauli.z.begin(), r->pauli.z.end());
        key.push_back(r->anchor ? anchor_index[j] + 1 : 0);
        const auto [it, fresh] = last.try_emplace(key, j);
        if (fresh) continue;
        if (!r->anchor) ++anchored;
        anchor_index[j] = it->second;
        it->second = j;
    }
    // Backwards, so that each anchor's sign is still its lowered one when it is read.
    for (uint64_t j = ops.size(); j-- > 0;) {
        const uint64_t a = anchor_index[j];
        if (a == kNone || !std::holds_alternative<PendingPauliRotation>(ops[j]) ||
            !std::holds_alternative<PendingPauliRotation>(ops[a]))
            continue;
        SymbolicBool& sign = std::get<PendingPauliRotation>(ops[j]).sign;
        sign = xor_bool(sign, std::get<PendingPauliRotation>(ops[a]).sign);
    }
}

}  // namespace

PauliString AnchorSchedule::joining_pauli(uint64_t j, PauliString anchor_pauli) const {
    anchor_pauli.phase = static_cast<uint8_t>((anchor_pauli.phase + phase_offsets_[j]) % 4);
    return anchor_pauli;
}

void build_anchor_schedule(PendingFactoredState& state) {
    AnchorSchedule& s = state.anchor_schedule;
    if (s.built_) return;
    s.built_ = true;
    std::vector<PendingOperation>& ops = state.pending;
    std::vector<uint64_t> anchor_index(ops.size(), kNone);
    std::vector<uint64_t> measurement_of;  // condition id -> index, kNone when none
    uint64_t anchored = 0;
    for (uint64_t j = 0; j < ops.size(); ++j) {
        if (const std::optional<uint32_t> a = anchor_of(ops[j])) {
            const bool known = *a < measurement_of.size() && measurement_of[*a] != kNone;
            KELVO_ASSERT(known, "an anchor precedes its operations");
            anchor_index[j] = measurement_of[*a];
            ++anchored;
        }
        const auto* m = std::get_if<PendingPauliMeasurement>(&ops[j]);
        if (m != nullptr && m->condition_id) {
            const uint64_t c = *m->condition_id;
            if (c >= measurement_of.size())
                measurement_of.resize(std::max(c + 1, 2 * measurement_of.size()), kNone);
            measurement_of[c] = j;
        }
    }
    if (state.chain_rotations) chain_rotations(ops, anchor_index, anchored);
    if (anchored == 0) return;

    s.waiting_.assign(ops.size(), 0);
    s.values_.assign(ops.size(), std::nullopt);
    s.phase_offsets_.assign(ops.size(), 0);
    s.begin_.assign(ops.size() + 1, 0);
    for (uint64_t j = 0; j < ops.size(); ++j) {
        const uint64_t a = anchor_index[j];
        if (a == kNone) continue;
        const PauliString& p = *pauli_of(ops[j]);
        const PauliString& q = *pauli_of(ops[a]);
        KELVO_ASSERT(p.x == q.x && p.z == q.z, "an anchor precedes its operations");
        s.waiting_[j] = 1;
        s.phase_offsets_[j] = static_cast<uint8_t>((p.phase + 4 - q.phase) % 4);
        ++s.begin_[a + 1];
    }
    for (uint64_t i = 0; i < ops.size(); ++i)
        s.begin_[i + 1] += s.begin_[i];
    s.list_.resize(anchored);
    std::vector<uint64_t> next(s.begin_.begin(), s.begin_.end() - 1);
    for (uint64_t j = 0; j < ops.size(); ++j) {
        if (anchor_index[j] != kNone) s.list_[next[anchor_index[j]]++] = j;
    }
}

}  // namespace kelvo
