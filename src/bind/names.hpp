// Interned names and imports, each declared once, as an entry of a list.
//
// A list of names applies X to every entry (the lines of the macro end in a
// backslash, left out here):
//
//     #define PART_NAMES(X)
//         X(search_kwargs)                              the interned "search_kwargs"
//         X(using_, "using")                            an interned text other than the identifier
//         X(kwnames, bind::keywords, "key", "reverse")  ("key", "reverse"), for bind::call_kw
//         X(thousand, 1000)                             an int (from a double, a float)
//     BIND_NAMES(PartNames, PART_NAMES);
//
// declares `struct PartNames` with one `PyObject*` per entry and `fill()`,
// which makes them. A list of imports applies one of five macros to each
// entry and is resolved in its order, as the import statements at the top of
// a Python module run:
//
//     #define PART_IMPORTS(FROM, MODULE, OPTIONAL, TYPE, HOST)
//         FROM(aquery, "utils.dbs")                    from utils.dbs import aquery (a module global)
//         MODULE(json)                                 import json (a module global)
//         OPTIONAL(lock, "utils.dbs")                  lock = getattr(utils.dbs, "lock", None) (a global)
//         TYPE(Document, "langchain_core.documents")   a name annotation text may use
//         HOST(deepcopy, "copy", "deepcopy")           kept in the state, not a global
//     BIND_IMPORTS(PartImports, PART_IMPORTS);
//
// declares `struct PartImports` with a `py::handle` per HOST entry,
// `type_names` (the names annotation text may use: see annotations.hpp) and
// `resolve(m)`, which makes the imports and binds the globals on module `m`.
// A missing module or name fails the resolution, and so the module's import,
// with the interpreter's own error. Module globals are read on every call
// with `bind::global`; `BIND_MODULE_NAMES` declares a names struct that also
// has the interned name of every global an imports list binds.
//
// Everything made here is kept for the life of the process, never released:
// the module's functions and classes read it and may outlive the module
// object, and extension modules are never unloaded.
#pragma once

#include "annotations.hpp"
#include "core.hpp"
#include "module.hpp"

#include <initializer_list>
#include <utility>

namespace bind {

// Marks a names entry as a tuple of keyword names.
struct KeywordsTag {};
inline constexpr KeywordsTag keywords{};

namespace detail {

inline PyObject* name_value(const char* identifier) { return intern(identifier); }
inline PyObject* name_value(const char*, const char* text) { return intern(text); }
inline PyObject* name_value(const char*, int value) { return keep(integer(value)); }
inline PyObject* name_value(const char*, double value) { return keep(real(value)); }
inline PyObject* keyword_tuple(std::initializer_list<const char*> names) {
    py::object tuple = steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (const char* name : names) {
        PyObject* interned = intern(name);
        Py_INCREF(interned);
        PyTuple_SET_ITEM(tuple.ptr(), i++, interned);
    }
    return keep(std::move(tuple));
}
template <class... T>
PyObject* name_value(const char*, KeywordsTag, const T&... names) {
    return keyword_tuple({names...});
}

// m.<name> = value
inline void bind_global(py::module_& m, const char* name, py::object value) {
    check(PyObject_SetAttrString(m.ptr(), name, value.ptr()));
}

// names[name] = `from module import name`; `names` is made on first use.
inline void add_type_name(py::handle& names, const char* module, const char* name) {
    if (!names) names = keep(annotation_names({}));
    check(PyDict_SetItemString(names.ptr(), name, import_from(module, name).ptr()));
}

}  // namespace detail
}  // namespace bind

#define BIND_NAMES_MEMBER_(id, ...) PyObject* id = nullptr;
#define BIND_NAMES_FILL_(id, ...) id = ::bind::detail::name_value(#id __VA_OPT__(, ) __VA_ARGS__);
#define BIND_NAMES_GLOBAL_FILL_(id, ...) id = ::bind::intern(#id);
#define BIND_NAMES_SKIP_(...)

#define BIND_NAMES(Type, NAMES)          \
    struct Type {                        \
        NAMES(BIND_NAMES_MEMBER_)        \
        void fill() { NAMES(BIND_NAMES_FILL_) } \
    }

// A part's own names in a file of the module: `variable`, filled when the
// module is executed, before its parts are defined (see module.hpp).
#define BIND_PART_NAMES(Type, NAMES, variable)                                      \
    BIND_NAMES(Type, NAMES);                                                        \
    Type variable;                                                                  \
    const ::bind::PartNames variable##_filled([] { variable.fill(); })

// The names of NAMES and, for `bind::global`, those of the globals IMPORTS binds.
#define BIND_MODULE_NAMES(Type, NAMES, IMPORTS)                                                        \
    struct Type {                                                                                      \
        NAMES(BIND_NAMES_MEMBER_)                                                                      \
        IMPORTS(BIND_NAMES_MEMBER_, BIND_NAMES_MEMBER_, BIND_NAMES_MEMBER_, BIND_NAMES_SKIP_, BIND_NAMES_SKIP_) \
        void fill() {                                                                                  \
            NAMES(BIND_NAMES_FILL_)                                                                    \
            IMPORTS(BIND_NAMES_GLOBAL_FILL_, BIND_NAMES_GLOBAL_FILL_, BIND_NAMES_GLOBAL_FILL_, BIND_NAMES_SKIP_,   \
                    BIND_NAMES_SKIP_)                                                                  \
        }                                                                                              \
    }

#define BIND_IMPORTS_HOST_MEMBER_(id, module, attr) py::handle id;
#define BIND_IMPORTS_FROM_(id, module) ::bind::detail::bind_global(m, #id, ::bind::import_from(module, #id));
#define BIND_IMPORTS_MODULE_(id) ::bind::detail::bind_global(m, #id, ::bind::import(#id));
#define BIND_IMPORTS_OPTIONAL_(id, module) \
    ::bind::detail::bind_global(m, #id, py::getattr(::bind::import(module), #id, py::none()));
#define BIND_IMPORTS_TYPE_(id, module) ::bind::detail::add_type_name(type_names, module, #id);
#define BIND_IMPORTS_HOST_(id, module, attr) id = ::bind::keep(::bind::import_from(module, attr));

#define BIND_IMPORTS(Type, IMPORTS)                                                                   \
    struct Type {                                                                                     \
        IMPORTS(BIND_NAMES_SKIP_, BIND_NAMES_SKIP_, BIND_NAMES_SKIP_, BIND_NAMES_SKIP_, BIND_IMPORTS_HOST_MEMBER_) \
        py::handle type_names;                                                                        \
        void resolve([[maybe_unused]] py::module_& m) {                                               \
            IMPORTS(BIND_IMPORTS_FROM_, BIND_IMPORTS_MODULE_, BIND_IMPORTS_OPTIONAL_, BIND_IMPORTS_TYPE_, \
                    BIND_IMPORTS_HOST_)                                                               \
        }                                                                                             \
    }
