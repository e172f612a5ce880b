#include "format.h"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string_view>

#include "errors.h"

namespace kelvo {
namespace {

TEST(Format, Floats) {
    EXPECT_EQ(format_float(1e-12), "0.000000000001");
    EXPECT_EQ(format_float(0.5), "0.5");
    EXPECT_EQ(format_float(1.0), "1");
    EXPECT_EQ(format_float(0.1 * 3), "0.30000000000000004");
    EXPECT_EQ(format_float(1e20), "100000000000000000000");
    EXPECT_EQ(format_float(-0.0), "-0");
    EXPECT_EQ(format_float(std::numeric_limits<double>::infinity()), "inf");
    EXPECT_EQ(format_float(std::numeric_limits<double>::quiet_NaN()), "NaN");

    EXPECT_EQ(format_float_exp(3e-10), "3e-10");
    EXPECT_EQ(format_float_exp(1.5e-12), "1.5e-12");
    EXPECT_EQ(format_float_exp(0.0), "0e0");
    EXPECT_EQ(format_float_exp(123.0), "1.23e2");

    EXPECT_EQ(format_float_debug(1.0), "1.0");
    EXPECT_EQ(format_float_debug(0.0), "0.0");
    EXPECT_EQ(format_float_debug(2.5e-7), "2.5e-7");
    EXPECT_EQ(format_float_debug(0.0001), "0.0001");
    EXPECT_EQ(format_float_debug(1e16), "1e16");
}

// Each line is what a Rust string's Debug form (Rust 1.95, Unicode 17) prints.
TEST(Format, DebugStringsEscapeAsRustDoes) {
    using namespace std::literals;
    const struct {
        std::string_view text, debug;
    } cases[] = {
        {"a\"b\n\\", R"("a\"b\n\\")"},
        {"", R"("")"},
        {"\t\r\0\x7f\x1b'"sv, R"("\t\r\0\u{7f}\u{1b}'")"},
        // C1 controls, no-break and ideographic spaces, format characters, separators.
        {"\u0085\u0080\u009f\u00a0\u3000 x", R"("\u{85}\u{80}\u{9f}\u{a0}\u{3000} x")"},
        {"\u200b\u200d\ufeff\u2028\u2029\U000e0001",
         R"("\u{200b}\u{200d}\u{feff}\u{2028}\u{2029}\u{e0001}")"},
        // Private use, unassigned, the last code point.
        {"\ue000\U000f0000\u0378\U0010ffff", R"("\u{e000}\u{f0000}\u{378}\u{10ffff}")"},
        // Grapheme extenders wherever they stand, spacing ones included; other marks print.
        {"e\u0301\u20dd\ufe0f\U000e0100", R"("e\u{301}\u{20dd}\u{fe0f}\u{e0100}")"},
        {"\u09be\u0cc0\U0001d165x\u0903", "\"\\u{9be}\\u{cc0}\\u{1d165}x\u0903\""},
        // Printable text outside ASCII prints as it is.
        {"\u00e9\u4e00\ufffd\U0001f600\u00ad", "\"\u00e9\u4e00\ufffd\U0001f600\\u{ad}\""},
        // Bytes that are not UTF-8 read as U+FFFD.
        {"a\xff\xe2\x82", "\"a\ufffd\ufffd\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(debug_string(c.text), c.debug) << c.debug;
    }
    // The edges of the table's ranges.
    for (const uint32_t c : {0x80u, 0xA0u, 0xADu, 0x300u, 0x36Fu, 0x2028u, 0xFFF9u, 0xE0000u,
                             0xE01EFu, 0xFFFFEu, 0x10FFFFu}) {
        EXPECT_TRUE(escaped_in_debug_strings(c)) << std::hex << c;
    }
    for (const uint32_t c : {0x20u, 0x7Eu, 0xA1u, 0xACu, 0xAEu, 0x370u, 0x4E00u, 0xFFFDu, 0x1F600u,
                             0x20000u, 0x2A6DFu}) {
        EXPECT_FALSE(escaped_in_debug_strings(c)) << std::hex << c;
    }
}

TEST(Format, TextAndUtf8) {
    EXPECT_EQ(utf8_lossy("a\xff_"), "a\xEF\xBF\xBD_");
    // A truncated 3-byte sequence is one invalid subsequence.
    EXPECT_EQ(utf8_lossy("\xe2\x82"), "\xEF\xBF\xBD");

    // The whole characters at the front of text read in pieces.
    const struct {
        std::string_view bytes;
        std::optional<size_t> whole;
    } cases[] = {
        {"", 0},
        {"H 0\n", 4},
        {"caf\xc3\xa9", 5},
        // Characters cut off by the end wait for their next bytes.
        {"caf\xc3", 3},
        {"a\xe2\x82", 1},
        {"a\xf0\x9f\x98", 1},
        {"\xf4", 0},
        // Bytes that no continuation can mend.
        {"a\xff", std::nullopt},
        {"\xc0", std::nullopt},
        {"\x80", std::nullopt},
        {"\xf5", std::nullopt},
        {"\xc3\x28", std::nullopt},
        {"\xed\xa0", std::nullopt},  // a surrogate
        {"\xe0\x80", std::nullopt},  // an overlong form
        {"\xf4\x90", std::nullopt},  // beyond U+10FFFF
        {"\xe2\x82x", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(utf8_whole_prefix(c.bytes), c.whole) << debug_string(c.bytes);
        EXPECT_EQ(is_valid_utf8(c.bytes), c.whole == c.bytes.size()) << debug_string(c.bytes);
    }
}

TEST(KelvoError, DisplayTexts) {
    EXPECT_STREQ(KelvoError::parse(1, "x").what(), "line 1: x");
    EXPECT_STREQ(KelvoError::parse(7, "").what(), "line 7: ");
    EXPECT_EQ(KelvoError::parse(7, "").line(), 7u);
    EXPECT_STREQ(KelvoError::worker_panic().what(), "batch worker panicked");
    EXPECT_EQ(KelvoError::worker_panic().debug(), "WorkerPanic");
    EXPECT_STREQ(KelvoError::internal("m").what(), "m");
    EXPECT_EQ(KelvoError::invalid_input("m").debug(), "InvalidInput { message: \"m\" }");
    EXPECT_EQ(KelvoError::parse(3, "x").debug(), "Parse { line: 3, message: \"line 3: x\" }");

    const KelvoError io =
        KelvoError::io("dir/\xff.txt", std::make_error_code(std::errc::no_such_file_or_directory));
    EXPECT_EQ(io.kind(), KelvoErrorKind::Io);
    EXPECT_STREQ(io.what(), "failed to read circuit file: dir/\xEF\xBF\xBD.txt");
    EXPECT_EQ(io.path(), "dir/\xff.txt");
}

}  // namespace
}  // namespace kelvo
