#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace kelvo {

// Moves a buffer out of its owner for the duration of a scope and puts it back on every path,
// so a failing instruction leaves the owner's buffer in place for the next call.
class BufferLoan {
  public:
    explicit BufferLoan(std::vector<uint64_t>& home) : home_(home), bits_(std::move(home)) {}
    ~BufferLoan() { home_ = std::move(bits_); }
    BufferLoan(const BufferLoan&) = delete;
    BufferLoan& operator=(const BufferLoan&) = delete;
    std::vector<uint64_t>& bits() { return bits_; }

  private:
    std::vector<uint64_t>& home_;
    std::vector<uint64_t> bits_;
};

}  // namespace kelvo
