// Fills the module in registration order, appending each name to `__all__`.
#pragma once

#include "ref.h"

namespace kelvo::py {

class Registrar {
  public:
    // Creates the module's empty `__all__` list.
    explicit Registrar(PyObject* module);

    void add(const char* name, Ref value);
    void add_class(PyTypeObject* type);  // under the class's own name
    void add_exception(const char* name, PyObject* cls);
    // `def` must have static storage (see function<>() in py_class.h).
    void add_function(PyMethodDef* def);

  private:
    PyObject* module_;
    Ref all_;
    Ref module_name_;
};

}  // namespace kelvo::py
