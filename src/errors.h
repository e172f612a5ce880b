// The error values of the core library and the fatal-assertion mechanism.
#pragma once

#include <cstdint>
#include <exception>
#include <source_location>
#include <string>
#include <string_view>
#include <system_error>

namespace kelvo {

// A broken precondition (index out of range, mismatched dimensions). It aborts the current
// call; nothing inside the core catches it except a sampling worker, which reports it as
// the WorkerPanic kind.
class FatalError : public std::exception {
  public:
    FatalError(std::string message, std::string location)
        : message_(std::move(message)), location_(std::move(location)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& location() const { return location_; }

  private:
    std::string message_;
    std::string location_;
};

[[noreturn]] void fatal(std::string_view message,
                        std::source_location where = std::source_location::current());

// Aborts the call with `message` unless `condition` holds.
#define KELVO_ASSERT(condition, message)           \
    do {                                           \
        if (!(condition)) ::kelvo::fatal(message); \
    } while (0)

// Equality and inequality assertions whose report shows both values:
// "assertion `left == right` failed: <message>\n  left: <a>\n right: <b>" (no ": <message>"
// part when the message is empty).
[[noreturn]] void fatal_compare(const char* op, uint64_t left, uint64_t right,
                                std::string_view message,
                                std::source_location where = std::source_location::current());

#define KELVO_ASSERT_EQ(left, right, message)                                 \
    do {                                                                      \
        const uint64_t kelvo_left_ = (left), kelvo_right_ = (right);          \
        if (kelvo_left_ != kelvo_right_)                                      \
            ::kelvo::fatal_compare("==", kelvo_left_, kelvo_right_, message); \
    } while (0)

#define KELVO_ASSERT_NE(left, right, message)                                 \
    do {                                                                      \
        const uint64_t kelvo_left_ = (left), kelvo_right_ = (right);          \
        if (kelvo_left_ == kelvo_right_)                                      \
            ::kelvo::fatal_compare("!=", kelvo_left_, kelvo_right_, message); \
    } while (0)

enum class KelvoErrorKind : uint8_t { InvalidInput, Parse, Io, Unsupported, Internal, WorkerPanic };

// The one error value of subsystems 1-4. `what()` is the text a Python user reads.
class KelvoError : public std::exception {
  public:
    static KelvoError invalid_input(std::string message);
    static KelvoError parse(uint64_t line, std::string_view message);
    static KelvoError io(std::string_view path, std::error_code source);
    static KelvoError unsupported(std::string message);
    static KelvoError internal(std::string message);
    static KelvoError worker_panic();

    KelvoErrorKind kind() const { return kind_; }
    const char* what() const noexcept override;
    // The same text, whole even when a path in it holds a NUL byte.
    std::string_view message() const;
    uint64_t line() const { return line_; }
    const std::string& path() const { return path_; }
    std::error_code source() const { return source_; }

    // Kind name and fields, e.g. `Parse { line: 3, message: "line 3: x" }`.
    std::string debug() const;

  private:
    KelvoError(KelvoErrorKind kind, std::string message)
        : kind_(kind), message_(std::move(message)) {}

    KelvoErrorKind kind_;
    std::string message_;
    uint64_t line_ = 0;
    std::string path_;
    std::error_code source_;
};

// The system refused a worker thread: a shortage of threads or of memory, not a broken
// invariant. what() is "failed to spawn thread: {the system's error}". `memory_short` tells
// that memory was what ran out (a thread stack could no longer be mapped), rather than a limit
// on threads.
class ThreadSpawnError : public std::system_error {
  public:
    ThreadSpawnError(std::error_code code, bool memory_short)
        : std::system_error(code, "failed to spawn thread"), memory_short_(memory_short) {}
    bool memory_short() const { return memory_short_; }

  private:
    bool memory_short_;
};

}  // namespace kelvo
