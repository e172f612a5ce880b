// Reading a circuit file whole: bounded by the memory guard, checked as UTF-8 while it arrives,
// and cancellable while it blocks or flows. The source may be endless (/dev/zero, a pipe fed
// forever) or block for as long as it likes (a FIFO without a writer, an idle terminal).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "cancellation.h"

namespace kelvo {

// The bytes of a file read whole. Held in a malloc'd block so that growing it while reading
// can remap pages instead of copying them.
class FileText {
  public:
    struct Free {
        void operator()(char* bytes) const noexcept { std::free(bytes); }
    };
    using Bytes = std::unique_ptr<char[], Free>;

    FileText(Bytes bytes, size_t size) : bytes_(std::move(bytes)), size_(size) {}
    std::string_view view() const { return {bytes_.get(), size_}; }

  private:
    Bytes bytes_;
    size_t size_;
};

// The file's contents. Throws KelvoError (Io kind) "failed to read circuit file: {path}" when
// the file cannot be opened or read, or as soon as a byte that is not UTF-8 arrives, and
// std::bad_alloc as soon as the contents outgrow the memory available now. `cancel` is polled
// between reads and at once when a blocking open or read was interrupted by a signal (before
// it is retried); when it asks to stop, the read ends with Cancelled.
FileText read_circuit_file(std::string_view path, const CancellationCheck& cancel = {});

namespace detail {

// As read_circuit_file, with an explicit bound in bytes on the buffer instead of the memory
// available now.
FileText read_circuit_file(std::string_view path, const CancellationCheck& cancel,
                           std::optional<uint64_t> memory_budget);

}  // namespace detail
}  // namespace kelvo
