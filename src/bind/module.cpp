// The module machinery: its init body, its globals and its parts.
#include "module.hpp"

#include <vector>

namespace bind {

namespace {
PyObject* g_globals = nullptr;  // the module's dict, kept for the life of the process

std::vector<void (*)()>& part_names() {
    static auto* list = new std::vector<void (*)()>();  // filled during static initialisation
    return *list;
}
}  // namespace

PartNames::PartNames(void (*fill)()) { part_names().push_back(fill); }

void fill_part_names() {
    for (auto fill : part_names()) fill();
}

py::object global(PyObject* name) {
    PyObject* v = g_globals != nullptr ? PyDict_GetItemWithError(g_globals, name) : nullptr;
    if (v == nullptr) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        throw py::error_already_set();
    }
    return borrow(v);
}

int run_module_body(PyObject* module, void (*body)(py::module_&)) noexcept {
    try {
        PyObject* dict = PyModule_GetDict(module);  // borrowed
        Py_XINCREF(dict);
        Py_XSETREF(g_globals, dict);
        // pybind11's own bookkeeping (used by its GIL helpers), as its
        // module macro would set it up.
        py::detail::get_internals();
        py::module_ m = py::reinterpret_borrow<py::module_>(module);
        body(m);
        return 0;
    } catch (...) {
        set_error_from(std::current_exception());
        return -1;
    }
}

}  // namespace bind
