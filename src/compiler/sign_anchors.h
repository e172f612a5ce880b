// Signs taken relative to an earlier measurement of the same Pauli body. The error frame never
// forgets an error, so the sign of a Pauli measured again and again (a stabilizer, round after
// round) names every error since the circuit began; the sign relative to the last measurement
// of that body names only the errors since then. An operation holding such a sign carries the
// anchor measurement's condition id.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <unordered_map>
#include <vector>

#include "pauli.h"
#include "symbolic.h"

namespace kelvo {

// What a later operation on the same body needs of the last measurement of that body.
struct SignAnchor {
    uint32_t condition = 0;    // the measurement's condition id
    uint64_t frame_size = 0;   // error-frame records when it was lowered
    SymbolicBool own_sign;     // the part of its sign not read from the frame (readout errors)
};

// The last measurement with a condition id lowered per Pauli body (phase ignored).
class SignAnchorIndex {
  public:
    const SignAnchor* find(const PauliString& body) const;
    void remember(const PauliString& body, SignAnchor anchor);

  private:
    // A body is its X words then its Z words.
    struct BodyView {
        std::span<const uint64_t> x, z;
    };
    struct Hash {
        using is_transparent = void;
        size_t operator()(const BodyView& b) const;
        size_t operator()(const std::vector<uint64_t>& words) const;
    };
    struct Equal {
        using is_transparent = void;
        bool operator()(const std::vector<uint64_t>& a, const std::vector<uint64_t>& b) const {
            return a == b;
        }
        bool operator()(const BodyView& a, const std::vector<uint64_t>& b) const;
        bool operator()(const std::vector<uint64_t>& a, const BodyView& b) const {
            return (*this)(b, a);
        }
    };
    std::unordered_map<std::vector<uint64_t>, SignAnchor, Hash, Equal> last_;
};

}  // namespace kelvo
