// Declarative Python classes and functions: heap types from a slot table, instances holding
// one C++ value, and the trampolines that every method, getter and operator goes through.
//
// A trampoline matches arguments against the text signature (parsed once, on first call),
// checks the owner thread, takes shared or exclusive access to the held value, runs the
// binding function and translates any C++ exception (see error_map.h).
#pragma once

#include <cstddef>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>

#include "convert.h"
#include "error_map.h"
#include "guard.h"
#include "never_destroyed.h"
#include "ref.h"
#include "signature.h"

namespace kelvo::py {

// A string usable as a template argument: each docstring gives its trampoline its own
// parsed signature.
template <size_t N>
struct Text {
    char s[N]{};
    constexpr Text() = default;
    constexpr Text(const char (&text)[N]) {
        for (size_t i = 0; i < N; ++i)
            s[i] = text[i];
    }
};

// The matched arguments of one call, in parameter order; `args[i]` names parameter i.
class Args {
  public:
    Args(const Signature& signature, const ArgSlots& slots) : sig_(signature), slots_(slots) {}
    Arg operator[](size_t i) const { return {slots_[i], sig_.param_name(i)}; }

  private:
    const Signature& sig_;
    const ArgSlots& slots_;
};

// Python object layout of a class holding a T.
template <class T>
struct Instance {
    PyObject_HEAD ObjectGuard guard;
    T value;
};

// Once-cell of the class holding T (one class per held type).
template <class T>
struct ClassCell {
    static inline PyTypeObject* type = nullptr;
    static inline const char* name = nullptr;  // qualified, e.g. "kelvo._core.PauliString"
    static inline bool thread_affine = false;
};

struct ClassOptions {
    bool thread_affine = false;  // usable only on the creating thread
    bool instantiable = true;    // false: calling the class raises TypeError
};

// A held type that keeps Python objects names them all, so that its class takes part in the
// interpreter's cyclic garbage collection: `void for_each_reference(auto&& visit)` calls
// `visit(Ref&)` on each. A cleared reference is null; readers must expect that.
template <class T>
concept HoldsReferences = requires(T& value) {
    value.for_each_reference([](Ref&) {});
};

namespace detail {

template <class T>
Instance<T>* instance_of(PyObject* obj) {
    return reinterpret_cast<Instance<T>*>(obj);
}

template <class T>
void dealloc(PyObject* obj) {
    Instance<T>* inst = instance_of<T>(obj);
    PyTypeObject* type = Py_TYPE(obj);
    if constexpr (HoldsReferences<T>) PyObject_GC_UnTrack(obj);
    if (inst->guard.on_owner_thread()) {
        inst->value.~T();
    } else {
        // Another thread must not touch the value: leak it and report.
        PyObject *type_err, *value_err, *traceback;
        PyErr_Fetch(&type_err, &value_err, &traceback);
        PyErr_Format(PyExc_RuntimeError, "%s is unsendable, but is being dropped on another thread",
                     ClassCell<T>::name);
        PyErr_WriteUnraisable(nullptr);
        PyErr_Restore(type_err, value_err, traceback);
    }
    inst->guard.~ObjectGuard();
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(obj);
    Py_DECREF(type);
}

template <class T>
int traverse(PyObject* obj, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(obj));  // instances of heap types own a reference to their class
    int status = 0;
    instance_of<T>(obj)->value.for_each_reference([&](Ref& ref) {
        if (status == 0 && ref) status = visit(ref.get(), arg);
    });
    return status;
}

template <class T>
int clear(PyObject* obj) {
    instance_of<T>(obj)->value.for_each_reference([](Ref& ref) { Ref dropped = std::move(ref); });
    return 0;
}

// Garbage-collection hooks of a class; both null for a class that holds no references.
struct GcHooks {
    traverseproc traverse = nullptr;
    inquiry clear = nullptr;
};

PyTypeObject* create_type(const char* qualified_name, size_t basic_size, PyType_Slot* slots,
                          const ClassOptions& options, destructor dealloc, GcHooks gc);

// Access to the held value for the duration of a call; released on every path.
template <class T, Access A>
class Borrow {
  public:
    explicit Borrow(PyObject* obj) : inst_(instance_of<T>(obj)) {
        inst_->guard.check_thread(ClassCell<T>::name);
        inst_->guard.acquire(A);
    }
    Borrow(Borrow&& other) noexcept : inst_(std::exchange(other.inst_, nullptr)) {}
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    ~Borrow() {
        if (inst_) inst_->guard.release(A);
    }

    std::conditional_t<A == Access::Shared, const T&, T&> operator*() const { return inst_->value; }
    auto* operator->() const { return &**this; }
    PyObject* object() const { return reinterpret_cast<PyObject*>(inst_); }

  private:
    Instance<T>* inst_;
};

template <Text Doc>
struct DocName {
    static constexpr auto value = [] {
        Text<sizeof(Doc.s)> out;
        for (size_t i = 0; i < sizeof(Doc.s) && Doc.s[i] != '(' && Doc.s[i] != '\0'; ++i) {
            out.s[i] = Doc.s[i];
        }
        return out;
    }();
};

// Never destroyed: the signature holds Python objects, which must not be released after the
// interpreter has finalized.
template <Text Doc>
const Signature& signature() {
    static const NeverDestroyed<Signature> sig(Doc.s);
    return sig.get();
}

// Binding functions are classified by their parameters: (const T&, const Args&) reads,
// (T&, const Args&) writes, (const Args&) has no instance.
template <class F>
struct MethodTraits;
template <class R, class T>
struct MethodTraits<R (*)(const T&, const Args&)> {
    using Held = T;
    static constexpr Access access = Access::Shared;
};
template <class R, class T>
struct MethodTraits<R (*)(T&, const Args&)> {
    using Held = T;
    static constexpr Access access = Access::Exclusive;
};

template <class F>
struct UnaryTraits;
template <class R, class T>
struct UnaryTraits<R (*)(const T&)> {
    using Held = T;
};

template <auto Fn, Text Doc>
PyObject* method_trampoline(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    using Traits = MethodTraits<decltype(Fn)>;
    return guarded<PyObject*>(nullptr, [&] {
        const Signature& sig = signature<Doc>();
        ArgSlots slots;
        sig.match(args, nargs, kwnames, slots);
        const Borrow<typename Traits::Held, Traits::access> held(self);
        return Fn(*held, Args(sig, slots)).release();
    });
}

template <auto Fn, Text Doc>
PyObject* function_trampoline(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return guarded<PyObject*>(nullptr, [&] {
        const Signature& sig = signature<Doc>();
        ArgSlots slots;
        sig.match(args, nargs, kwnames, slots);
        return Fn(Args(sig, slots)).release();
    });
}

template <auto Fn>
PyObject* unary_trampoline(PyObject* self) {
    using T = typename UnaryTraits<decltype(Fn)>::Held;
    return guarded<PyObject*>(nullptr, [&] {
        const Borrow<T, Access::Shared> held(self);
        return Fn(*held).release();
    });
}

template <auto Fn>
PyObject* getter_trampoline(PyObject* self, void*) {
    return unary_trampoline<Fn>(self);
}

template <auto Fn>
PyObject* binary_trampoline(PyObject* a, PyObject* b) {
    return guarded<PyObject*>(nullptr, [&] { return Fn(a, b).release(); });
}

template <auto Fn>
PyObject* richcompare_trampoline(PyObject* a, PyObject* b, int op) {
    return guarded<PyObject*>(nullptr, [&] { return Fn(a, b, op).release(); });
}

}  // namespace detail

// A new Python object of T's class holding `value`.
template <class T>
Ref make_instance(T&& value) {
    using Held = std::decay_t<T>;
    PyTypeObject* type = ClassCell<Held>::type;
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* obj = alloc(type, 0);
    if (!obj) throw PythonError{};
    // Untracked until the value exists, so that a collection never traverses a half-built one.
    if constexpr (HoldsReferences<Held>) PyObject_GC_UnTrack(obj);
    Instance<Held>* inst = detail::instance_of<Held>(obj);
    try {
        new (&inst->value) Held(std::forward<T>(value));
    } catch (...) {
        // No value to destroy: free the bare object instead of running the class's dealloc.
        reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(obj);
        Py_DECREF(type);
        throw;
    }
    new (&inst->guard) ObjectGuard(ClassCell<Held>::thread_affine);
    if constexpr (HoldsReferences<Held>) PyObject_GC_Track(obj);
    return Ref::steal(obj);
}

// Shared access to an argument of T's class, or nullopt when it is of another type.
// Another thread's object panics; an exclusively held one raises "Already mutably borrowed".
template <class T>
std::optional<detail::Borrow<T, Access::Shared>> try_instance(PyObject* obj) {
    if (!PyObject_TypeCheck(obj, ClassCell<T>::type)) return std::nullopt;
    return std::optional<detail::Borrow<T, Access::Shared>>(std::in_place, obj);
}

// As try_instance, but a wrong type raises TypeError naming the parameter and the class.
template <class T>
detail::Borrow<T, Access::Shared> to_instance(Arg arg) {
    if (!PyObject_TypeCheck(arg.obj, ClassCell<T>::type)) {
        const char* dot = ClassCell<T>::name;
        for (const char* p = dot; *p; ++p) {
            if (*p == '.') dot = p + 1;
        }
        raise_wrong_type(arg, dot);
    }
    return detail::Borrow<T, Access::Shared>(arg.obj);
}

namespace detail {
template <Text Doc>
constexpr PyMethodDef table_entry(PyObject* (*trampoline)(PyObject*, PyObject* const*, Py_ssize_t,
                                                          PyObject*),
                                  int flags) {
    return {DocName<Doc>::value.s,
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(trampoline)),
            METH_FASTCALL | METH_KEYWORDS | flags, Doc.s};
}
}  // namespace detail

// Table entries. `Doc` starts with the text signature, e.g. "xbit($self, q)\n--\n\n...".
template <auto Fn, Text Doc>
constexpr PyMethodDef method() {
    return detail::table_entry<Doc>(&detail::method_trampoline<Fn, Doc>, 0);
}

template <auto Fn, Text Doc>
constexpr PyMethodDef static_method() {
    return detail::table_entry<Doc>(&detail::function_trampoline<Fn, Doc>, METH_STATIC);
}

// A module-level function; register it with Registrar::add_function.
template <auto Fn, Text Doc>
constexpr PyMethodDef function() {
    return detail::table_entry<Doc>(&detail::function_trampoline<Fn, Doc>, 0);
}

// Read-only property `Ref fn(const T&)`.
template <auto Fn>
constexpr PyGetSetDef getter(const char* name, const char* doc) {
    return {name, &detail::getter_trampoline<Fn>, nullptr, doc, nullptr};
}

// Slot functions: `T fn(const Args&)` for Py_tp_new (with the class docstring as `Doc`),
// `Ref fn(const T&)` for unary slots (str, repr, neg), `Ref fn(PyObject*, PyObject*)` for
// binary number slots and `Ref fn(PyObject*, PyObject*, int op)` for rich comparison.
template <auto Fn, Text Doc>
newfunc constructor() {
    return [](PyTypeObject*, PyObject* args, PyObject* kwargs) -> PyObject* {
        return guarded<PyObject*>(nullptr, [&] {
            const Signature& sig = detail::signature<Doc>();
            ArgSlots slots;
            sig.match(args, kwargs, slots);
            return make_instance(Fn(Args(sig, slots))).release();
        });
    };
}

template <auto Fn>
void* unary_slot() {
    return reinterpret_cast<void*>(&detail::unary_trampoline<Fn>);
}

template <auto Fn>
void* binary_slot() {
    return reinterpret_cast<void*>(&detail::binary_trampoline<Fn>);
}

template <auto Fn>
void* richcompare_slot() {
    return reinterpret_cast<void*>(&detail::richcompare_trampoline<Fn>);
}

// Creates T's class once per process from `slots` (terminated by {0, nullptr}; a dealloc slot
// is added here). Later calls return the same class.
template <class T>
PyTypeObject* define_class(const char* qualified_name, PyType_Slot* slots,
                           const ClassOptions& options) {
    if (!ClassCell<T>::type) {
        ClassCell<T>::name = qualified_name;
        ClassCell<T>::thread_affine = options.thread_affine;
        detail::GcHooks gc;
        if constexpr (HoldsReferences<T>) gc = {&detail::traverse<T>, &detail::clear<T>};
        ClassCell<T>::type = detail::create_type(qualified_name, sizeof(Instance<T>), slots,
                                                 options, &detail::dealloc<T>, gc);
    }
    return ClassCell<T>::type;
}

}  // namespace kelvo::py
