#include <unistd.h>
#include "core.hpp"

#include <new>
#include <stdexcept>
#include <string>
#include <unordered_map>

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

}  // namespace bind
