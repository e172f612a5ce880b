#include "circuit/parser.h"

#include <new>
#include <optional>
#include <string>
#include <vector>

#include "background_release.h"
#include "bits.h"
#include "circuit/builder.h"
#include "circuit/dispatch.h"
#include "circuit/file_read.h"
#include "circuit/noise.h"
#include "circuit/syntax.h"
#include "errors.h"
#include "memory.h"

namespace kelvo {
namespace {

// Lines appended between polls of the caller's check while REPEAT blocks unroll.
constexpr uint64_t kLinesPerPoll = 64;

// Makes room for one more instruction. A full list of millions of instructions takes about a
// second to move into a larger one, so a long list is moved here a slice at a time, polling
// `cancel` between slices, rather than by the vector's own growth.
void make_room(std::vector<CircuitInstruction>& list, const CancellationCheck& cancel) {
    constexpr size_t kSlice = size_t{1} << 16;
    if (list.size() < list.capacity() || list.size() < kSlice) return;
    std::vector<CircuitInstruction> grown;
    grown.reserve(2 * list.capacity());
    for (size_t i = 0; i < list.size(); ++i) {
        if (i % kSlice == 0) cancel.check();
        grown.push_back(std::move(list[i]));
    }
    list = std::move(grown);
}

// Estimated bytes of one node once unrolled.
uint64_t node_bytes(const KelvoNodeTree& tree, const KelvoNode& node, uint64_t product_bytes) {
    const FlatSize size = node.is_repeat
                              ? tree.block_of(node).body_size.times(tree.block_of(node).count)
                              : line_flat_size(*node.op, node.targets_count, node.args_count);
    return size.bytes(product_bytes);
}

// Names the first node whose expansion crosses the budget: a REPEAT whose passes together do
// not fit is a parse error on its line; a single line too large for memory is bad_alloc.
[[noreturn]] void refuse_oversized(const KelvoNodeTree& tree, uint64_t product_bytes,
                                   uint64_t budget) {
    size_t begin = 0, end = tree.nodes.size();
    for (;;) {
        uint64_t used = 0;
        size_t j = begin;
        for (; j < end; j = tree.nodes[j].end) {
            const uint64_t bytes = node_bytes(tree, tree.nodes[j], product_bytes);
            if (saturating_add(used, bytes) > budget) break;
            used += bytes;
        }
        if (j >= end) throw std::bad_alloc();  // unreachable when the total exceeds the budget
        const KelvoNode& node = tree.nodes[j];
        if (!node.is_repeat) {
            throw MemoryShortage::beyond("the instruction on line " + std::to_string(node.line),
                                         node_bytes(tree, node, product_bytes), budget - used);
        }
        const uint64_t remaining = budget - used;
        if (tree.block_of(node).body_size.bytes(product_bytes) <= remaining) {
            throw KelvoError::parse(
                node.line, "REPEAT count is too large for this flattened circuit frontend");
        }
        begin = j + 1;
        end = node.end;
        budget = remaining;
    }
}

// Appends every node, unrolling REPEAT blocks pass by pass with an explicit stack, polling
// `cancel` every few lines.
void append_nodes(KelvoCircuitBuilder& builder, KelvoNodeTree& tree,
                  const CancellationCheck& cancel) {
    struct Pass {
        size_t block;
        uint64_t left;
    };
    std::vector<Pass> open;
    std::vector<std::string_view> scratch;
    std::vector<KelvoNode>& nodes = tree.nodes;
    size_t i = 0;
    uint64_t appended = 0;
    for (;;) {
        const size_t end = open.empty() ? nodes.size() : nodes[open.back().block].end;
        if (i < end) {
            KelvoNode& node = nodes[i];
            if (!node.is_repeat) {
                if (++appended % kLinesPerPoll == 0) cancel.check();
                KelvoInstructionView view = tree.view(node, scratch);
                // Outside every block a node is appended once, so its list can be moved.
                view.set_plain(node.plain, &node.plain_values, open.empty());
                append_instruction(builder, view);
                i = node.end;
                continue;
            }
            flush_correlated_error_group(builder, node.line);
            const KelvoBlock& block = tree.block_of(node);
            if (block.body_size.lines == 0) {  // nothing to repeat
                i = node.end;
            } else {
                open.push_back({i, block.count});
                ++i;
            }
            continue;
        }
        if (open.empty()) {
            flush_correlated_error_group(builder, tree.last_line);
            return;
        }
        Pass& pass = open.back();
        flush_correlated_error_group(builder, tree.block_of(nodes[pass.block]).last_line);
        if (--pass.left > 0) {
            i = pass.block + 1;
        } else {
            i = nodes[pass.block].end;
            open.pop_back();
        }
    }
}

// Appends the leading lines while the scan runs. The first refused line is kept, not thrown:
// syntax errors anywhere in the text, an unrepresentable qubit count and an oversized REPEAT
// are all reported before it, exactly as if every line had waited for the scan.
class StreamingAppend final : public KelvoLineSink {
  public:
    StreamingAppend(KelvoCircuitBuilder& builder, const CancellationCheck& cancel)
        : builder_(builder), cancel_(cancel) {}

    void accept(const KelvoNodeTree& tree, KelvoNode& node) override {
        if (refused_) return;
        make_room(builder_.instructions, cancel_);
        KelvoInstructionView view = tree.view(node, scratch_);
        view.set_plain(node.plain, &node.plain_values, true);
        try {
            append_instruction(builder_, view);
        } catch (KelvoError& e) {
            refused_ = std::move(e);
        }
    }

    const std::optional<KelvoError>& refused() const { return refused_; }

  private:
    KelvoCircuitBuilder& builder_;
    const CancellationCheck& cancel_;
    std::vector<std::string_view> scratch_;
    std::optional<KelvoError> refused_;
};

}  // namespace

namespace detail {

Circuit parse_kelvo_circuit_text(std::string_view text, std::optional<uint64_t> memory_budget,
                                 const CancellationCheck& cancel) {
    const CallClock call;
    KelvoCircuitBuilder builder;
    StreamingAppend streaming(builder, cancel);
    const ReleaseOnUnwind release_builder(builder);
    KelvoNodeTree tree = parse_nodes(text, &streaming, cancel);
    const ReleaseOnUnwind release_tree(tree);
    if (tree.unrepresentable_qubit_line) {
        throw KelvoError::parse(*tree.unrepresentable_qubit_line, "qubit index is too large");
    }
    builder.num_qubits = tree.max_qubit ? *tree.max_qubit + 1 : 0;
    const uint64_t product_bytes = saturating_add(
        sizeof(CircuitPauliProduct), saturating_mul(16, word_count(builder.num_qubits)));
    const uint64_t bytes = tree.size.bytes(product_bytes);
    if (memory_budget) {
        if (bytes > *memory_budget) refuse_oversized(tree, product_bytes, *memory_budget);
    } else {
        try {
            require_memory(bytes, "the flattened circuit");
        } catch (const std::bad_alloc&) {
            refuse_oversized(tree, product_bytes, usable_memory_bytes());
        }
    }
    if (streaming.refused()) throw *streaming.refused();
    // Bounded by the budget: every line costs more than a byte.
    builder.instructions.reserve(static_cast<size_t>(tree.size.lines));
    append_nodes(builder, tree, cancel);
    return builder.finish();
}

}  // namespace detail

Circuit parse_kelvo_circuit_text(std::string_view text, const CancellationCheck& cancel) {
    return detail::parse_kelvo_circuit_text(text, std::nullopt, cancel);
}

Circuit parse_kelvo_circuit_file(std::string_view path, const CancellationCheck& cancel) {
    return parse_kelvo_circuit_text(read_circuit_file(path, cancel).view(), cancel);
}

}  // namespace kelvo
