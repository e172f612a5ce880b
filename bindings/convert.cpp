#include "convert.h"

#include <climits>
#include <string>

namespace kelvo::py {
namespace {

std::string type_name(PyObject* obj) {
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(obj)));
    const char* text = name ? PyUnicode_AsUTF8AndSize(name.get(), nullptr) : nullptr;
    if (!text) {
        PyErr_Clear();
        return "?";
    }
    return text;
}

// Prefixes the pending TypeError or OverflowError with the parameter name; other exceptions,
// subclasses included (raised by a user's __index__, say), pass through unchanged.
[[noreturn]] void rethrow_named(const char* name) {
    PyObject* const pending = PyErr_Occurred();
    if (pending == PyExc_TypeError || pending == PyExc_OverflowError) {
        PyObject* type = nullptr;
        PyObject* value = nullptr;
        PyObject* traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        Ref owned_type = Ref::steal(type);
        Ref owned_value = Ref::steal(value);
        Ref owned_traceback = Ref::steal(traceback);
        Ref text = take(PyObject_Str(owned_value.get()));
        Ref message = take(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
        PyErr_SetObject(owned_type.get(), message.get());
    }
    throw PythonError{};
}

[[noreturn]] void raise_named(PyObject* type, const char* name, std::string_view message) {
    raise(type, "argument '" + std::string(name) + "': " + std::string(message));
}

// The exact int, or the result of __index__.
Ref index_of(Arg arg) {
    if (PyLong_Check(arg.obj)) return Ref::borrow(arg.obj);
    Ref index = Ref::steal(PyNumber_Index(arg.obj));
    if (!index) rethrow_named(arg.name);
    return index;
}

uint64_t long_to_u64(PyObject* obj, const char* name) {
    const unsigned long long value = PyLong_AsUnsignedLongLong(obj);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) rethrow_named(name);
    return value;
}

bool is_numpy_bool(PyObject* obj) {
    // A NumPy scalar exists only once NumPy is imported, so never import it here.
    Ref module_name = take(PyUnicode_FromString("numpy"));
    Ref numpy = Ref::steal(PyImport_GetModule(module_name.get()));
    if (!numpy) {
        if (PyErr_Occurred()) throw PythonError{};
        return false;
    }
    Ref bool_type = Ref::steal(PyObject_GetAttrString(numpy.get(), "bool_"));
    if (!bool_type) {
        // Only the missing attribute is ours to clear (a module __getattr__ may run code).
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
        PyErr_Clear();
        return false;
    }
    return reinterpret_cast<PyObject*>(Py_TYPE(obj)) == bool_type.get();
}

void refuse_str(Arg arg, const char* expected) {
    if (PyUnicode_Check(arg.obj)) raise_wrong_type(arg, expected);
}

Ref sequence_item(Arg arg, Py_ssize_t i) {
    return take(PySequence_GetItem(arg.obj, i));
}

Py_ssize_t sequence_size(Arg arg, const char* expected) {
    refuse_str(arg, expected);
    if (!PySequence_Check(arg.obj)) raise_wrong_type(arg, expected);
    const Py_ssize_t size = PySequence_Size(arg.obj);
    if (size < 0) rethrow_named(arg.name);
    return size;
}

}  // namespace

void raise_wrong_type(Arg arg, const char* expected) {
    raise_named(PyExc_TypeError, arg.name,
                std::string("expected ") + expected + ", got '" + type_name(arg.obj) + "'");
}

uint64_t to_u64(Arg arg) {
    if (PyLong_CheckExact(arg.obj)) return long_to_u64(arg.obj, arg.name);
    const Ref index = index_of(arg);
    return long_to_u64(index.get(), arg.name);
}

std::optional<uint64_t> to_optional_u64(Arg arg) {
    if (arg.is_none()) return std::nullopt;
    return to_u64(arg);
}

bool to_bool(Arg arg) {
    if (arg.obj == Py_True) return true;
    if (arg.obj == Py_False) return false;
    if (is_numpy_bool(arg.obj)) {
        const int truth = PyObject_IsTrue(arg.obj);
        if (truth < 0) rethrow_named(arg.name);
        return truth != 0;
    }
    raise_wrong_type(arg, "bool");
}

uint8_t to_phase(Arg arg) {
    const Ref index = index_of(arg);
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) rethrow_named(arg.name);
    if (overflow > 0 || value > INT32_MAX) {
        raise_named(PyExc_OverflowError, arg.name, "signed integer is greater than maximum");
    }
    if (overflow < 0 || value < INT32_MIN) {
        raise_named(PyExc_OverflowError, arg.name, "signed integer is less than minimum");
    }
    return static_cast<uint8_t>(((value % 4) + 4) % 4);
}

std::string_view to_str(Arg arg) {
    if (!PyUnicode_Check(arg.obj)) raise_wrong_type(arg, "str");
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(arg.obj, &size);
    if (!data) rethrow_named(arg.name);
    return {data, static_cast<size_t>(size)};
}

std::string to_path(Arg arg) {
    if (!PyUnicode_Check(arg.obj)) raise_wrong_type(arg, "str");
    PyObject* raw = PyUnicode_EncodeFSDefault(arg.obj);
    if (!raw) rethrow_named(arg.name);
    const Ref bytes = Ref::steal(raw);
    char* data = nullptr;
    Py_ssize_t size = 0;
    check_status(PyBytes_AsStringAndSize(bytes.get(), &data, &size));
    return std::string(data, static_cast<size_t>(size));
}

std::vector<uint8_t> to_byte_list(Arg arg) {
    if (arg.is_none()) return {};
    const char* expected = "a sequence of integers 0 to 255";
    if (PyBytes_Check(arg.obj)) {
        char* data = nullptr;
        Py_ssize_t size = 0;
        check_status(PyBytes_AsStringAndSize(arg.obj, &data, &size));
        return std::vector<uint8_t>(data, data + size);
    }
    const Py_ssize_t size = sequence_size(arg, expected);
    std::vector<uint8_t> out;
    out.reserve(static_cast<size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        const Ref item = sequence_item(arg, i);
        const uint64_t value = to_u64({item.get(), arg.name});
        if (value > 255) {
            raise_named(PyExc_OverflowError, arg.name,
                        "integer " + std::to_string(value) + " does not fit in a byte (0 to 255)");
        }
        out.push_back(static_cast<uint8_t>(value));
    }
    return out;
}

std::vector<Pin> to_pins(Arg arg) {
    if (arg.is_none()) return {};
    const char* expected = "a sequence of (records, bool) tuples";
    const Py_ssize_t size = sequence_size(arg, expected);
    std::vector<Pin> pins;
    pins.reserve(static_cast<size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        const Ref pair = sequence_item(arg, i);
        if (!PyTuple_Check(pair.get()) || PyTuple_Size(pair.get()) != 2) {
            raise_wrong_type({pair.get(), arg.name}, "a (records, bool) tuple");
        }
        const Arg records{PyTuple_GetItem(pair.get(), 0), arg.name};
        const Py_ssize_t count = sequence_size(records, "a sequence of record indices");
        Pin pin{{}, false};
        pin.records.reserve(static_cast<size_t>(count));
        for (Py_ssize_t j = 0; j < count; ++j) {
            const Ref record = sequence_item(records, j);
            pin.records.push_back(to_u64({record.get(), arg.name}));
        }
        pin.value = to_bool({PyTuple_GetItem(pair.get(), 1), arg.name});
        pins.push_back(std::move(pin));
    }
    return pins;
}

}  // namespace kelvo::py
