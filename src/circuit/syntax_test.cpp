#include "circuit/syntax.h"

#include <gtest/gtest.h>

#include <string>

#include "circuit/test_util.h"

namespace kelvo {
namespace {

using testing::parse;

TEST(LineSyntax, CommentsTagsCaseBlocksLineEndingsAndRefusals) {
    testing::expect_outcomes({
        {"", "q0 m0 e0"},
        {"\n\n  \t\n# only a comment\n\n# another\r\n", "q0 m0 e0"},
        // CRLF, blank and comment lines all count; no separator is needed after the arguments.
        {"h 0 # H 5\r\nH[my tag # not a comment] 1\r\n\r\n# c\ncx[tag] 0 1\nM 2\n"
         "DETECTOR rec[-1]#x\nX_ERROR(0.1)0\nDETECTOR[t](1, 2)",
         "H 0 L1; H 1 L2; CX 0 1 L5; M 2 L6; X_ERROR 0 p=0.1 L8; DETECTOR 1 #4 L7; "
         "DETECTOR(1,2) #5 L9; q3 m1 e0"},
        // Brackets do not nest: the first `]` closes, so the `#` after it starts a comment.
        {"H[a[b]#] 0", "H L1; q0 m0 e0"},
        {"REPEAT 3 {\n  H 0\n  REPEAT 2 {\n    M 1\n  }\n}\nX 2",
         "H 0 L2; M 1 L4; M 1 L4; H 0 L2; M 1 L4; M 1 L4; H 0 L2; M 1 L4; M 1 L4; X 2 L7; "
         "q3 m6 e0"},
        {"repeat 2 {\n}\nrepeat[t] 1{\nH 0\n}\nREPEAT 0002 {\nX 0\n}",
         "H 0 L4; X 0 L7; X 0 L7; q1 m0 e0"},
        {"REPEAT 2147483647 {\n}", "q0 m0 e0"},
        {"\n\n  !H 0", "line 3: invalid Kelvo instruction"},
        {"1 0", "line 1: invalid Kelvo instruction"},
        {"H 0\n{", "line 2: invalid Kelvo instruction"},
        {"H[unclosed 0", "line 1: unterminated Kelvo tag"},
        // With a blank before it, `(` belongs to the targets.
        {"X_ERROR (0.1) 0", "line 1: operation expects one probability argument"},
        {"H (0.1) 0", "line 1: invalid qubit target"},
        {"H 0\n}", "line 2: unmatched Kelvo block terminator"},
        {"REPEAT 2 {\nH 0", "line 2: unterminated Kelvo block"},
        // Arguments are read before the block header is judged.
        {"REPEAT(x) 2 {\n}", "line 1: unknown numeric constant: X"},
        // Every syntax error of the text comes before any line is interpreted.
        {"FOO 1\nH x\nREPEAT 0 {\n}", "line 3: REPEAT count must be in [1, 10^18]"},
    });
    using testing::expect_refused;
    expect_refused("line 1: invalid Kelvo REPEAT block",
                   {"H 0 {\n}", "REPEAT(2) 2 {\n}", "REPEAT 2 3 {\n}", "REPEAT {\n}"});
    expect_refused("line 1: REPEAT count must be in [1, 10^18]",
                   {"REPEAT 0 {\n}", "REPEAT +3 {\n}", "REPEAT -3 {\n}", "REPEAT 3x {\n}",
                    "REPEAT 1000000000000000001 {\n}",
                    "REPEAT 99999999999999999999999999999999999999999 {\n}"});
    expect_refused("line 1: REPEAT count is too large for this flattened circuit frontend",
                   {"REPEAT 2147483648 {\n}", "REPEAT 1000000000000000000 {\n}"});
    expect_refused("line 1: REPEAT must start a block", {"REPEAT 2\nH 0", "REPEAT 2 { }"});
    expect_refused("line 1: unterminated Kelvo argument list", {"X_ERROR(0.1 0", "X_ERROR((1) 0"});
    // The last line is reported even when it is blank or a comment.
    expect_refused("line 3: unterminated Kelvo block",
                   {"REPEAT 2 {\nH 0\n\n", "REPEAT 2 {\nH 0\n# c", "REPEAT 2 {\nREPEAT 2 {\n}\n"});
}

TEST(LineSyntax, UnicodeWhiteSpaceTrimsLinesAndSeparatesTargets) {
    for (const std::string s : {"\t", "\v", "\f", "\r", " ", "\u0085", "\u00a0", "\u1680", "\u2000",
                                "\u200a", "\u2028", "\u2029", "\u202f", "\u205f", "\u3000"})
        EXPECT_EQ(testing::outcome(s + "H" + s + "0" + s + s + "1" + s), "H 0 1 L1; q2 m0 e0") << s;
    // Not white space: they stay inside the token.
    for (const char* other : {"\u00e9", "\u200b", "\u180e", "\x1c"})
        EXPECT_EQ(testing::outcome(std::string("H 0") + other + "1"),
                  "line 1: invalid qubit target");
}

TEST(Blocks, DeepNestingNeedsNoRecursion) {
    const int depth = 200'000;
    std::string text;
    for (int i = 0; i < depth; ++i)
        text += "REPEAT 1 {\n";
    text += "H 0\n";
    for (int i = 0; i < depth; ++i)
        text += "}\n";
    const Circuit c = parse(text);
    ASSERT_EQ(c.instructions.size(), 1u);
    EXPECT_EQ(c.instructions[0].line, static_cast<size_t>(depth + 1));
    EXPECT_EQ(testing::outcome(text.substr(0, text.size() - 2)),
              "line " + std::to_string(2 * depth) + ": unterminated Kelvo block");
}

}  // namespace
}  // namespace kelvo
