#include "py_class.h"

#include <vector>

namespace kelvo::py::detail {

PyTypeObject* create_type(const char* qualified_name, size_t basic_size, PyType_Slot* slots,
                          const ClassOptions& options, destructor dealloc) {
    std::vector<PyType_Slot> all;
    for (PyType_Slot* s = slots; s->slot != 0; ++s)
        all.push_back(*s);
    all.push_back({Py_tp_dealloc, reinterpret_cast<void*>(dealloc)});
    all.push_back({0, nullptr});
    unsigned int flags = Py_TPFLAGS_DEFAULT;
    if (!options.instantiable) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
    PyType_Spec type_def{qualified_name, static_cast<int>(basic_size), 0, flags, all.data()};
    return reinterpret_cast<PyTypeObject*>(take(PyType_FromSpec(&type_def)).release());
}

}  // namespace kelvo::py::detail
