// The planner's side of relative signs (sign_anchors.h). An operation whose sign is relative to
// an earlier measurement of the same body has the same Pauli as that measurement through every
// basis change and meets the same outcome pushes until the measurement is planned. So it waits,
// out of the column tables, and joins when its anchor is planned: with the anchor's Pauli of
// that moment (times its own phase), its sign still relative. Its full sign, the anchor's XOR
// its own, is reduced without being written out (anchor_chains.h), so operations far ahead
// never collect the pushes and errors of the whole circuit.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "compiler/anchor_chains.h"
#include "pauli.h"
#include "symbolic.h"

namespace kelvo {

struct PendingFactoredState;

class AnchorSchedule {
  public:
    bool built() const { return built_; }
    bool waiting(uint64_t j) const { return j < waiting_.size() && waiting_[j] != 0; }
    // The operations waiting for operation i.
    std::span<const uint64_t> dependents(uint64_t i) const {
        if (i + 1 >= begin_.size()) return {};
        return std::span<const uint64_t>(list_).subspan(begin_[i], begin_[i + 1] - begin_[i]);
    }
    // Operation j's Pauli as it joins: its anchor's Pauli of that moment with j's own phase.
    PauliString joining_pauli(uint64_t j, PauliString anchor_pauli) const;
    void release(uint64_t j) { waiting_[j] = 0; }

    // What operation j takes of its anchor once that is planned.
    void set_value(uint64_t j, AnchorChains::Link value) { values_[j] = value; }
    // Operation j's value, removed from the schedule; none for an operation without anchor.
    std::optional<AnchorChains::Link> take_value(uint64_t j) {
        if (j >= values_.size()) return std::nullopt;
        return std::exchange(values_[j], std::nullopt);
    }

  private:
    friend void build_anchor_schedule(PendingFactoredState& state);

    std::vector<uint8_t> waiting_;
    std::vector<std::optional<AnchorChains::Link>>
        values_;                          // by operation, once its anchor is planned
    std::vector<uint8_t> phase_offsets_;  // (phase - the anchor's phase) mod 4, as lowered
    std::vector<uint64_t> begin_, list_;  // dependents of i: list_[begin_[i] .. begin_[i + 1])
    bool built_ = false;
};

// Builds the state's schedule from its pending list once, before anything is planned: every
// anchored operation waits. An anchor must come before its operations, with the same body
// (fatal "an anchor precedes its operations" otherwise).
void build_anchor_schedule(PendingFactoredState& state);

}  // namespace kelvo
