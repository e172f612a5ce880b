#include "py_class.h"

#include <gtest/gtest.h>

#include <new>

#include "embedded_python.h"

namespace kelvo::py {
namespace {

// Counts live values; a copy of a failing value throws before it exists.
struct Fragile {
    static inline int live = 0;
    bool fail;
    explicit Fragile(bool fail = false) : fail(fail) { ++live; }
    Fragile(const Fragile& other) : fail(other.fail) {
        if (fail) throw std::bad_alloc();
        ++live;
    }
    ~Fragile() { --live; }
};

TEST(PyClass, ValueThatFailsToBuildIsNeverDestroyed) {
    testing::ensure_python();
    static PyType_Slot slots[] = {{0, nullptr}};
    PyObject* const type = reinterpret_cast<PyObject*>(
        define_class<Fragile>("kelvo_test.Fragile", slots, {.instantiable = false}));
    const Py_ssize_t type_refs = Py_REFCNT(type);
    const Fragile good, bad(true);
    make_instance(good);
    EXPECT_EQ(Fragile::live, 2);
    EXPECT_THROW(make_instance(bad), std::bad_alloc);
    EXPECT_EQ(Fragile::live, 2);
    EXPECT_EQ(Py_REFCNT(type), type_refs);
}

}  // namespace
}  // namespace kelvo::py
