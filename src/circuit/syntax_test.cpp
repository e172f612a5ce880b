#include "circuit/syntax.h"

#include <gtest/gtest.h>

#include <string>

#include "circuit/test_util.h"

namespace kelvo {
namespace {

using testing::parse;
using testing::parse_error;

TEST(LineSyntax, EmptyTextsAndCommentsGiveAnEmptyCircuit) {
    for (const char* text : {"", "\n", "\n\n  \t\n", "# only a comment\n\n# another", "\r\n"}) {
        const Circuit c = parse(text);
        EXPECT_TRUE(c.instructions.empty()) << text;
        EXPECT_TRUE(c.detectors.empty());
        EXPECT_EQ(c.num_qubits, 0u);
        EXPECT_EQ(c.num_measurements, 0u);
        EXPECT_EQ(c.observable_count(), 0u);
    }
}

TEST(LineSyntax, CommentsEndTheLineOutsideBrackets) {
    const Circuit c = parse("H 0 # H 5\nH[my tag # not a comment] 1\nM 2\nDETECTOR rec[-1]#x");
    EXPECT_EQ(c.num_qubits, 3u);
    ASSERT_EQ(c.instructions.size(), 3u);
    EXPECT_EQ(c.instructions[0].qubits, std::vector<size_t>{0});
    EXPECT_EQ(c.instructions[1].qubits, std::vector<size_t>{1});
    EXPECT_EQ(c.detectors.size(), 1u);
    // Brackets do not nest: the first `]` closes, so the `#` after it starts a comment.
    EXPECT_EQ(parse("H[a[b]#] 0").instructions[0].qubits, std::vector<size_t>{});
}

TEST(LineSyntax, NamesAreCaseInsensitiveAndTagsIgnored) {
    const Circuit c = parse("h 0\nH 0\ncx[tag] 0 1\nx_error(0.5) 1");
    EXPECT_EQ(c.instructions[0].gate, CircuitGate::H);
    EXPECT_EQ(c.instructions[1].gate, CircuitGate::H);
    EXPECT_EQ(c.instructions[2].gate, CircuitGate::CX);
    EXPECT_EQ(c.instructions[3].gate, CircuitGate::X_ERROR);
    EXPECT_EQ(parse_error("foo 0"), "line 1: unsupported Kelvo operation: FOO");
    EXPECT_EQ(parse_error("H[unclosed 0"), "line 1: unterminated Kelvo tag");
}

TEST(LineSyntax, LineEndingsAndLineNumbers) {
    // CRLF, blank lines and comment lines all count as lines.
    EXPECT_EQ(parse_error("H 0\r\n\r\n# c\r\nH x\r\n"), "line 4: invalid qubit target");
    EXPECT_EQ(parse("H 0\r\nM 0\r\n").instructions[1].line, 2u);
    EXPECT_EQ(parse_error("\n\n  !H 0"), "line 3: invalid Kelvo instruction");
    EXPECT_EQ(parse_error("1 0"), "line 1: invalid Kelvo instruction");
    EXPECT_EQ(parse_error("H 0\n{"), "line 2: invalid Kelvo instruction");
    // Unicode white space trims lines and separates targets.
    const Circuit c = parse("\u3000H\u00a00\u20031\u2028");
    EXPECT_EQ(c.instructions[0].qubits, (std::vector<size_t>{0, 1}));
}

TEST(LineSyntax, ArgumentListsFollowTheNameDirectly) {
    const Circuit c = parse("X_ERROR(0.1)0");
    EXPECT_EQ(c.instructions[0].qubits, std::vector<size_t>{0});
    EXPECT_EQ(c.instructions[0].probability, 0.1);
    EXPECT_EQ(parse_error("M() 1"), "line 1: operation expects at most one probability argument");
    // With a blank before it, `(` belongs to a target.
    EXPECT_EQ(parse_error("X_ERROR (0.1) 0"), "line 1: operation expects one probability argument");
    EXPECT_EQ(parse_error("H (0.1) 0"), "line 1: invalid qubit target");
    EXPECT_EQ(parse_error("X_ERROR(0.1 0"), "line 1: unterminated Kelvo argument list");
    EXPECT_EQ(parse("DETECTOR[t](1, 2) ").detectors[0].coords, (std::vector<double>{1, 2}));
    EXPECT_EQ(parse_error("DETECTOR() "),
              "line 1: detector expects 1 to 16 coordinate arguments when parens are present");
}

TEST(Blocks, RepeatUnrollsItsBody) {
    const Circuit c = parse("REPEAT 3 {\n  H 0\n  REPEAT 2 {\n    M 1\n  }\n}\nX 2");
    ASSERT_EQ(c.instructions.size(), 10u);
    EXPECT_EQ(c.num_measurements, 6u);
    EXPECT_EQ(c.instructions[0].gate, CircuitGate::H);
    EXPECT_EQ(c.instructions[1].gate, CircuitGate::M);
    EXPECT_EQ(c.instructions[2].gate, CircuitGate::M);
    EXPECT_EQ(c.instructions[3].gate, CircuitGate::H);
    EXPECT_EQ(c.instructions[9].gate, CircuitGate::X);
    EXPECT_EQ(c.instructions[9].line, 7u);
    EXPECT_EQ(parse("repeat 2 {\n}\nrepeat 1{\nH 0\n}").instructions.size(), 1u);
}

TEST(Blocks, MalformedBlocks) {
    EXPECT_EQ(parse_error("H 0\n}"), "line 2: unmatched Kelvo block terminator");
    EXPECT_EQ(parse_error("REPEAT 2 {\nH 0"), "line 2: unterminated Kelvo block");
    // The last line is reported even when it is blank or a comment.
    EXPECT_EQ(parse_error("REPEAT 2 {\nH 0\n\n"), "line 3: unterminated Kelvo block");
    EXPECT_EQ(parse_error("REPEAT 2 {\nH 0\n# c"), "line 3: unterminated Kelvo block");
    EXPECT_EQ(parse_error("REPEAT 2 {\nREPEAT 2 {\n}\n"), "line 3: unterminated Kelvo block");
    EXPECT_EQ(parse_error("REPEAT 2\nH 0"), "line 1: REPEAT must start a block");
    EXPECT_EQ(parse_error("H 0 {\n}"), "line 1: invalid Kelvo REPEAT block");
    EXPECT_EQ(parse_error("REPEAT(2) 2 {\n}"), "line 1: invalid Kelvo REPEAT block");
    EXPECT_EQ(parse_error("REPEAT 2 3 {\n}"), "line 1: invalid Kelvo REPEAT block");
    EXPECT_EQ(parse_error("REPEAT {\n}"), "line 1: invalid Kelvo REPEAT block");
}

TEST(Blocks, RepeatCounts) {
    const char* must = "line 1: REPEAT count must be in [1, 10^18]";
    const char* large = "line 1: REPEAT count is too large for this flattened circuit frontend";
    EXPECT_EQ(parse_error("REPEAT 0 {\n}"), must);
    EXPECT_EQ(parse_error("REPEAT +3 {\n}"), must);
    EXPECT_EQ(parse_error("REPEAT -3 {\n}"), must);
    EXPECT_EQ(parse_error("REPEAT 3x {\n}"), must);
    EXPECT_EQ(parse_error("REPEAT 1000000000000000001 {\n}"), must);
    EXPECT_EQ(parse_error("REPEAT 99999999999999999999999999999999999999999 {\n}"), must);
    EXPECT_EQ(parse_error("REPEAT 2147483648 {\n}"), large);
    EXPECT_EQ(parse_error("REPEAT 1000000000000000000 {\n}"), large);
    EXPECT_EQ(parse_error("REPEAT 1000000000000 {\nH 0\n}"), large);
    EXPECT_EQ(parse_error("REPEAT 2147483647 {\n}"), "<parsed>");
    EXPECT_EQ(parse("REPEAT 0002 {\nH 0\n}").instructions.size(), 2u);
}

TEST(Blocks, DeepNestingNeedsNoRecursion) {
    std::string text;
    const int depth = 200'000;
    for (int i = 0; i < depth; ++i)
        text += "REPEAT 1 {\n";
    text += "H 0\n";
    for (int i = 0; i < depth; ++i)
        text += "}\n";
    const Circuit c = parse(text);
    ASSERT_EQ(c.instructions.size(), 1u);
    EXPECT_EQ(c.instructions[0].line, static_cast<size_t>(depth + 1));
    EXPECT_EQ(parse_error(text.substr(0, text.size() - 2)),
              "line " + std::to_string(2 * depth) + ": unterminated Kelvo block");
}

TEST(Tree, NodesRecordLinesArgumentsAndTargets) {
    const KelvoNodeTree tree = parse_nodes("X_ERROR(0.25) 0 1\nREPEAT 2 {\n M !3\n}\n");
    ASSERT_EQ(tree.nodes.size(), 3u);
    EXPECT_EQ(tree.nodes[0].op->name, "X_ERROR");
    EXPECT_TRUE(tree.nodes[0].parens);
    EXPECT_EQ(tree.args_of(tree.nodes[0]).size(), 1u);
    EXPECT_EQ(tree.nodes[0].targets_count, 2u);
    EXPECT_TRUE(tree.nodes[1].is_repeat);
    EXPECT_EQ(tree.block_of(tree.nodes[1]).count, 2u);
    EXPECT_EQ(tree.nodes[1].end, 3u);
    EXPECT_EQ(tree.block_of(tree.nodes[1]).last_line, 3u);
    EXPECT_EQ(tree.block_of(tree.nodes[1]).body_size.lines, 1u);
    EXPECT_EQ(tree.size.lines, 3u);
    EXPECT_EQ(tree.last_line, 2u);
    EXPECT_EQ(tree.max_qubit, 3u);
}

TEST(Tree, TrimUnicodeSpace) {
    EXPECT_EQ(trim_unicode_space(" \t\v\f\r\nX\u0085\u00a0"), "X");
    EXPECT_EQ(trim_unicode_space("\u1680\u2000\u200aX Y\u202f\u205f\u3000\u2029"), "X Y");
    EXPECT_EQ(trim_unicode_space("\u00e9"), "\u00e9");  // not white space
    EXPECT_EQ(trim_unicode_space("   "), "");
}

}  // namespace
}  // namespace kelvo
