#include "py_class.h"

#include <vector>

namespace kelvo::py::detail {

PyTypeObject* create_type(const char* qualified_name, size_t basic_size, PyType_Slot* slots,
                          const ClassOptions& options, destructor dealloc, GcHooks gc) {
    std::vector<PyType_Slot> all;
    for (PyType_Slot* s = slots; s->slot != 0; ++s)
        all.push_back(*s);
    all.push_back({Py_tp_dealloc, reinterpret_cast<void*>(dealloc)});
    unsigned int flags = Py_TPFLAGS_DEFAULT;
    if (gc.traverse) {
        all.push_back({Py_tp_traverse, reinterpret_cast<void*>(gc.traverse)});
        all.push_back({Py_tp_clear, reinterpret_cast<void*>(gc.clear)});
        flags |= Py_TPFLAGS_HAVE_GC;
    }
    all.push_back({0, nullptr});
    if (!options.instantiable) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
    PyType_Spec type_def{qualified_name, static_cast<int>(basic_size), 0, flags, all.data()};
    return reinterpret_cast<PyTypeObject*>(take(PyType_FromSpec(&type_def)).release());
}

}  // namespace kelvo::py::detail
