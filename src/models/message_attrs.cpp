#include "message_attrs.hpp"

#include "bind/names.hpp"

#include <structmember.h>

#include <array>
#include <vector>

namespace cogsift::attrs {
namespace {

// The attribute names with a fast path; any other name takes the generic one.
constexpr int kTracked = 2;
PyObject* g_tracked[kTracked] = {nullptr, nullptr};

// pydantic's pieces, kept for the life of the process.
PyTypeObject* g_base_model = nullptr;
PyObject* g_model_setattr = nullptr;       // BaseModel.__dict__["__setattr__"]
PyObject* g_model_getattr = nullptr;       // BaseModel.__dict__["__getattr__"]
PyObject* g_object_getattribute = nullptr;  // object.__dict__["__getattribute__"]
PyObject* g_field_handler = nullptr;       // the handler pydantic memoizes for plain fields
Py_ssize_t g_extra_offset = -1;            // slot of __pydantic_extra__
Py_ssize_t g_fields_set_offset = -1;       // slot of __pydantic_fields_set__

bool g_extra_fast = false;
bool g_extra_adds_to_fields_set = false;
bool g_field_fast = false;
#ifdef COMMUNITY_TEST_HOOKS
bool g_forced_generic = false;  // switched by the test hooks
#else
constexpr bool g_forced_generic = false;  // only a test build turns the fast paths off
#endif

#define ATTRS_NAMES(X)                                                                              \
    X(model_config) X(fields, "__pydantic_fields__") X(handlers, "__pydantic_setattr_handlers__")    \
    X(class_vars, "__class_vars__") X(extra) X(allow) X(frozen) X(validate_assignment)              \
    X(getattr_, "__getattr__") X(setattr_, "__setattr__") X(getattribute_, "__getattribute__")       \
    X(pydantic_extra, "__pydantic_extra__") X(pydantic_fields_set, "__pydantic_fields_set__")        \
    X(content) X(reasoning_content) X(content_keyword, bind::keywords, "content")                   \
    X(probe_attribute, "cogsift_probe_attribute")
BIND_NAMES(AttrsNames, ATTRS_NAMES);
AttrsNames k;  // made by init

// What one class does with attribute access, valid while the class's
// version tag is unchanged (any assignment to the class or to a base clears
// it). The mappings are pydantic's own class-level objects; they are read on
// every call, so changes made to them in place are seen.
struct TypeEntry {
    PyTypeObject* type = nullptr;  // strong reference
    unsigned int version = 0;
    bool set_ok = false;  // pydantic model whose __setattr__ is pydantic's
    bool get_ok = false;  // ... whose __getattribute__/__getattr__ are object's/pydantic's
    std::array<bool, kTracked> on_class{};  // getattr(cls, name) finds something
    py::object config, fields, handlers, class_vars;
};

// A handful of message classes pass through a process; a small table with
// round-robin replacement bounds what dynamically created classes can pin.
// Never destroyed: its entries hold references, which must not be released
// after the interpreter has been finalised.
constexpr std::size_t kCacheSize = 16;
std::vector<TypeEntry>& g_cache = *new std::vector<TypeEntry>();
std::size_t g_next_victim = 0;

PyObject* slot(PyObject* obj, Py_ssize_t offset) {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offset);
}

// The same, owned: dict and set operations compare keys, and a key's
// `__eq__` may replace the slot (and free what it held) meanwhile.
py::object owned_slot(PyObject* obj, Py_ssize_t offset) {
    PyObject* v = slot(obj, offset);
    return v != nullptr ? bind::borrow(v) : py::object();
}

// The instance `__dict__`, owned, or empty when it has none.
py::object owned_dict(PyObject* obj) {
    PyObject** dict_ptr = _PyObject_GetDictPtr(obj);
    return dict_ptr != nullptr && *dict_ptr != nullptr ? bind::borrow(*dict_ptr) : py::object();
}

// dict[key] as a new reference, null when absent; throws on a lookup error.
// The dict is owned by the caller for the span of the lookup.
PyObject* dict_lookup(const py::object& dict, PyObject* key) {
    PyObject* v = PyDict_GetItemWithError(dict.ptr(), key);
    if (v == nullptr) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return nullptr;
    }
    Py_INCREF(v);
    return v;
}

Py_ssize_t member_offset(PyObject* descr) {
    if (descr == nullptr || Py_TYPE(descr) != &PyMemberDescr_Type) return -1;
    PyMemberDef* m = reinterpret_cast<PyMemberDescrObject*>(descr)->d_member;
    if (m->type != T_OBJECT_EX || (m->flags & READONLY)) return -1;
    return m->offset;
}

int tracked_index(PyObject* name) {
    for (int i = 0; i < kTracked; ++i)
        if (g_tracked[i] == name) return i;
    return -1;
}

bool version_valid(PyTypeObject* tp) { return PyType_HasFeature(tp, Py_TPFLAGS_VALID_VERSION_TAG); }

// getattr(cls, name) finds something (the class, its bases or its
// metaclass). An error other than AttributeError counts as found, which sends
// the caller to the generic path where that error surfaces again.
bool class_has(PyTypeObject* tp, PyObject* name) {
    PyObject* v = PyObject_GetAttr(reinterpret_cast<PyObject*>(tp), name);
    if (v != nullptr) {
        Py_DECREF(v);
        return true;
    }
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return false;
    }
    PyErr_Clear();
    return true;
}

py::object class_attr(PyTypeObject* tp, PyObject* name) {
    PyObject* v = PyObject_GetAttr(reinterpret_cast<PyObject*>(tp), name);
    if (v == nullptr) {
        PyErr_Clear();
        return {};
    }
    return bind::steal(v);
}

TypeEntry compute(PyTypeObject* tp) {
    // Class attribute lookups run the metaclass's hooks, which may reassign
    // the instance's class: the type is owned until the entry owns it.
    py::object keep_type = bind::borrow(reinterpret_cast<PyObject*>(tp));
    TypeEntry e;
    e.type = tp;
    if (g_base_model == nullptr || !PyType_IsSubtype(tp, g_base_model)) return e;
    // _PyType_Lookup also gives the class a version tag when it has none.
    PyObject* setattr_impl = _PyType_Lookup(tp, k.setattr_);
    PyObject* getattr_impl = _PyType_Lookup(tp, k.getattr_);
    PyObject* getattribute_impl = _PyType_Lookup(tp, k.getattribute_);
    e.config = class_attr(tp, k.model_config);
    e.fields = class_attr(tp, k.fields);
    e.handlers = class_attr(tp, k.handlers);
    e.class_vars = class_attr(tp, k.class_vars);
    const bool mappings_ok = e.config && PyDict_CheckExact(e.config.ptr()) && e.fields &&
                             PyDict_CheckExact(e.fields.ptr()) && e.handlers &&
                             PyDict_CheckExact(e.handlers.ptr()) && e.class_vars &&
                             PyAnySet_CheckExact(e.class_vars.ptr());
    for (int i = 0; i < kTracked; ++i) e.on_class[i] = class_has(tp, g_tracked[i]);
    e.set_ok = mappings_ok && setattr_impl == g_model_setattr;
    e.get_ok = getattr_impl == g_model_getattr && getattribute_impl == g_object_getattribute;
    return e;
}

// The entry of `tp`, copied out (the table may change while the caller runs
// Python code).
TypeEntry entry_for(PyTypeObject* tp) {
    for (const TypeEntry& e : g_cache)
        if (e.type == tp && version_valid(tp) && e.version == tp->tp_version_tag) return e;
    py::object keep_type = bind::borrow(reinterpret_cast<PyObject*>(tp));
    TypeEntry fresh = compute(tp);
    if (!version_valid(tp)) return fresh;  // no tag to key the entry by: do not keep it
    fresh.version = tp->tp_version_tag;
    TypeEntry stored = fresh;
    Py_INCREF(tp);
    // What the replaced entry held is released after the table is consistent
    // again: releasing it may run Python code that comes back here.
    TypeEntry replaced;
    bool placed = false;
    for (TypeEntry& e : g_cache) {
        if (e.type == tp) {
            std::swap(replaced, e);
            e = std::move(stored);
            placed = true;
            break;
        }
    }
    if (!placed && g_cache.size() < kCacheSize) {
        g_cache.push_back(std::move(stored));
    } else if (!placed) {
        TypeEntry& victim = g_cache[g_next_victim];
        g_next_victim = (g_next_victim + 1) % kCacheSize;
        std::swap(replaced, victim);
        victim = std::move(stored);
    }
    PyObject* old_type = reinterpret_cast<PyObject*>(replaced.type);
    replaced = TypeEntry();
    Py_XDECREF(old_type);
    return fresh;
}

bool truthy_entry(const py::object& dict, PyObject* key) {
    PyObject* v = dict_lookup(dict, key);
    if (v == nullptr) return false;
    return bind::truthy(bind::steal(v));
}

// pydantic's __setattr__ for a name that is not a declared field, on a
// class that allows extras: the value goes into __pydantic_extra__ (and, in
// the versions that do so, the name into __pydantic_fields_set__). Returns
// false when any condition of that branch does not hold.
bool set_extra(PyObject* obj, const TypeEntry& e, int idx, PyObject* name, PyObject* value) {
    if (!g_extra_fast || e.on_class[idx]) return false;
    const int is_class_var = PySet_Contains(e.class_vars.ptr(), name);
    if (is_class_var != 0) {
        if (is_class_var < 0) PyErr_Clear();
        return false;
    }
    const py::object& config = e.config;
    if (truthy_entry(config, k.frozen) || truthy_entry(config, k.validate_assignment)) return false;
    const int is_field = PyDict_Contains(e.fields.ptr(), name);
    if (is_field != 0) {
        if (is_field < 0) PyErr_Clear();
        return false;
    }
    PyObject* extra_mode = PyDict_GetItemWithError(config.ptr(), k.extra);
    if (extra_mode == nullptr) {
        if (PyErr_Occurred()) PyErr_Clear();
        return false;
    }
    if (!PyUnicode_CheckExact(extra_mode) || PyUnicode_Compare(extra_mode, k.allow) != 0) return false;
    const py::object extra = owned_slot(obj, g_extra_offset);
    if (!extra || !PyDict_CheckExact(extra.ptr())) return false;
    py::object fields_set;
    if (g_extra_adds_to_fields_set) {
        fields_set = owned_slot(obj, g_fields_set_offset);
        if (!fields_set || !PySet_CheckExact(fields_set.ptr())) return false;
    }
    bind::check(PyDict_SetItem(extra.ptr(), name, value));
    if (fields_set) bind::check(PySet_Add(fields_set.ptr(), name));
    return true;
}

// pydantic's memoized handler for a declared field:
// model.__dict__[name] = value; model.__pydantic_fields_set__.add(name).
bool set_field(PyObject* obj, PyObject* name, PyObject* value) {
    const py::object dict = owned_dict(obj);
    if (!dict || !PyDict_CheckExact(dict.ptr())) return false;
    const py::object fields_set = owned_slot(obj, g_fields_set_offset);
    if (!fields_set || !PySet_CheckExact(fields_set.ptr())) return false;
    bind::check(PyDict_SetItem(dict.ptr(), name, value));
    bind::check(PySet_Add(fields_set.ptr(), name));
    return true;
}

bool fast_set(PyObject* obj, PyObject* name, PyObject* value) {
    if (g_forced_generic || g_base_model == nullptr) return false;
    const int idx = tracked_index(name);
    if (idx < 0) return false;
    const TypeEntry e = entry_for(Py_TYPE(obj));
    if (!e.set_ok) return false;
    // pydantic consults its memoized handlers first.
    PyObject* handler = PyDict_GetItemWithError(e.handlers.ptr(), name);
    if (handler != nullptr) return g_field_fast && handler == g_field_handler && set_field(obj, name, value);
    if (PyErr_Occurred()) throw py::error_already_set();
    return set_extra(obj, e, idx, name, value);
}

// object.__getattribute__ then pydantic's __getattr__, for a name the class
// does not have: the instance __dict__, then __pydantic_extra__. `decided`
// tells whether the fast path could decide.
PyObject* fast_lookup(PyObject* obj, PyObject* name, bool& decided) {
    decided = false;
    if (g_forced_generic || g_base_model == nullptr) return nullptr;
    const int idx = tracked_index(name);
    if (idx < 0) return nullptr;
    const TypeEntry e = entry_for(Py_TYPE(obj));
    if (!e.get_ok || e.on_class[idx]) return nullptr;
    const py::object dict = owned_dict(obj);
    if (dict) {
        if (!PyDict_CheckExact(dict.ptr())) return nullptr;
        if (PyObject* v = dict_lookup(dict, name)) {
            decided = true;
            return v;
        }
    }
    // Read after the first lookup, which may have replaced it.
    const py::object extra = owned_slot(obj, g_extra_offset);
    if (extra && extra.ptr() != Py_None) {
        if (!PyDict_CheckExact(extra.ptr())) return nullptr;
        if (PyObject* v = dict_lookup(extra, name)) {
            decided = true;
            return v;
        }
    }
    decided = true;
    return nullptr;
}

}  // namespace

py::object lookup(py::handle obj, PyObject* name) {
    bool decided = false;
    PyObject* v = fast_lookup(obj.ptr(), name, decided);
    if (decided) return v != nullptr ? bind::steal(v) : py::object();
    v = PyObject_GetAttr(obj.ptr(), name);
    if (v != nullptr) return bind::steal(v);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return {};
}

py::object get(py::handle obj, PyObject* name) {
    bool decided = false;
    PyObject* v = fast_lookup(obj.ptr(), name, decided);
    if (v != nullptr) return bind::steal(v);
    // Missing, or undecided: the interpreter gives the value or the error.
    return bind::steal(PyObject_GetAttr(obj.ptr(), name));
}

void set(py::handle obj, PyObject* name, py::handle value) {
    if (fast_set(obj.ptr(), name, value.ptr())) return;
    bind::check(PyObject_SetAttr(obj.ptr(), name, value.ptr()));
}

#ifdef COMMUNITY_TEST_HOOKS
Status status() { return {g_extra_fast && !g_forced_generic, g_field_fast && !g_forced_generic}; }

void force_generic(bool on) { g_forced_generic = on; }
#endif

namespace {

bool dict_holds(PyObject* dict, PyObject* key, PyObject* value) {
    if (dict == nullptr || !PyDict_CheckExact(dict)) return false;
    PyObject* v = PyDict_GetItemWithError(dict, key);
    if (v == nullptr) PyErr_Clear();
    return v == value;
}

bool set_holds(PyObject* set, PyObject* key) {
    if (set == nullptr || !PySet_CheckExact(set)) return false;
    const int r = PySet_Contains(set, key);
    if (r < 0) PyErr_Clear();
    return r == 1;
}

// A message with empty content.
py::object new_instance(py::handle cls) {
    return bind::call_kw(cls, bind::borrow(k.content_keyword), bind::str(""));
}

// Watches what a plain setattr of an unknown name does on a fresh instance.
void observe_extra(py::handle cls) {
    PyObject* name = k.probe_attribute;
    py::object inst = new_instance(cls);
    const TypeEntry e = compute(Py_TYPE(inst.ptr()));
    if (!e.set_ok || !e.get_ok || PyDict_Contains(e.fields.ptr(), name) != 0 || class_has(Py_TYPE(inst.ptr()), name))
        return;
    PyObject* extra_mode = PyDict_GetItemWithError(e.config.ptr(), k.extra);
    if (extra_mode == nullptr || PyObject_RichCompareBool(extra_mode, k.allow, Py_EQ) != 1) {
        PyErr_Clear();
        return;
    }
    py::object marker = bind::steal(PyLong_FromLong(0x5eed));
    marker = bind::steal(PyNumber_Multiply(marker.ptr(), marker.ptr()));  // a fresh object
    bind::check(PyObject_SetAttr(inst.ptr(), name, marker.ptr()));
    PyObject** dict_ptr = _PyObject_GetDictPtr(inst.ptr());
    const bool in_dict = dict_ptr != nullptr && *dict_ptr != nullptr && dict_holds(*dict_ptr, name, marker.ptr());
    const bool in_extra = dict_holds(slot(inst.ptr(), g_extra_offset), name, marker.ptr());
    const bool memoized = PyDict_Contains(e.handlers.ptr(), name) == 1;
    PyErr_Clear();
    if (in_dict || !in_extra || memoized) return;
    g_extra_adds_to_fields_set = set_holds(slot(inst.ptr(), g_fields_set_offset), name);
    g_extra_fast = true;
}

// Confirms that the handler pydantic memoizes for plain fields does what
// set_field does.
void observe_field(py::handle cls) {
    if (g_field_handler == nullptr) return;
    PyObject* name = g_tracked[0];  // "content", a declared field of messages
    py::object inst = new_instance(cls);
    PyObject* fields_set = slot(inst.ptr(), g_fields_set_offset);
    if (fields_set == nullptr || !PySet_CheckExact(fields_set)) return;
    if (PySet_Discard(fields_set, name) < 0) {
        PyErr_Clear();
        return;
    }
    py::object marker = bind::str("cogsift probe");
    PyObject* r = PyObject_CallFunctionObjArgs(g_field_handler, inst.ptr(), name, marker.ptr(), nullptr);
    if (r == nullptr) {
        PyErr_Clear();
        return;
    }
    Py_DECREF(r);
    PyObject** dict_ptr = _PyObject_GetDictPtr(inst.ptr());
    if (dict_ptr == nullptr || !dict_holds(*dict_ptr, name, marker.ptr())) return;
    if (!set_holds(slot(inst.ptr(), g_fields_set_offset), name)) return;
    g_field_fast = true;
}

}  // namespace

void init(py::handle probe_cls) {
    k.fill();
    g_tracked[0] = k.content;
    g_tracked[1] = k.reasoning_content;

    py::object base = bind::import_from("pydantic", "BaseModel");
    auto* base_type = reinterpret_cast<PyTypeObject*>(base.ptr());
    PyObject* model_setattr = _PyType_Lookup(base_type, k.setattr_);
    PyObject* model_getattr = _PyType_Lookup(base_type, k.getattr_);
    PyObject* object_getattribute = _PyType_Lookup(&PyBaseObject_Type, k.getattribute_);
    const Py_ssize_t extra_offset = member_offset(_PyType_Lookup(base_type, k.pydantic_extra));
    const Py_ssize_t fields_set_offset = member_offset(_PyType_Lookup(base_type, k.pydantic_fields_set));
    if (model_setattr == nullptr || model_getattr == nullptr || object_getattribute == nullptr ||
        extra_offset < 0 || fields_set_offset < 0)
        return;  // a pydantic this code does not know: generic path only
    g_model_setattr = bind::keep(bind::borrow(model_setattr));
    g_model_getattr = bind::keep(bind::borrow(model_getattr));
    g_object_getattribute = bind::keep(bind::borrow(object_getattribute));
    g_extra_offset = extra_offset;
    g_fields_set_offset = fields_set_offset;
    try {
        py::object handlers = bind::import_from("pydantic.main", "_SIMPLE_SETATTR_HANDLERS");
        g_field_handler = bind::keep(bind::getitem(handlers, bind::str("model_field")));
    } catch (py::error_already_set&) {
        g_field_handler = nullptr;
    }
    g_base_model = reinterpret_cast<PyTypeObject*>(bind::keep(base));
    try {
        observe_extra(probe_cls);
        observe_field(probe_cls);
    } catch (py::error_already_set&) {
        g_extra_fast = g_field_fast = false;
    }
}

}  // namespace cogsift::attrs
