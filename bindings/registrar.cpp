#include "registrar.h"

namespace kelvo::py {

Registrar::Registrar(PyObject* module)
    : module_(module),
      all_(take(PyList_New(0))),
      module_name_(take(PyModule_GetNameObject(module))) {
    check_status(PyModule_AddObjectRef(module_, "__all__", all_.get()));
}

void Registrar::add(const char* name, Ref value) {
    check_status(PyModule_AddObjectRef(module_, name, value.get()));
    const Ref key = take(PyUnicode_FromString(name));
    check_status(PyList_Append(all_.get(), key.get()));
}

void Registrar::add_class(PyTypeObject* type) {
    const Ref name = take(PyType_GetName(type));
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), nullptr);
    if (!text) throw PythonError{};
    add(text, Ref::borrow(reinterpret_cast<PyObject*>(type)));
}

void Registrar::add_exception(const char* name, PyObject* cls) {
    add(name, Ref::borrow(cls));
}

void Registrar::add_function(PyMethodDef* def) {
    add(def->ml_name, take(PyCFunction_NewEx(def, module_, module_name_.get())));
}

}  // namespace kelvo::py
