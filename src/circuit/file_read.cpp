#include "circuit/file_read.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <span>
#include <system_error>

#include "errors.h"
#include "format.h"
#include "memory.h"

namespace kelvo {
namespace {

constexpr size_t kReadBytes = size_t{1} << 20;

[[noreturn]] void fail_io(std::string_view path, std::errc error) {
    throw KelvoError::io(path, std::make_error_code(error));
}

[[noreturn]] void fail_io(std::string_view path, int error) {
    throw KelvoError::io(path, std::error_code(error, std::system_category()));
}

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { ::close(fd_); }
    int get() const { return fd_; }

  private:
    int fd_;
};

// Opening a FIFO blocks until a writer comes; a signal ends the wait with EINTR.
FileDescriptor open_file(std::string_view path, const CancellationCheck& cancel) {
    const std::string name(path);
    if (name.find('\0') != std::string::npos) fail_io(path, EINVAL);
    for (;;) {
        const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) return FileDescriptor(fd);
        if (errno != EINTR) fail_io(path, errno);
        cancel.check_now();
    }
}

// The bytes read so far, grown only through the memory guard (or the explicit budget).
class TextBuffer {
  public:
    explicit TextBuffer(std::optional<uint64_t> budget) : budget_(budget) {}

    // Room for at least `bytes` in all.
    void reserve(uint64_t bytes) {
        if (bytes <= capacity_) return;
        if (!budget_) {
            // Large blocks grow by remapping their pages, so only the growth is new memory.
            require_memory(bytes - capacity_, "the circuit file's contents");
        } else if (bytes > *budget_) {
            throw std::bad_alloc();
        }
        char* const grown = static_cast<char*>(std::realloc(bytes_.get(), bytes));
        if (grown == nullptr) throw std::bad_alloc();
        bytes_.release();  // realloc has freed or kept it
        bytes_.reset(grown);
        capacity_ = bytes;
    }

    // The free space after the bytes read, at least one byte (grown geometrically).
    std::span<char> free_space() {
        if (size_ == capacity_) reserve(std::max<uint64_t>(2 * capacity_, kFirstBytes));
        return {bytes_.get() + size_, capacity_ - size_};
    }
    void commit(size_t n) { size_ += n; }

    std::string_view view() const { return {bytes_.get(), size_}; }
    FileText take() && { return FileText(std::move(bytes_), size_); }

  private:
    static constexpr uint64_t kFirstBytes = uint64_t{1} << 16;

    std::optional<uint64_t> budget_;
    FileText::Bytes bytes_;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

}  // namespace

namespace detail {

FileText read_circuit_file(std::string_view path, const CancellationCheck& cancel,
                           std::optional<uint64_t> memory_budget) {
    const FileDescriptor file = open_file(path, cancel);
    TextBuffer buffer(memory_budget);
    struct stat info;
    if (::fstat(file.get(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
        // One more byte, so that reading the end needs no growth.
        buffer.reserve(static_cast<uint64_t>(info.st_size) + 1);
    }
    size_t checked = 0;  // bytes known to be whole UTF-8 characters
    for (;;) {
        const std::span<char> space = buffer.free_space();
        const ssize_t n = ::read(file.get(), space.data(), std::min(space.size(), kReadBytes));
        if (n < 0) {
            if (errno != EINTR) fail_io(path, errno);
            cancel.check_now();
            continue;
        }
        if (n == 0) break;
        buffer.commit(static_cast<size_t>(n));
        // Refused as soon as it arrives; a character cut by this read waits for the next.
        const std::optional<size_t> whole = utf8_whole_prefix(buffer.view().substr(checked));
        if (!whole) fail_io(path, std::errc::illegal_byte_sequence);
        checked += *whole;
        // A source that keeps sending never blocks: look between reads too.
        cancel.check();
    }
    if (checked != buffer.view().size()) fail_io(path, std::errc::illegal_byte_sequence);
    return std::move(buffer).take();
}

}  // namespace detail

FileText read_circuit_file(std::string_view path, const CancellationCheck& cancel) {
    return detail::read_circuit_file(path, cancel, std::nullopt);
}

}  // namespace kelvo
