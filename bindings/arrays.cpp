#include "arrays.h"

#include <string>
#include <utility>
#include <variant>

#include "py_class.h"

namespace kelvo::py {
namespace {

// The exported storage of one array. Never changes size once exported.
struct ArrayBuffer {
    std::variant<UninitializedVector<uint8_t>, std::vector<uint64_t>, UninitializedVector<double>>
        storage;
};

int get_buffer(PyObject* self, Py_buffer* view, int flags) {
    auto& storage = reinterpret_cast<Instance<ArrayBuffer>*>(self)->value.storage;
    return std::visit(
        [&](auto& values) {
            // An empty vector may have no data pointer; exporters must still give one.
            static char empty = 0;
            void* data = values.empty() ? static_cast<void*>(&empty) : values.data();
            const auto bytes = static_cast<Py_ssize_t>(values.size() * sizeof(values[0]));
            return PyBuffer_FillInfo(view, self, data, bytes, 0, flags);
        },
        storage);
}

PyTypeObject* array_buffer_class() {
    static PyType_Slot slots[] = {
        {Py_bf_getbuffer, reinterpret_cast<void*>(&get_buffer)},
        {0, nullptr},
    };
    return define_class<ArrayBuffer>("kelvo._core.ArrayBuffer", slots, {.instantiable = false});
}

// numpy.frombuffer, kept for the life of the process once made (retried after a failure).
PyObject* frombuffer() {
    static PyObject* const function = [] {
        array_buffer_class();
        const Ref numpy = take(PyImport_ImportModule("numpy"));
        return take(PyObject_GetAttrString(numpy.get(), "frombuffer")).release();
    }();
    return function;
}

template <class Vector>
Ref numpy_array(Vector&& values, const char* dtype, size_t rows, size_t columns, bool two_d) {
    size_t expected = 0;
    if (__builtin_mul_overflow(rows, columns, &expected) || expected != values.size()) {
        raise(PyExc_RuntimeError, "buffer of " + std::to_string(values.size()) +
                                      " values does not fit array shape (" + std::to_string(rows) +
                                      ", " + std::to_string(columns) + ")");
    }
    PyObject* const make_flat = frombuffer();
    const Ref owner = make_instance(ArrayBuffer{std::move(values)});
    Ref flat = take(PyObject_CallFunction(make_flat, "Os", owner.get(), dtype));
    if (!two_d) return flat;
    return take(PyObject_CallMethod(flat.get(), "reshape", "(nn)", static_cast<Py_ssize_t>(rows),
                                    static_cast<Py_ssize_t>(columns)));
}

}  // namespace

void prepare_arrays() {
    frombuffer();
}

Ref array2(UninitializedVector<uint8_t>&& values, size_t rows, size_t columns) {
    return numpy_array(std::move(values), "uint8", rows, columns, true);
}

Ref array2(UninitializedVector<double>&& values, size_t rows, size_t columns) {
    return numpy_array(std::move(values), "float64", rows, columns, true);
}

Ref array1(std::vector<uint64_t>&& values) {
    const size_t length = values.size();
    return numpy_array(std::move(values), "uint64", length, 1, false);
}

}  // namespace kelvo::py
