#include "names.hpp"

#include "annotations.hpp"

namespace bind::detail {

PyObject* keyword_tuple(std::initializer_list<const char*> names) {
    py::object tuple = steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (const char* name : names) {
        PyObject* interned = intern(name);
        Py_INCREF(interned);
        PyTuple_SET_ITEM(tuple.ptr(), i++, interned);
    }
    return keep(std::move(tuple));
}

void bind_global(py::module_& m, const char* name, py::object value) {
    check(PyObject_SetAttrString(m.ptr(), name, value.ptr()));
}

void add_type_name(py::handle& names, const char* module, const char* name) {
    if (!names) names = keep(annotation_names({}));
    check(PyDict_SetItemString(names.ptr(), name, import_from(module, name).ptr()));
}

}  // namespace bind::detail
