// Shared binding layer: the small set of tools every extension module of the
// package uses to talk to the interpreter.
//
// Conventions of the whole layer:
// - Every function here is called with the GIL held; nothing here releases it.
// - `py::object` owns a reference, `py::handle` and `PyObject*` parameters are
//   borrowed for the duration of the call.
// - A failing C-API call is turned into `py::error_already_set` (which carries
//   the pending Python exception); the entry points of the layer turn any C++
//   exception back into a Python exception, so nothing reaches the
//   interpreter as a C++ exception.
#pragma once

#include <Python.h>
#include <pybind11/pybind11.h>

#include <cxxabi.h>

#include <cstddef>
#include <exception>
#include <utility>

namespace py = pybind11;

namespace bind {

// ---------------------------------------------------------------------------
// References

// Takes ownership of a new reference; a null result means a Python error is
// pending, which is raised as `py::error_already_set`.
inline py::object steal(PyObject* o) {
    if (o == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(o);
}

inline py::object borrow(PyObject* o) { return py::reinterpret_borrow<py::object>(o); }

// Keeps a reference for the life of the process. Objects cached in statics
// must be held this way: a static `py::object` would be released by its
// destructor after the interpreter has been finalised.
inline PyObject* keep(py::object o) { return o.release().ptr(); }

inline PyObject* ptr(PyObject* o) { return o; }
inline PyObject* ptr(py::handle o) { return o.ptr(); }

// Raises the pending Python error when `status` signals failure (-1).
inline int check(int status) {
    if (status < 0) throw py::error_already_set();
    return status;
}

// An interned string that lives as long as the process. Use it for attribute
// names and dictionary keys on hot paths: interned keys hit the pointer
// comparison fast path of dict lookups and `getattr`.
PyObject* intern(const char* text);

// ---------------------------------------------------------------------------
// Calls (vectorcall, no argument tuples)

// A thread that gets the GIL back while the interpreter is being finalised
// is ended by the interpreter with a forced unwind (pthread_exit). Unwinding
// through C++ frames would run their destructors, releasing references with
// no interpreter left, so a call that the unwind reaches never returns: the
// thread parks here without the GIL until the process exits, as a thread
// inside plain C code effectively does.
[[noreturn]] void park_thread_at_exit() noexcept;

template <class F>
auto entering_python(F&& f) -> decltype(f()) {
    try {
        return f();
    } catch (abi::__forced_unwind&) {
        park_thread_at_exit();
    }
}

template <class... A>
py::object call(py::handle callable, const A&... args) {
    PyObject* argv[] = {nullptr, ptr(args)...};
    return steal(entering_python([&] {
        return PyObject_Vectorcall(callable.ptr(), argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    }));
}

template <class... A>
py::object call_method(py::handle self, PyObject* name, const A&... args) {
    PyObject* argv[] = {self.ptr(), ptr(args)...};
    return steal(entering_python([&] {
        return PyObject_VectorcallMethod(name, argv, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    }));
}

// Calls with trailing keyword arguments: `kwnames` is a tuple of the names of
// the last len(kwnames) values of `args`.
template <class... A>
py::object call_kw(py::handle callable, py::handle kwnames, const A&... args) {
    PyObject* argv[] = {nullptr, ptr(args)...};
    const size_t npos = sizeof...(A) - static_cast<size_t>(PyTuple_GET_SIZE(kwnames.ptr()));
    return steal(entering_python([&] {
        return PyObject_Vectorcall(callable.ptr(), argv + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.ptr());
    }));
}

inline py::object getattr(py::handle o, PyObject* name) { return steal(PyObject_GetAttr(o.ptr(), name)); }

inline void setattr(py::handle o, PyObject* name, py::handle value) {
    check(PyObject_SetAttr(o.ptr(), name, value.ptr()));
}

// `o[key]`
inline py::object getitem(py::handle o, py::handle key) { return steal(PyObject_GetItem(o.ptr(), key.ptr())); }
inline void setitem(py::handle o, py::handle key, py::handle value) {
    check(PyObject_SetItem(o.ptr(), key.ptr(), value.ptr()));
}

// `mapping.get(key, default)`, with the exact-dict case done without a call.
py::object mapping_get(py::handle mapping, PyObject* key, py::handle fallback);

// `next(iterator)`, or an empty object once the iterator is exhausted; an
// error raised by the iterator propagates.
inline py::object next_item(py::handle iterator) {
    PyObject* item = entering_python([&] { return PyIter_Next(iterator.ptr()); });
    if (item == nullptr && PyErr_Occurred()) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(item);
}

// `bool(o)`
inline bool truthy(py::handle o) { return check(PyObject_IsTrue(o.ptr())) != 0; }

// ---------------------------------------------------------------------------
// Building values

inline py::object str(const char* utf8) { return steal(PyUnicode_FromString(utf8)); }
inline py::object integer(long long v) { return steal(PyLong_FromLongLong(v)); }
inline py::object real(double v) { return steal(PyFloat_FromDouble(v)); }
inline py::object none() { return borrow(Py_None); }
inline py::object new_dict() { return steal(PyDict_New()); }
inline py::object new_list(Py_ssize_t n = 0) { return steal(PyList_New(n)); }

// A dict built from (interned key, value) pairs, in order.
py::object dict_of(std::initializer_list<std::pair<PyObject*, py::handle>> items);

inline void dict_set(py::handle d, PyObject* key, py::handle value) {
    check(PyDict_SetItem(d.ptr(), key, value.ptr()));
}
inline void list_append(py::handle l, py::handle value) { check(PyList_Append(l.ptr(), value.ptr())); }

// `import name` / `from name import attr`
py::object import(const char* name);
py::object import_from(const char* module, const char* attr);

// ---------------------------------------------------------------------------
// Exceptions

// Sets the Python error indicator from a C++ exception (the one being
// handled when called from a `catch` block, or `e`). Python errors carried
// by `py::error_already_set` are restored unchanged: same object, same type,
// same message and traceback.
void set_error_from(std::exception_ptr e) noexcept;

// Takes the pending Python exception (normalised, traceback attached) out of
// the error indicator. Returns a new reference, or null when none is pending.
PyObject* fetch_exception() noexcept;

// Raises `exc` (steals the reference): the error indicator holds the very
// same exception object afterwards.
void restore_exception(PyObject* exc) noexcept;

// Raises `exc` (borrowed) as a C++ `py::error_already_set`.
[[noreturn]] void throw_exception(PyObject* exc);

}  // namespace bind
