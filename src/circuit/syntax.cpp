#include "circuit/syntax.h"

#include <algorithm>
#include <cstring>

#include "circuit/digits.h"
#include "circuit/fail.h"
#include "circuit/flat_size.h"
#include "circuit/numeric.h"
#include "circuit/targets.h"
#include "errors.h"

namespace kelvo {
namespace {

constexpr uint64_t kMaxRepeatCount = 2147483647;
constexpr uint64_t kRepeatCountBound = 1'000'000'000'000'000'000;

size_t wide_space_len_at(std::string_view s, size_t i);

// Byte length of the Unicode white space character starting at s[i], or 0.
inline size_t space_len_at(std::string_view s, size_t i) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) return (b == ' ' || (b >= 0x09 && b <= 0x0D)) ? 1 : 0;
    return wide_space_len_at(s, i);
}

size_t wide_space_len_at(std::string_view s, size_t i) {
    const auto b = static_cast<unsigned char>(s[i]);
    const auto at = [&](size_t k) {
        return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0;
    };
    if (b == 0xC2) return (at(1) == 0x85 || at(1) == 0xA0) ? 2 : 0;
    if (b == 0xE1) return (at(1) == 0x9A && at(2) == 0x80) ? 3 : 0;
    if (b == 0xE2) {
        const unsigned c1 = at(1), c2 = at(2);
        if (c1 == 0x80) {
            return ((c2 >= 0x80 && c2 <= 0x8A) || c2 == 0xA8 || c2 == 0xA9 || c2 == 0xAF) ? 3 : 0;
        }
        return (c1 == 0x81 && c2 == 0x9F) ? 3 : 0;
    }
    if (b == 0xE3) return (at(1) == 0x80 && at(2) == 0x80) ? 3 : 0;
    return 0;
}

// Byte length of the Unicode white space character ending just before s[end], or 0.
size_t space_len_before(std::string_view s, size_t end) {
    const auto b = static_cast<unsigned char>(s[end - 1]);
    if (b < 0x80) return (b == ' ' || (b >= 0x09 && b <= 0x0D)) ? 1 : 0;
    if (end >= 2 && space_len_at(s, end - 2) == 2) return 2;
    if (end >= 3 && space_len_at(s, end - 3) == 3) return 3;
    return 0;
}

bool is_ascii_letter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool is_name_byte(char c) {
    return is_ascii_letter(c) || (c >= '0' && c <= '9') || c == '_';
}

// Drops a comment: the first `#` outside square brackets (which do not nest) ends the line.
std::string_view strip_comment(std::string_view line) {
    const size_t hash = line.find('#');
    if (hash == std::string_view::npos) return line;
    bool in_brackets = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '[') {
            in_brackets = true;
        } else if (c == ']') {
            in_brackets = false;
        } else if (c == '#' && !in_brackets) {
            return line.substr(0, i);
        }
    }
    return line;
}

class Scanner {
  public:
    Scanner(std::string_view text, KelvoLineSink* sink, const CancellationCheck& cancel)
        : text_(text), sink_(sink), cancel_(cancel) {}

    KelvoNodeTree run() {
        size_t pos = 0;
        size_t line_number = 0;
        size_t next_poll = 0;
        while (pos < text_.size()) {
            // Polled by the text scanned rather than by line: a line costs little to scan.
            if (pos >= next_poll) {
                cancel_.check();
                next_poll = pos + kPollBytes;
            }
            const void* nl = std::memchr(text_.data() + pos, '\n', text_.size() - pos);
            const size_t end = nl ? static_cast<size_t>(static_cast<const char*>(nl) - text_.data())
                                  : text_.size();
            std::string_view line = text_.substr(pos, end - pos);
            if (nl && !line.empty() && line.back() == '\r') line.remove_suffix(1);
            pos = nl ? end + 1 : end;
            scan_line(strip_comment(line), ++line_number);
        }
        if (!open_.empty()) throw KelvoError::parse(line_number, "unterminated Kelvo block");
        return std::move(tree_);
    }

  private:
    struct OpenBlock {
        size_t node;
        size_t last_line = 0;
        FlatSize size;
    };

    FlatSize& current_size() { return open_.empty() ? tree_.size : open_.back().size; }

    void note_child(size_t line) {
        if (open_.empty()) {
            tree_.last_line = line;
        } else {
            open_.back().last_line = line;
        }
    }

    void scan_line(std::string_view line, size_t line_number) {
        line = trim_unicode_space(line);
        if (line.empty()) return;
        if (line == "}") {
            if (open_.empty()) fail(line_number, "unmatched Kelvo block terminator");
            KelvoNode& node = tree_.nodes[open_.back().node];
            node.end = tree_.nodes.size();
            KelvoBlock& block = tree_.blocks[node.block];
            block.last_line = open_.back().last_line;
            block.body_size = open_.back().size;
            open_.pop_back();
            current_size().add(block.body_size.times(block.count));
            return;
        }
        bool opens_block = false;
        if (line.back() == '{') {
            opens_block = true;
            line = trim_unicode_space(line.substr(0, line.size() - 1));
            if (line.empty()) fail(line_number, "invalid Kelvo instruction");
        }
        if (!is_ascii_letter(line[0])) fail(line_number, "invalid Kelvo instruction");
        size_t i = 1;
        while (i < line.size() && is_name_byte(line[i]))
            ++i;

        KelvoNode node;
        node.line = line_number;
        node.name = line.substr(0, i);
        // Consecutive lines often share their name; skip the table then.
        if (node.name != last_name_) {
            last_name_ = node.name;
            last_op_ = &lookup_op(node.name);
        }
        node.op = last_op_;

        if (i < line.size() && line[i] == '[') {
            const size_t close = line.find(']', i + 1);
            if (close == std::string_view::npos) fail(line_number, "unterminated Kelvo tag");
            i = close + 1;
        }
        node.args_begin = tree_.args.size();
        if (i < line.size() && line[i] == '(') {
            node.parens = true;
            i = scan_args(line, i, line_number);
        }
        node.args_count = tree_.args.size() - node.args_begin;
        node.target_text = line.substr(i);

        const bool is_repeat = node.op->kind == OpKind::Repeat;
        if (opens_block) {
            tokens_.clear();
            split_targets(node.target_text, tokens_);
            node.targets_count = tokens_.size();
            if (!is_repeat || node.parens || node.targets_count != 1) {
                fail(line_number, "invalid Kelvo REPEAT block");
            }
            node.block = tree_.blocks.size();
            tree_.blocks.push_back({repeat_count(tokens_[0], line_number), 0, {}});
            node.is_repeat = true;
            node.target_text = {};
            node.targets_count = 0;
            note_child(line_number);
            sink_ = nullptr;  // the rest is stored
            open_.push_back({tree_.nodes.size(), 0, {}});
            tree_.nodes.push_back(std::move(node));
            return;
        }
        if (is_repeat) fail(line_number, "REPEAT must start a block");
        node.targets_count = scan_targets(node.target_text, node.op->counts_qubits, line_number);
        const OpKind kind = node.op->kind;
        const bool qubit_list = kind == OpKind::QubitGate || kind == OpKind::Measurement ||
                                kind == OpKind::ProbabilityChannel || kind == OpKind::ArgsChannel;
        const bool record_list = kind == OpKind::Detector || kind == OpKind::ObservableInclude;
        if ((plain_ == PlainTargets::Qubits && qubit_list) ||
            (plain_ == PlainTargets::RecordOffsets && record_list)) {
            node.plain = plain_;
            node.plain_values.assign(plain_scratch_.data(), plain_scratch_.data() + plain_count_);
        }
        node.end = tree_.nodes.size() + 1;
        note_child(line_number);
        current_size().add(line_flat_size(*node.op, node.targets_count, node.args_count));
        if (sink_ && !streamable(kind)) sink_ = nullptr;
        if (sink_) {
            sink_->accept(tree_, node);
            tree_.args.resize(node.args_begin);
            return;
        }
        tree_.nodes.push_back(std::move(node));
    }

    // Reads `(...)` starting at line[open]; returns the index just past its partner.
    size_t scan_args(std::string_view line, size_t open, size_t line_number) {
        size_t depth = 0, close = open;
        for (; close < line.size(); ++close) {
            if (line[close] == '(') ++depth;
            if (line[close] == ')' && --depth == 0) break;
        }
        if (close >= line.size()) fail(line_number, "unterminated Kelvo argument list");
        const std::string_view inner = trim_unicode_space(line.substr(open + 1, close - open - 1));
        if (inner.empty()) return close + 1;
        size_t start = 0;
        long nesting = 0;
        for (size_t k = 0; k < inner.size(); ++k) {
            const char c = inner[k];
            if (c == '(') ++nesting;
            if (c == ')' && --nesting < 0) fail(line_number, "invalid numeric argument nesting");
            if (c == ',' && nesting == 0) {
                push_arg(inner.substr(start, k - start), line_number);
                start = k + 1;
            }
        }
        if (nesting != 0) fail(line_number, "invalid numeric argument nesting");
        push_arg(inner.substr(start), line_number);
        return close + 1;
    }

    void push_arg(std::string_view piece, size_t line_number) {
        tree_.args.push_back(evaluate_argument(trim_unicode_space(piece), line_number));
    }

    static uint64_t repeat_count(std::string_view token, size_t line_number) {
        uint64_t value = 0;
        bool too_big = false;
        for (const char c : token) {
            if (c < '0' || c > '9') fail(line_number, "REPEAT count must be in [1, 10^18]");
            if (!too_big) {
                value = value * 10 + static_cast<uint64_t>(c - '0');
                too_big = value > kRepeatCountBound;
            }
        }
        if (value == 0 || too_big) fail(line_number, "REPEAT count must be in [1, 10^18]");
        if (value > kMaxRepeatCount) {
            fail(line_number, "REPEAT count is too large for this flattened circuit frontend");
        }
        return value;
    }

    // Counts the tokens of a target text and, for lines that size the qubit count, notes the
    // qubits they name. Lines made only of plain qubits or only of plain `rec[-k]` keep those
    // values in plain_scratch_ (plain_ says which).
    size_t scan_targets(std::string_view text, bool counted, size_t line_number) {
        size_t count = 0, i = 0, plain_count = 0, largest = 0;
        bool any = false, qubits = true, records = true;
        // A token takes at least two bytes with its separator, so this never overflows.
        if (plain_scratch_.size() < text.size() / 2 + 1) plain_scratch_.resize(text.size() / 2 + 1);
        size_t* const plain = plain_scratch_.data();
        const size_t n = text.size();
        while (i < n) {
            if (const size_t w = space_len_at(text, i)) {
                i += w;
                continue;
            }
            ++count;
            const size_t start = i;
            size_t value;
            bool fits;
            if (records && text[i] == 'r' && text.substr(i, 5) == "rec[-") {
                const size_t digits = i + 5;
                i = read_digit_run(text, digits, value, fits);
                if (i > digits && i < n && text[i] == ']' &&
                    (i + 1 == n || space_len_at(text, i + 1))) {
                    plain[plain_count++] = fits ? value : SIZE_MAX;
                    qubits = false;
                    ++i;
                    continue;  // names no qubit
                }
            } else if (qubits) {
                i = read_digit_run(text, i, value, fits);
                if (i > start && fits && (i == n || space_len_at(text, i))) {
                    plain[plain_count++] = value;
                    records = false;
                    if (counted && (!any || value > largest)) {
                        largest = value;
                        any = true;
                    }
                    continue;
                }
            }
            qubits = records = false;
            i = start;
            while (i < n && !space_len_at(text, i))
                ++i;
            if (!counted) continue;
            const std::optional<size_t> q = max_qubit_candidate(text.substr(start, i - start));
            if (q && (!any || *q > largest)) {
                largest = *q;
                any = true;
            }
        }
        plain_count_ = plain_count;
        plain_ = qubits    ? PlainTargets::Qubits
                 : records ? PlainTargets::RecordOffsets
                           : PlainTargets::None;
        if (any) note_qubit(largest, line_number);
        return count;
    }

    void note_qubit(size_t q, size_t line_number) {
        if (!tree_.max_qubit || q > *tree_.max_qubit) tree_.max_qubit = q;
        if (q == SIZE_MAX && !tree_.unrepresentable_qubit_line) {
            tree_.unrepresentable_qubit_line = line_number;
        }
    }

    static constexpr size_t kPollBytes = size_t{1} << 16;

    std::string_view text_;
    KelvoLineSink* sink_;  // null once a line must wait for the qubit count
    const CancellationCheck& cancel_;
    KelvoNodeTree tree_;
    std::vector<OpenBlock> open_;
    std::vector<std::string_view> tokens_;     // a block header's targets
    PlainTargets plain_ = PlainTargets::None;  // what every target of the current line is
    std::vector<size_t> plain_scratch_;        // ... and these are they
    size_t plain_count_ = 0;
    std::string_view last_name_;
    const OpInfo* last_op_ = nullptr;
};

}  // namespace

std::string_view trim_unicode_space(std::string_view s) {
    size_t begin = 0, end = s.size();
    while (begin < end) {
        const size_t w = space_len_at(s, begin);
        if (!w) break;
        begin += w;
    }
    while (end > begin) {
        const size_t w = space_len_before(s, end);
        if (!w) break;
        end -= w;
    }
    return s.substr(begin, end - begin);
}

void split_targets(std::string_view text, std::vector<std::string_view>& out) {
    size_t i = 0;
    while (i < text.size()) {
        size_t w = space_len_at(text, i);
        if (w) {
            i += w;
            continue;
        }
        const size_t start = i;
        while (i < text.size() && space_len_at(text, i) == 0)
            ++i;
        out.push_back(text.substr(start, i - start));
    }
}

bool streamable(OpKind kind) {
    switch (kind) {
        case OpKind::Repeat:
        case OpKind::CorrelatedError:
        case OpKind::ElseCorrelatedError:
        case OpKind::AxisRotation:
        case OpKind::PairRotation:
        case OpKind::U3Rotation:
        case OpKind::PauliRotation:
        case OpKind::FixedRotation:
        case OpKind::ProductMeasurement:
        case OpKind::PairMeasurement:
        case OpKind::ExpVal:
            return false;
        default:
            return true;
    }
}

KelvoNodeTree parse_nodes(std::string_view text, KelvoLineSink* sink,
                          const CancellationCheck& cancel) {
    return Scanner(text, sink, cancel).run();
}

}  // namespace kelvo
