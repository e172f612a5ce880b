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

TEST(Format, TextAndUtf8) {
    EXPECT_EQ(debug_string("a\"b\n\\"), "\"a\\\"b\\n\\\\\"");
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
