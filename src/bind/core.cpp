#include <unistd.h>
#include "core.hpp"
#include "module.hpp"

#include <algorithm>
#include <new>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

namespace bind {

void park_thread_at_exit() noexcept {
    for (;;) pause();
}

PyObject* intern(const char* text) {
    // Interned strings are kept alive by this table for the life of the
    // process (and, being interned, are shared with the interpreter's own).
    static std::unordered_map<std::string, PyObject*> table;
    auto it = table.find(text);
    if (it != table.end()) return it->second;
    PyObject* s = PyUnicode_InternFromString(text);
    if (s == nullptr) throw py::error_already_set();
    table.emplace(text, s);
    return s;
}

py::object mapping_get(py::handle mapping, PyObject* key, py::handle fallback) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject* v = PyDict_GetItemWithError(mapping.ptr(), key);
        if (v != nullptr) return borrow(v);
        if (PyErr_Occurred()) throw py::error_already_set();
        return py::reinterpret_borrow<py::object>(fallback);
    }
    static PyObject* get = intern("get");
    return call_method(mapping, get, key, fallback);
}

py::object dict_of(std::initializer_list<std::pair<PyObject*, py::handle>> items) {
    py::object d = new_dict();
    for (const auto& [k, v] : items) dict_set(d, k, v);
    return d;
}

py::object import(const char* name) { return steal(PyImport_ImportModule(name)); }

py::object import_from(const char* module, const char* attr) {
    py::object m = import(module);
    PyObject* v = PyObject_GetAttrString(m.ptr(), attr);
    if (v == nullptr) {
        // Same error as the statement `from module import attr`.
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
        PyErr_Clear();
        PyObject* file = PyObject_GetAttrString(m.ptr(), "__file__");
        if (file == nullptr) PyErr_Clear();
        py::object location = file != nullptr && file != Py_None ? steal(file) : str("unknown location");
        if (file == Py_None) Py_DECREF(file);
        py::object name = str(module);
        py::object message = steal(PyUnicode_FromFormat("cannot import name '%s' from %R (%S)", attr, name.ptr(),
                                                         location.ptr()));
        PyErr_SetImportError(message.ptr(), name.ptr(), location.ptr());
        throw py::error_already_set();
    }
    return steal(v);
}

void set_error_from(std::exception_ptr e) noexcept {
    try {
        std::rethrow_exception(e);
    } catch (py::error_already_set& err) {
        err.restore();
    } catch (py::builtin_exception& err) {
        err.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::out_of_range& err) {
        PyErr_SetString(PyExc_IndexError, err.what());
    } catch (const std::invalid_argument& err) {
        PyErr_SetString(PyExc_ValueError, err.what());
    } catch (const std::exception& err) {
        PyErr_SetString(PyExc_RuntimeError, err.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

PyObject* fetch_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr) {
        PyException_SetTraceback(value, tb);
        Py_DECREF(tb);
    }
    Py_DECREF(type);
    return value;
#endif
}

void restore_exception(PyObject* exc) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
    Py_INCREF(type);
    PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
}

void throw_exception(PyObject* exc) {
    Py_INCREF(exc);
    restore_exception(exc);
    throw py::error_already_set();
}

namespace {
PyObject* g_globals = nullptr;  // the module's dict, kept for the life of the process

std::vector<std::pair<int, DefineFn>>& definitions() {
    static auto* list = new std::vector<std::pair<int, DefineFn>>();  // filled during static initialisation
    return *list;
}
}  // namespace

Definition::Definition(int order, DefineFn define) { definitions().emplace_back(order, define); }

void run_definitions(py::module_& m) {
    auto list = definitions();
    std::stable_sort(list.begin(), list.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [order, define] : list) define(m);
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
