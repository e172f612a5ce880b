// Line syntax: comments, tags, parenthesised arguments, targets and REPEAT blocks, scanned
// into a flat tree of nodes before any instruction is interpreted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "cancellation.h"
#include "circuit/flat_size.h"
#include "circuit/names.h"

namespace kelvo {

enum class PlainTargets : uint8_t { None, Qubits, RecordOffsets };

// What a REPEAT block adds to its node.
struct KelvoBlock {
    uint64_t count = 0;    // repetitions, 1 to 2147483647
    size_t last_line = 0;  // line of the last node of its body, 0 when empty
    FlatSize body_size;    // one pass over its body
};

// One parsed line or one REPEAT block. Nodes are stored in pre-order: a block's body is the
// nodes from its own index + 1 up to `end`, so nesting costs no recursion anywhere.
struct KelvoNode {
    size_t line = 0;  // 1-based; for a block, the line of its REPEAT header
    size_t end = 0;   // index one past this node's subtree
    const OpInfo* op = nullptr;
    std::string_view name;  // as written (the messages upper-case it)
    size_t args_begin = 0, args_count = 0;
    std::string_view target_text;  // everything after the name, tag and arguments
    size_t targets_count = 0;
    size_t block = 0;     // block: index of its KelvoBlock
    bool parens = false;  // a `(` directly followed the name or tag, even if empty
    bool is_repeat = false;
    // Lines whose targets are all plain qubit indices (qubit-list instructions) or all plain
    // `rec[-k]` (record lists) carry them already read, so the second stage does not read the
    // text again. Record offsets too large for 64 bits are kept as SIZE_MAX.
    PlainTargets plain = PlainTargets::None;
    std::vector<size_t> plain_values;
};

// Splits target text at runs of Unicode white space, appending the tokens to `out`.
void split_targets(std::string_view text, std::vector<std::string_view>& out);

// One instruction line as the dispatch reads it. Its target tokens are split on first use
// into a scratch list that the view borrows, so lines read by a fast path are never split.
class KelvoInstructionView {
  public:
    KelvoInstructionView(const OpInfo* op, std::string_view name, std::span<const double> args,
                         std::string_view target_text, size_t target_count, size_t line,
                         bool parens, std::vector<std::string_view>& scratch)
        : op(op),
          name(name),
          args(args),
          target_text(target_text),
          target_count(target_count),
          line(line),
          parens(parens),
          scratch_(&scratch) {}

    // The targets as the scanner read them (see KelvoNode::plain). With `movable` the view may
    // hand out the node's own list (its last use).
    void set_plain(PlainTargets kind, std::vector<size_t>* values, bool movable) {
        plain_kind_ = kind;
        plain_values_ = values;
        plain_movable_ = movable;
    }
    bool has_plain(PlainTargets kind) const { return plain_kind_ == kind; }
    std::vector<size_t> take_plain() const {
        return plain_movable_ ? std::move(*plain_values_) : *plain_values_;
    }
    const std::vector<size_t>& plain_values() const { return *plain_values_; }

    std::span<const std::string_view> targets() const {
        if (!split_) {
            scratch_->clear();
            split_targets(target_text, *scratch_);
            split_ = true;
        }
        return *scratch_;
    }

    const OpInfo* op;
    std::string_view name;  // as written
    std::span<const double> args;
    std::string_view target_text;
    size_t target_count;  // number of target tokens
    size_t line;
    bool parens;

  private:
    std::vector<std::string_view>* scratch_;
    mutable bool split_ = false;
    PlainTargets plain_kind_ = PlainTargets::None;
    std::vector<size_t>* plain_values_ = nullptr;
    bool plain_movable_ = false;
};

// The scanned text. Target texts point into the text, which must outlive the tree.
struct KelvoNodeTree {
    std::vector<KelvoNode> nodes;
    std::vector<KelvoBlock> blocks;
    std::vector<double> args;
    size_t last_line = 0;  // line of the last top-level node, 0 when there is none
    FlatSize size;         // the whole text unrolled
    // Largest qubit index named by a counted target, and the first line naming the largest
    // representable index (one more would not fit in a qubit count).
    std::optional<size_t> max_qubit;
    std::optional<size_t> unrepresentable_qubit_line;

    std::span<const double> args_of(const KelvoNode& n) const {
        return {args.data() + n.args_begin, n.args_count};
    }
    const KelvoBlock& block_of(const KelvoNode& n) const { return blocks[n.block]; }
    KelvoInstructionView view(const KelvoNode& n, std::vector<std::string_view>& scratch) const {
        return {n.op,   n.name,   args_of(n), n.target_text, n.targets_count,
                n.line, n.parens, scratch};
    }
};

// Takes top-level instruction lines as they are scanned, while every line so far can be
// interpreted without knowing the circuit's final qubit count: no REPEAT block yet, and no
// line that builds dense Pauli products. Lines handed to it are not stored in the tree; the
// node is the sink's to consume (its plain values may be moved out).
class KelvoLineSink {
  public:
    virtual void accept(const KelvoNodeTree& tree, KelvoNode& node) = 0;

  protected:
    ~KelvoLineSink() = default;
};

// Scans every line of `text`; throws KelvoError (Parse kind) at the first syntax error. With a
// sink, the leading lines it can take go to it instead of into the tree. `cancel` is polled
// as the scan advances (Cancelled when it asks to stop).
KelvoNodeTree parse_nodes(std::string_view text, KelvoLineSink* sink = nullptr,
                          const CancellationCheck& cancel = {});

// Whether lines of `kind` can be interpreted before the qubit count is known.
bool streamable(OpKind kind);

// Unicode white space handling shared by the scanner (exposed for tests).
std::string_view trim_unicode_space(std::string_view s);

}  // namespace kelvo
