#include "convert.h"

#include <gtest/gtest.h>

#include "embedded_python.h"

namespace kelvo::py {
namespace {

using testing::eval;

TEST(Convert, ByteListsAndPins) {
    testing::ensure_python();
    EXPECT_EQ(to_byte_list({eval("[0, 1, 255, True]").get(), "m"}),
              (std::vector<uint8_t>{0, 1, 255, 1}));
    EXPECT_EQ(to_byte_list({eval("b'\\x00\\x07'").get(), "m"}), (std::vector<uint8_t>{0, 7}));
    EXPECT_EQ(to_byte_list({eval("(3, 4)").get(), "m"}), (std::vector<uint8_t>{3, 4}));
    EXPECT_TRUE(to_byte_list({Py_None, "m"}).empty());
    std::vector<std::pair<std::vector<uint64_t>, bool>> read;
    for (const Pin& pin : to_pins({eval("[([0, 2], True), ((5,), False), ([], True)]").get(), "p"}))
        read.emplace_back(pin.records, pin.value);
    EXPECT_EQ(read, (decltype(read){{{0, 2}, true}, {{5}, false}, {{}, true}}));
    EXPECT_TRUE(to_pins({Py_None, "p"}).empty());
    // Refused inputs name the argument and keep their class.
    void (*const bytes)(Arg) = [](Arg arg) { to_byte_list(arg); };
    void (*const pins)(Arg) = [](Arg arg) { to_pins(arg); };
    const struct {
        void (*convert)(Arg);
        const char* input;
        PyObject* type;
    } cases[] = {
        {bytes, "'01'", PyExc_TypeError},           {bytes, "5", PyExc_TypeError},
        {bytes, "[1, 'a']", PyExc_TypeError},       {bytes, "[256]", PyExc_OverflowError},
        {bytes, "[-1]", PyExc_OverflowError},       {pins, "'x'", PyExc_TypeError},
        {pins, "[[[0], True]]", PyExc_TypeError},   {pins, "[([0], 1)]", PyExc_TypeError},
        {pins, "[('0', True)]", PyExc_TypeError},   {pins, "[([0], True, 1)]", PyExc_TypeError},
        {pins, "[(['a'], True)]", PyExc_TypeError}, {pins, "[([-1], True)]", PyExc_OverflowError},
    };
    for (const auto& c : cases) {
        const Ref value = eval(c.input);
        try {
            c.convert({value.get(), "arg"});
            ADD_FAILURE() << c.input;
        } catch (const PythonError&) {
            const testing::Raised raised = testing::take_raised();
            EXPECT_EQ(raised.type, c.type) << c.input;
            EXPECT_EQ(raised.message.rfind("argument 'arg': ", 0), 0u) << raised.message;
        }
    }
}

}  // namespace
}  // namespace kelvo::py
