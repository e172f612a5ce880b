#include "arrays.h"

#include <gtest/gtest.h>

#include "embedded_python.h"

namespace kelvo::py {
namespace {

using testing::ensure_python;

// The array's shape as a Python tuple's text, and the address its data lives at.
std::string shape(const Ref& array) {
    const Ref s = take(PyObject_Str(take(PyObject_GetAttrString(array.get(), "shape")).get()));
    return PyUnicode_AsUTF8AndSize(s.get(), nullptr);
}
const void* data_of(const Ref& array) {
    Py_buffer view;
    check_status(PyObject_GetBuffer(array.get(), &view, PyBUF_SIMPLE | PyBUF_C_CONTIGUOUS));
    const void* data = view.buf;
    PyBuffer_Release(&view);
    return data;
}

TEST(Arrays, TakeOverTheBufferWithoutACopy) {
    ensure_python();
    UninitializedVector<uint8_t> bytes = {1, 2, 3, 4, 5, 6};
    const void* original = bytes.data();
    const Ref a = array2(std::move(bytes), 2, 3);
    EXPECT_EQ(shape(a), "(2, 3)");
    EXPECT_EQ(data_of(a), original);
    UninitializedVector<double> values = {0.5, 1.5};
    const void* original_values = values.data();
    const Ref b = array2(std::move(values), 2, 1);
    EXPECT_EQ(data_of(b), original_values);
    EXPECT_EQ(shape(array1(std::vector<uint64_t>{7, 8, 9})), "(3,)");
    EXPECT_EQ(shape(array2(UninitializedVector<uint8_t>{}, 0, 5)), "(0, 5)");
    EXPECT_EQ(shape(array2(UninitializedVector<uint8_t>{}, 4, 0)), "(4, 0)");
}

TEST(Arrays, ShapeMismatchRaisesRuntimeError) {
    ensure_python();
    for (const auto& [rows, columns] : {std::pair<size_t, size_t>{2, 2}, {SIZE_MAX, 2}}) {
        EXPECT_THROW(array2(UninitializedVector<uint8_t>{1, 2, 3}, rows, columns), PythonError);
        const testing::Raised raised = testing::take_raised();
        EXPECT_EQ(raised.type, PyExc_RuntimeError);
        EXPECT_NE(raised.message.find("does not fit array shape"), std::string::npos);
    }
}

}  // namespace
}  // namespace kelvo::py
