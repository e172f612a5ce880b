#include "errors.h"

#include "format.h"

namespace kelvo {

void fatal(std::string_view message, std::source_location where) {
    throw FatalError(std::string(message),
                     std::string(where.file_name()) + ":" + std::to_string(where.line()));
}

void fatal_compare(const char* op, uint64_t left, uint64_t right, std::string_view message,
                   std::source_location where) {
    std::string text = std::string("assertion `left ") + op + " right` failed";
    if (!message.empty()) text += ": " + std::string(message);
    text += "\n  left: " + std::to_string(left) + "\n right: " + std::to_string(right);
    fatal(text, where);
}

KelvoError KelvoError::invalid_input(std::string message) {
    return KelvoError(KelvoErrorKind::InvalidInput, std::move(message));
}

KelvoError KelvoError::parse(uint64_t line, std::string_view message) {
    KelvoError e(KelvoErrorKind::Parse,
                 "line " + std::to_string(line) + ": " + std::string(message));
    e.line_ = line;
    return e;
}

KelvoError KelvoError::io(std::string_view path, std::error_code source) {
    KelvoError e(KelvoErrorKind::Io, "failed to read circuit file: " + utf8_lossy(path));
    e.path_ = std::string(path);
    e.source_ = source;
    return e;
}

KelvoError KelvoError::unsupported(std::string message) {
    return KelvoError(KelvoErrorKind::Unsupported, std::move(message));
}

KelvoError KelvoError::internal(std::string message) {
    return KelvoError(KelvoErrorKind::Internal, std::move(message));
}

KelvoError KelvoError::worker_panic() {
    return KelvoError(KelvoErrorKind::WorkerPanic, {});
}

const char* KelvoError::what() const noexcept {
    return kind_ == KelvoErrorKind::WorkerPanic ? "batch worker panicked" : message_.c_str();
}

std::string_view KelvoError::message() const {
    if (kind_ == KelvoErrorKind::WorkerPanic) return "batch worker panicked";
    return message_;
}

std::string KelvoError::debug() const {
    const std::string message = "message: " + debug_string(message_);
    switch (kind_) {
        case KelvoErrorKind::InvalidInput:
            return "InvalidInput { " + message + " }";
        case KelvoErrorKind::Parse:
            return "Parse { line: " + std::to_string(line_) + ", " + message + " }";
        case KelvoErrorKind::Io:
            return "Io { path: " + debug_string(utf8_lossy(path_)) + ", " + message +
                   ", source: Os { code: " + std::to_string(source_.value()) +
                   ", message: " + debug_string(source_.message()) + " } }";
        case KelvoErrorKind::Unsupported:
            return "Unsupported { " + message + " }";
        case KelvoErrorKind::Internal:
            return "Internal { " + message + " }";
        case KelvoErrorKind::WorkerPanic:
            break;
    }
    return "WorkerPanic";
}

}  // namespace kelvo
