#include "circuit/parser.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>

#include "circuit/test_util.h"

namespace kelvo {
namespace {

using testing::parse;
using testing::parse_error;

class TempFile {
  public:
    explicit TempFile(std::string_view contents) {
        path_ = (std::filesystem::temp_directory_path() /
                 ("kelvo_parser_test_" + std::to_string(::getpid()) + "_" +
                  std::to_string(counter_++) + ".kelvo"))
                    .string();
        std::ofstream(path_, std::ios::binary) << contents;
    }
    ~TempFile() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }

  private:
    static inline int counter_ = 0;
    std::string path_;
};

std::string file_error(std::string_view path) {
    try {
        parse_kelvo_circuit_file(path);
    } catch (const KelvoError& e) {
        EXPECT_EQ(e.kind(), KelvoErrorKind::Io);
        return e.what();
    }
    return "<parsed>";
}

TEST(ParseEntry, TextAndFileGiveTheSameCircuit) {
    const std::string text = "H 0\nM 0\nDETECTOR rec[-1]\n";
    const Circuit a = Circuit::from_text(text);
    const TempFile file(text);
    const Circuit b = parse_kelvo_circuit_file(file.path());
    EXPECT_EQ(a.num_qubits, 1u);
    EXPECT_EQ(b.num_qubits, 1u);
    EXPECT_EQ(b.num_measurements, 1u);
    EXPECT_EQ(b.detectors.size(), 1u);
    EXPECT_EQ(b.instructions.size(), 2u);
}

TEST(ParseEntry, FileFailures) {
    EXPECT_EQ(file_error("/nonexistent/kelvo/circuit.txt"),
              "failed to read circuit file: /nonexistent/kelvo/circuit.txt");
    const TempFile bad("H 0\n\xff\xfe\n");
    EXPECT_EQ(file_error(bad.path()), "failed to read circuit file: " + bad.path());
    const std::string dir = std::filesystem::temp_directory_path().string();
    EXPECT_EQ(file_error(dir), "failed to read circuit file: " + dir);
    EXPECT_EQ(file_error(std::string("a\0b", 3)).substr(0, 29), "failed to read circuit file: ");
    // A parse error in a file is an ordinary parse error.
    const TempFile syntax("H 0\nFOO 1\n");
    try {
        parse_kelvo_circuit_file(syntax.path());
        FAIL();
    } catch (const KelvoError& e) {
        EXPECT_EQ(e.kind(), KelvoErrorKind::Parse);
        EXPECT_STREQ(e.what(), "line 2: unsupported Kelvo operation: FOO");
        EXPECT_EQ(e.line(), 2u);
    }
}

TEST(ParseSafety, LargestQubitIndexCannotWrapTheQubitCount) {
    EXPECT_EQ(parse_error("H 0\nH 18446744073709551615"), "line 2: qubit index is too large");
    EXPECT_EQ(parse_error("QUBIT_COORDS(0) 18446744073709551615"),
              "line 1: qubit index is too large");
    EXPECT_EQ(parse_error("MPP X18446744073709551615"), "line 1: qubit index is too large");
    // Lines that name no qubit for the count are not affected.
    EXPECT_EQ(parse("MPAD 18446744073709551615").num_qubits, 0u);
    // One below still counts.
    EXPECT_EQ(parse("H 18446744073709551614").num_qubits, SIZE_MAX);
    // Syntax errors anywhere come first.
    EXPECT_EQ(parse_error("H 18446744073709551615\nREPEAT 0 {\n}"),
              "line 2: REPEAT count must be in [1, 10^18]");
}

TEST(ParseSafety, DenseProductsTooLargeForMemoryAreBadAlloc) {
    EXPECT_THROW(parse("MPP Z99999999999999"), std::bad_alloc);
    EXPECT_THROW(parse("R_X(1) 0\nH 9999999999999999"), std::bad_alloc);
    EXPECT_THROW(parse("E(0.1) X0\nH 99999999999999999"), std::bad_alloc);
    // A large qubit count without products costs nothing.
    EXPECT_EQ(parse("H 99999999999999").num_qubits, 100000000000000u);
}

TEST(ParseSafety, RepeatExpansionIsBoundedBeforeUnrolling) {
    const char* large = "REPEAT count is too large for this flattened circuit frontend";
    EXPECT_EQ(parse_error("H 0\nREPEAT 2147483647 {\nREPEAT 2147483647 {\nH 0\n}\n}"),
              std::string("line 3: ") + large);
    EXPECT_EQ(parse_error("REPEAT 2000000 {\nREPEAT 2000000 {\nREPEAT 2000000 {\nSHIFT_COORDS(1)\n"
                          "}\n}\n}"),
              std::string("line 2: ") + large);
    // Bodies without instructions are not iterated at all.
    const Circuit c = parse("E(0.1) X0\nREPEAT 2147483647 {\nREPEAT 2147483647 {\n}\n}\nH 0");
    ASSERT_EQ(c.instructions.size(), 2u);
    EXPECT_EQ(c.instructions[0].line, 2u);

    // With an explicit budget the outer block crosses it first.
    const std::string text = "H 0\nREPEAT 1000 {\nREPEAT 1000 {\nH 0\n}\n}";
    EXPECT_EQ(detail::parse_kelvo_circuit_text(text, 1'000'000'000).instructions.size(),
              1'000'001u);
    try {
        detail::parse_kelvo_circuit_text(text, 1'000'000);
        FAIL();
    } catch (const KelvoError& e) {
        EXPECT_EQ(std::string(e.what()), std::string("line 2: ") + large);
    }
    EXPECT_THROW(detail::parse_kelvo_circuit_text("MPP X0\nH 9999999", 1'000'000), std::bad_alloc);
}

TEST(ParseEntry, LinesInterpretedDuringTheScanReportErrorsInTheSameOrder) {
    // Leading lines are interpreted while scanning; their refusals still come after every
    // syntax error, the qubit-count check and the size check.
    EXPECT_EQ(parse_error("M 0\nDETECTOR rec[-5]\nREPEAT 0 {\n}"),
              "line 3: REPEAT count must be in [1, 10^18]");
    EXPECT_EQ(parse_error("DETECTOR rec[-1]\nFOO 1\nH 18446744073709551615"),
              "line 3: qubit index is too large");
    EXPECT_EQ(parse_error("DETECTOR rec[-1]\nREPEAT 2147483647 {\nREPEAT 2147483647 {\nH 0\n}\n}"),
              "line 3: REPEAT count is too large for this flattened circuit frontend");
    EXPECT_EQ(parse_error("FOO 1\nDETECTOR rec[-1]"), "line 1: unsupported Kelvo operation: FOO");
    EXPECT_EQ(parse_error("H 0\nMPP X0\nDETECTOR rec[-5]"),
              "line 3: measurement record target out of range");
    // A line building products waits for the qubit count; so does everything after it.
    const Circuit c = parse("M 0\nMPP X5\nDETECTOR rec[-1] rec[-2]\nH 9");
    EXPECT_EQ(c.instructions[1].paulis[0].pauli.num_qubits, 10u);
    EXPECT_EQ(c.detectors[0].records, (std::vector<size_t>{2, 1}));
    EXPECT_EQ(c.detectors[0].source_position, 2u);
    EXPECT_EQ(c.instructions.size(), 3u);
}

TEST(ParseEntry, UnrolledPassesAdvanceRecordsAndSlots) {
    const Circuit c =
        parse("REPEAT 3 {\nM 0\nDETECTOR rec[-1]\nEXP_VAL Z0\n}\nOBSERVABLE_INCLUDE(0) rec[-1]");
    EXPECT_EQ(c.num_measurements, 3u);
    ASSERT_EQ(c.detectors.size(), 3u);
    EXPECT_EQ(c.detectors[2].records, std::vector<size_t>{3});
    EXPECT_EQ(c.detectors[2].source_position, 5u);
    EXPECT_EQ(c.instructions[5].exp_val_start, 2u);
    EXPECT_EQ(c.num_exp_vals, 3u);
    EXPECT_EQ(c.observables[0].records, std::vector<size_t>{3});
}

}  // namespace
}  // namespace kelvo
