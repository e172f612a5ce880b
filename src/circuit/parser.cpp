#include "circuit/parser.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "bits.h"
#include "circuit/builder.h"
#include "circuit/dispatch.h"
#include "circuit/noise.h"
#include "circuit/syntax.h"
#include "errors.h"
#include "format.h"

namespace kelvo {
namespace {

uint64_t saturating_add(uint64_t a, uint64_t b) {
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}
uint64_t saturating_mul(uint64_t a, uint64_t b) {
    if (a == 0 || b == 0) return 0;
    return a > UINT64_MAX / b ? UINT64_MAX : a * b;
}

uint64_t physical_memory_bytes() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page_size <= 0) return uint64_t{16} << 30;
    return saturating_mul(static_cast<uint64_t>(pages), static_cast<uint64_t>(page_size));
}

// Upper estimate of the dense Pauli products an instruction line creates.
uint64_t product_count(const KelvoNode& node) {
    switch (node.op->kind) {
        case OpKind::CorrelatedError:
        case OpKind::ElseCorrelatedError:
            return 1;
        case OpKind::U3Rotation:
            return saturating_mul(3, node.targets_count);
        case OpKind::AxisRotation:
        case OpKind::PairRotation:
        case OpKind::PauliRotation:
        case OpKind::FixedRotation:
        case OpKind::ProductMeasurement:
        case OpKind::PairMeasurement:
        case OpKind::ExpVal:
            return node.targets_count;
        default:
            return 0;
    }
}

// Estimated bytes of every subtree once flattened. Unrolling is refused up front when the
// whole circuit could not fit in memory, so hostile REPEAT nesting fails fast instead of
// exhausting the machine or looping for ages. A REPEAT body without instructions costs
// nothing and is not iterated.
std::vector<uint64_t> flattened_costs(const KelvoNodeTree& tree, size_t num_qubits) {
    const uint64_t product_bytes =
        saturating_add(sizeof(CircuitPauliProduct), saturating_mul(16, word_count(num_qubits)));
    std::vector<uint64_t> cost(tree.nodes.size());
    for (size_t i = tree.nodes.size(); i-- > 0;) {
        const KelvoNode& node = tree.nodes[i];
        if (!node.is_repeat) {
            uint64_t c = sizeof(CircuitInstruction) + 16 * uint64_t{node.targets_count} +
                         8 * uint64_t{node.args_count};
            cost[i] = saturating_add(c, saturating_mul(product_count(node), product_bytes));
            continue;
        }
        uint64_t body = 0;
        for (size_t j = i + 1; j < node.end; j = tree.nodes[j].end) {
            body = saturating_add(body, cost[j]);
        }
        cost[i] = saturating_mul(body, node.count);
    }
    return cost;
}

uint64_t list_cost(const KelvoNodeTree& tree, const std::vector<uint64_t>& cost, size_t begin,
                   size_t end) {
    uint64_t total = 0;
    for (size_t j = begin; j < end; j = tree.nodes[j].end)
        total = saturating_add(total, cost[j]);
    return total;
}

// Instruction lines met while unrolling (an estimate of the instruction count); bounded by
// the budget check that precedes it.
size_t flattened_lines(const KelvoNodeTree& tree, const std::vector<uint64_t>& cost) {
    std::vector<uint64_t> lines(tree.nodes.size());
    for (size_t i = tree.nodes.size(); i-- > 0;) {
        const KelvoNode& node = tree.nodes[i];
        if (!node.is_repeat) {
            lines[i] = 1;
            continue;
        }
        uint64_t body = 0;
        for (size_t j = i + 1; j < node.end; j = tree.nodes[j].end)
            body += lines[j];
        lines[i] = cost[i] == 0 ? 0 : body * node.count;
    }
    uint64_t total = 0;
    for (size_t j = 0; j < tree.nodes.size(); j = tree.nodes[j].end)
        total += lines[j];
    return static_cast<size_t>(total);
}

// Names the first node whose expansion crosses the budget: a REPEAT whose passes together do
// not fit is a parse error on its line; a single line too large for memory is bad_alloc.
[[noreturn]] void refuse_oversized(const KelvoNodeTree& tree, const std::vector<uint64_t>& cost,
                                   uint64_t budget) {
    size_t begin = 0, end = tree.nodes.size();
    for (;;) {
        uint64_t used = 0;
        size_t j = begin;
        for (; j < end; j = tree.nodes[j].end) {
            if (saturating_add(used, cost[j]) > budget) break;
            used += cost[j];
        }
        if (j >= end) throw std::bad_alloc();  // unreachable when the total exceeds the budget
        const KelvoNode& node = tree.nodes[j];
        if (!node.is_repeat) throw std::bad_alloc();
        const uint64_t remaining = budget - used;
        if (list_cost(tree, cost, j + 1, node.end) <= remaining) {
            throw KelvoError::parse(
                node.line, "REPEAT count is too large for this flattened circuit frontend");
        }
        begin = j + 1;
        end = node.end;
        budget = remaining;
    }
}

// Appends every node, unrolling REPEAT blocks pass by pass with an explicit stack.
void append_nodes(KelvoCircuitBuilder& builder, KelvoNodeTree& tree,
                  const std::vector<uint64_t>& cost) {
    struct Pass {
        size_t block;
        uint64_t left;
    };
    std::vector<Pass> open;
    std::vector<std::string_view> scratch;
    std::vector<KelvoNode>& nodes = tree.nodes;
    size_t i = 0;
    for (;;) {
        const size_t end = open.empty() ? nodes.size() : nodes[open.back().block].end;
        if (i < end) {
            KelvoNode& node = nodes[i];
            if (!node.is_repeat) {
                KelvoInstructionView view = tree.view(node, scratch);
                // Outside every block a node is appended once, so its list can be moved.
                if (node.plain) view.set_plain_qubits(&node.plain_qubits, open.empty());
                append_instruction(builder, view);
                i = node.end;
                continue;
            }
            flush_correlated_error_group(builder, node.line);
            if (cost[i] == 0) {
                i = node.end;
            } else {
                open.push_back({i, node.count});
                ++i;
            }
            continue;
        }
        if (open.empty()) {
            flush_correlated_error_group(builder, tree.last_line);
            return;
        }
        Pass& pass = open.back();
        flush_correlated_error_group(builder, nodes[pass.block].last_line);
        if (--pass.left > 0) {
            i = pass.block + 1;
        } else {
            i = nodes[pass.block].end;
            open.pop_back();
        }
    }
}

[[noreturn]] void fail_io(std::string_view path, int error) {
    throw KelvoError::io(path, std::error_code(error, std::system_category()));
}

std::string read_file(std::string_view path) {
    const std::string name(path);
    if (name.find('\0') != std::string::npos) fail_io(path, EINVAL);
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) fail_io(path, errno);
    std::string contents;
    struct stat info;
    if (::fstat(fd, &info) == 0 && info.st_size > 0) {
        contents.reserve(static_cast<size_t>(info.st_size));
    }
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            fail_io(path, error);
        }
        if (n == 0) break;
        contents.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return contents;
}

}  // namespace

namespace detail {

Circuit parse_kelvo_circuit_text(std::string_view text, uint64_t memory_budget) {
    KelvoNodeTree tree = parse_nodes(text);
    if (tree.unrepresentable_qubit_line) {
        throw KelvoError::parse(*tree.unrepresentable_qubit_line, "qubit index is too large");
    }
    KelvoCircuitBuilder builder;
    builder.num_qubits = tree.max_qubit ? *tree.max_qubit + 1 : 0;
    const std::vector<uint64_t> cost = flattened_costs(tree, builder.num_qubits);
    if (list_cost(tree, cost, 0, tree.nodes.size()) > memory_budget) {
        refuse_oversized(tree, cost, memory_budget);
    }
    builder.instructions.reserve(flattened_lines(tree, cost));
    append_nodes(builder, tree, cost);
    return builder.finish();
}

}  // namespace detail

Circuit parse_kelvo_circuit_text(std::string_view text) {
    return detail::parse_kelvo_circuit_text(text, physical_memory_bytes());
}

Circuit parse_kelvo_circuit_file(std::string_view path) {
    const std::string contents = read_file(path);
    if (!is_valid_utf8(contents)) {
        throw KelvoError::io(path, std::make_error_code(std::errc::illegal_byte_sequence));
    }
    return parse_kelvo_circuit_text(contents);
}

}  // namespace kelvo
