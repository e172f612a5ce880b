#include "circuit/parser.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>

#include "circuit/file_read.h"
#include "circuit/test_util.h"
#include "memory.h"

namespace kelvo {
namespace {

using testing::parse;

constexpr const char* kLarge = "REPEAT count is too large for this flattened circuit frontend";

// The kind and message of what parsing the file at `path` throws.
std::string file_error(const std::string& path) {
    try {
        parse_kelvo_circuit_file(path);
    } catch (const KelvoError& e) {
        return std::to_string(static_cast<int>(e.kind())) + " " + std::string(e.message());
    }
    return "<parsed>";
}

TEST(ParseEntry, Files) {
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("kelvo_parser_test_" + std::to_string(::getpid()) + ".kelvo"))
                                 .string();
    const auto write = [&](std::string_view contents) {
        std::ofstream(path, std::ios::binary) << contents;
    };
    write("H 0\r\nM 0\nDETECTOR rec[-1]\n");
    EXPECT_EQ(testing::describe(parse_kelvo_circuit_file(path)),
              "H 0 L1; M 0 L2; DETECTOR 1 #2 L3; q1 m1 e0");
    write("H 0\nFOO 1\n");  // a parse error in a file is an ordinary parse error
    EXPECT_EQ(file_error(path), std::to_string(static_cast<int>(KelvoErrorKind::Parse)) +
                                    " line 2: unsupported Kelvo operation: FOO");
    write("H 0\n\xff\xfe\n");
    const std::string io = std::to_string(static_cast<int>(KelvoErrorKind::Io)) + " ";
    for (const std::string& p : {path, std::filesystem::temp_directory_path().string(),
                                 std::string("a\0b", 3), path + ".missing"})
        EXPECT_EQ(file_error(p), io + "failed to read circuit file: " + p);
    std::remove(path.c_str());
    // Endless sources end at the memory bound; random bytes are refused as they arrive, well
    // within it. Blocking opens and reads (FIFOs, Ctrl-C) are exercised through the bindings.
    EXPECT_THROW(detail::read_circuit_file("/dev/zero", {}, uint64_t{1} << 20), std::bad_alloc);
    EXPECT_THROW(detail::read_circuit_file("/dev/urandom", {}, uint64_t{1} << 20), KelvoError);
    // A source that keeps flowing is read until the check says stop.
    int polls = 0;
    const CancellationCheck stop([&] { return ++polls == 3; }, {});
    EXPECT_THROW(detail::read_circuit_file("/dev/zero", stop, uint64_t{1} << 30), Cancelled);
    EXPECT_EQ(polls, 3);
}

TEST(ParseEntry, LinesInterpretedDuringTheScanReportErrorsInTheSameOrder) {
    // Leading lines are interpreted while scanning; their refusals still come after every
    // syntax error, the qubit-count check and the size check.
    testing::expect_outcomes({
        {"M 0\nDETECTOR rec[-5]\nREPEAT 0 {\n}", "line 3: REPEAT count must be in [1, 10^18]"},
        {"DETECTOR rec[-1]\nFOO 1\nH 18446744073709551615", "line 3: qubit index is too large"},
        {"DETECTOR rec[-1]\nREPEAT 2147483647 {\nREPEAT 2147483647 {\nH 0\n}\n}",
         std::string("line 3: ") + kLarge},
        {"FOO 1\nDETECTOR rec[-1]", "line 1: unsupported Kelvo operation: FOO"},
        {"H 0\nMPP X0\nDETECTOR rec[-5]", "line 3: measurement record target out of range"},
        // A line building products waits for the qubit count; so does everything after it.
        {"M 0\nMPP X5\nDETECTOR rec[-1] rec[-2]\nH 9",
         "M 0 L1; MPP IIIIIXIIII L2; H 9 L4; DETECTOR 2 1 #2 L3; q10 m2 e0"},
    });
}

TEST(ParseSafety, LargestQubitIndexCannotWrapTheQubitCount) {
    testing::expect_outcomes({
        {"H 0\nH 18446744073709551615", "line 2: qubit index is too large"},
        {"QUBIT_COORDS(0) 18446744073709551615", "line 1: qubit index is too large"},
        {"MPP X18446744073709551615", "line 1: qubit index is too large"},
        // Syntax errors anywhere come first.
        {"H 18446744073709551615\nREPEAT 0 {\n}", "line 2: REPEAT count must be in [1, 10^18]"},
    });
    // Lines that name no qubit for the count are not affected; one below still counts.
    EXPECT_EQ(parse("MPAD 18446744073709551615").num_qubits, 0u);
    EXPECT_EQ(parse("H 18446744073709551614").num_qubits, SIZE_MAX);
}

TEST(ParseSafety, DenseProductsTooLargeForMemoryAreBadAlloc) {
    EXPECT_THROW(parse("MPP Z99999999999999"), std::bad_alloc);
    EXPECT_THROW(parse("R_X(1) 0\nH 9999999999999999"), std::bad_alloc);
    EXPECT_THROW(parse("E(0.1) X0\nH 99999999999999999"), std::bad_alloc);
    EXPECT_THROW(detail::parse_kelvo_circuit_text("MPP X0\nH 9999999", 1'000'000), std::bad_alloc);
    // One product a few bytes beyond the memory available now.
    EXPECT_THROW(parse("MPP Z" + std::to_string(4 * available_memory_bytes() + 64)),
                 std::bad_alloc);
    // A large qubit count without products costs nothing.
    EXPECT_EQ(parse("H 99999999999999").num_qubits, 100000000000000u);
}

TEST(ParseSafety, RepeatExpansionIsBoundedBeforeUnrolling) {
    testing::expect_outcomes({
        {"REPEAT 1000000000000 {\nH 0\n}", std::string("line 1: ") + kLarge},
        {"H 0\nREPEAT 2147483647 {\nREPEAT 2147483647 {\nH 0\n}\n}",
         std::string("line 3: ") + kLarge},
        {"REPEAT 2000000 {\nREPEAT 2000000 {\nREPEAT 2000000 {\nSHIFT_COORDS(1)\n}\n}\n}",
         std::string("line 2: ") + kLarge},
    });
    // Bodies without instructions are not iterated at all.
    const Circuit c = parse("E(0.1) X0\nREPEAT 2147483647 {\nREPEAT 2147483647 {\n}\n}\nH 0");
    ASSERT_EQ(c.instructions.size(), 2u);
    EXPECT_EQ(c.instructions[0].line, 2u);

    // With an explicit budget the outer block crosses it first.
    const std::string text = "H 0\nREPEAT 1000 {\nREPEAT 1000 {\nH 0\n}\n}";
    EXPECT_EQ(detail::parse_kelvo_circuit_text(text, 1'000'000'000).instructions.size(),
              1'000'001u);
    EXPECT_EQ(testing::outcome(text, 1'000'000), std::string("line 2: ") + kLarge);
    // Passes of 1 MiB products that together need more than is available.
    const uint64_t passes = available_memory_bytes() / (1 << 20) + 1;
    EXPECT_EQ(testing::outcome("H 4194303\nREPEAT " + std::to_string(passes) + " {\nE(0.1) X0\n}"),
              std::string("line 2: ") + kLarge);
}

}  // namespace
}  // namespace kelvo
