// Owned Python references and the "a Python exception is already set" signal.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <string_view>
#include <utility>

namespace kelvo::py {

namespace detail {
// Set by an atexit callback, on the thread that then finalizes the interpreter.
inline std::atomic<bool> interpreter_exiting{false};
inline std::atomic<unsigned long> finalizing_thread{0};
}  // namespace detail

// Whether the calling thread may release references. Once the interpreter exits, only the
// thread that finalizes it holds the interpreter lock: another thread found here is being
// ended (one that asks for the lock after finalization began is unwound, ForcedUnwind in
// thread_edges.h, without it), and the references its frames hold are left to the process.
inline bool may_release_references() {
    return !detail::interpreter_exiting.load(std::memory_order_acquire) ||
           PyThread_get_thread_ident() == detail::finalizing_thread.load(std::memory_order_relaxed);
}

// Thrown once a Python exception has been set; the call boundary (`guarded`) returns failure.
struct PythonError {};

// A strong reference, released on destruction. Null means "nothing held".
class Ref {
  public:
    Ref() = default;
    static Ref steal(PyObject* obj) { return Ref(obj); }
    static Ref borrow(PyObject* obj) {
        Py_XINCREF(obj);
        return Ref(obj);
    }
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref old(std::exchange(obj_, std::exchange(other.obj_, nullptr)));
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() {
        if (obj_ && may_release_references()) Py_DECREF(obj_);
    }

    PyObject* get() const { return obj_; }
    PyObject* release() { return std::exchange(obj_, nullptr); }
    explicit operator bool() const { return obj_ != nullptr; }

  private:
    explicit Ref(PyObject* obj) : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

// Owns the new reference a C API call returned; a null result means the call raised.
inline Ref take(PyObject* result) {
    if (!result) throw PythonError{};
    return Ref::steal(result);
}

// Checks the status of a C API call that returns -1 on failure.
inline void check_status(int status) {
    if (status < 0) throw PythonError{};
}

// Sets `type(message)` as the current exception and throws PythonError.
[[noreturn]] void raise(PyObject* type, std::string_view message);

inline Ref py_none() {
    return Ref::borrow(Py_None);
}
inline Ref py_not_implemented() {
    return Ref::borrow(Py_NotImplemented);
}
inline Ref py_bool(bool value) {
    return Ref::borrow(value ? Py_True : Py_False);
}
inline Ref py_u64(uint64_t value) {
    return take(PyLong_FromUnsignedLongLong(value));
}
inline Ref py_float(double value) {
    return take(PyFloat_FromDouble(value));
}
Ref py_str(std::string_view text);

}  // namespace kelvo::py
