#include "convert.h"

#include <gtest/gtest.h>

#include "embedded_python.h"

namespace kelvo::py {
namespace {

using testing::ensure_python;
using testing::eval;
using testing::take_raised;

// Runs `convert` on the value of `expression`; returns the raised exception, if any.
template <class F>
testing::Raised failure(const char* expression, F convert) {
    const Ref value = eval(expression);
    try {
        convert(Arg{value.get(), "arg"});
    } catch (const PythonError&) {
        return take_raised();
    }
    return {};
}

TEST(Convert, ByteLists) {
    ensure_python();
    const Ref list = eval("[0, 1, 255, True]");
    EXPECT_EQ(to_byte_list({list.get(), "m"}), (std::vector<uint8_t>{0, 1, 255, 1}));
    const Ref bytes = eval("b'\\x00\\x07'");
    EXPECT_EQ(to_byte_list({bytes.get(), "m"}), (std::vector<uint8_t>{0, 7}));
    const Ref tuple = eval("(3, 4)");
    EXPECT_EQ(to_byte_list({tuple.get(), "m"}), (std::vector<uint8_t>{3, 4}));
    EXPECT_TRUE(to_byte_list({Py_None, "m"}).empty());

    EXPECT_EQ(failure("'01'", to_byte_list).type, PyExc_TypeError);
    EXPECT_EQ(failure("5", to_byte_list).type, PyExc_TypeError);
    EXPECT_EQ(failure("[1, 'a']", to_byte_list).type, PyExc_TypeError);
    const testing::Raised big = failure("[256]", to_byte_list);
    EXPECT_EQ(big.type, PyExc_OverflowError);
    EXPECT_EQ(big.message.rfind("argument 'arg': ", 0), 0u) << big.message;
    EXPECT_EQ(failure("[-1]", to_byte_list).type, PyExc_OverflowError);
}

TEST(Convert, Pins) {
    ensure_python();
    const Ref value = eval("[([0, 2], True), ((5,), False), ([], True)]");
    const std::vector<Pin> pins = to_pins({value.get(), "pin_measurements"});
    ASSERT_EQ(pins.size(), 3u);
    EXPECT_EQ(pins[0].records, (std::vector<uint64_t>{0, 2}));
    EXPECT_TRUE(pins[0].value);
    EXPECT_EQ(pins[1].records, (std::vector<uint64_t>{5}));
    EXPECT_FALSE(pins[1].value);
    EXPECT_TRUE(pins[2].records.empty());
    EXPECT_TRUE(to_pins({Py_None, "p"}).empty());

    for (const char* bad : {"'x'", "[[[0], True]]", "[([0], 1)]", "[('0', True)]",
                            "[([0], True, 1)]", "[(['a'], True)]"}) {
        EXPECT_EQ(failure(bad, to_pins).type, PyExc_TypeError) << bad;
    }
    EXPECT_EQ(failure("[([-1], True)]", to_pins).type, PyExc_OverflowError);
}

}  // namespace
}  // namespace kelvo::py
