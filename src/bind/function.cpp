#include "function.hpp"

#include <structmember.h>

#include <memory>
#include <stdexcept>
#include <string>

namespace bind {
namespace {

constexpr std::size_t kMaxParams = 16;

struct FunctionData {
    Impl impl = nullptr;
    Flavor flavor = Flavor::Plain;
    std::vector<PyObject*> names;  // interned; kept alive by the intern table
    std::vector<ParamKind> kinds;
    std::vector<py::object> defaults;  // empty handle: required
    Py_ssize_t n_positional = 0;       // parameters that may be passed by position
    Py_ssize_t n_positional_required = 0;
    Py_ssize_t var_kw = -1;            // index of the **kwargs parameter
    py::object signature;
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* dict;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    FunctionData* data;
};

PyTypeObject* g_function_type = nullptr;
std::string g_function_type_name;

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's wording.
std::string quoted_list(const std::vector<std::string>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) out += " and ";
            else out += (i + 1 == names.size()) ? ", and " : ", ";
        }
        out += "'" + names[i] + "'";
    }
    return out;
}

PyObject* new_ref_or_none(PyObject* o) {
    if (o == nullptr) o = Py_None;
    Py_INCREF(o);
    return o;
}

std::string utf8(PyObject* s) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s, &n);
    if (p == nullptr) {
        PyErr_Clear();
        return "?";
    }
    return std::string(p, static_cast<std::size_t>(n));
}

PyObject* missing_error(FunctionObject* f, PyObject* const* slots) {
    const FunctionData& d = *f->data;
    std::vector<std::string> positional, keyword_only;
    for (std::size_t i = 0; i < d.names.size(); ++i) {
        if (slots[i] != nullptr || d.defaults[i] || d.kinds[i] == ParamKind::VarKeyword) continue;
        (d.kinds[i] == ParamKind::KeywordOnly ? keyword_only : positional).push_back(utf8(d.names[i]));
    }
    const auto& list = positional.empty() ? keyword_only : positional;
    const char* what = positional.empty() ? "keyword-only" : "positional";
    std::string msg = utf8(f->qualname) + "() missing " + std::to_string(list.size()) + " required " + what +
                      " argument" + (list.size() == 1 ? "" : "s") + ": " + quoted_list(list);
    PyErr_SetString(PyExc_TypeError, msg.c_str());
    return nullptr;
}

PyObject* too_many_positional(FunctionObject* f, Py_ssize_t given) {
    const FunctionData& d = *f->data;
    std::string takes;
    if (d.n_positional_required == d.n_positional) {
        takes = std::to_string(d.n_positional) + " positional argument" + (d.n_positional == 1 ? "" : "s");
    } else {
        takes = "from " + std::to_string(d.n_positional_required) + " to " + std::to_string(d.n_positional) +
                " positional arguments";
    }
    std::string msg = utf8(f->qualname) + "() takes " + takes + " but " + std::to_string(given) +
                      (given == 1 ? " was" : " were") + " given";
    PyErr_SetString(PyExc_TypeError, msg.c_str());
    return nullptr;
}

Py_ssize_t find_keyword(const FunctionData& d, PyObject* key) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(d.names.size());
    for (Py_ssize_t i = 0; i < n; ++i)
        if (d.names[i] == key && d.kinds[i] != ParamKind::VarKeyword) return i;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (d.kinds[i] == ParamKind::VarKeyword) continue;
        int eq = PyUnicode_Compare(d.names[i], key);
        if (eq == 0) return i;
        if (eq == -1 && PyErr_Occurred()) PyErr_Clear();
    }
    return -1;
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* f = reinterpret_cast<FunctionObject*>(callable);
    const FunctionData& d = *f->data;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* slots[kMaxParams] = {};

    if (nargs > d.n_positional) return too_many_positional(f, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];

    PyObject* kwdict = nullptr;  // owned
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t j = 0; j < nkw; ++j) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, j);
            PyObject* value = args[nargs + j];
            const Py_ssize_t idx = find_keyword(d, key);
            if (idx >= 0) {
                if (slots[idx] != nullptr) {
                    Py_XDECREF(kwdict);
                    PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%U'", f->qualname,
                                 key);
                    return nullptr;
                }
                slots[idx] = value;
            } else if (d.var_kw >= 0) {
                if (kwdict == nullptr && (kwdict = PyDict_New()) == nullptr) return nullptr;
                if (PyDict_SetItem(kwdict, key, value) < 0) {
                    Py_DECREF(kwdict);
                    return nullptr;
                }
            } else {
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%U'", f->qualname, key);
                return nullptr;
            }
        }
    }
    if (d.var_kw >= 0) {
        if (kwdict == nullptr && (kwdict = PyDict_New()) == nullptr) return nullptr;
        slots[d.var_kw] = kwdict;
    }
    for (std::size_t i = 0; i < d.names.size(); ++i) {
        if (slots[i] != nullptr) continue;
        if (!d.defaults[i]) {
            Py_XDECREF(kwdict);
            return missing_error(f, slots);
        }
        slots[i] = d.defaults[i].ptr();
    }

    PyObject* result = nullptr;
    try {
        result = d.impl(Args{slots}).release().ptr();
    } catch (...) {
        set_error_from(std::current_exception());
        result = nullptr;
    }
    Py_XDECREF(kwdict);
    return result;
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return PyUnicode_FromFormat("<compiled function %U>", f->qualname);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->dict);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    if (f->data != nullptr) {
        for (const auto& v : f->data->defaults) Py_VISIT(v.ptr());
        Py_VISIT(f->data->signature.ptr());
    }
    return 0;
}

int function_clear(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    if (f->data != nullptr) {
        for (auto& v : f->data->defaults) v = py::object();
        f->data->signature = py::object();
    }
    return 0;
}

void function_dealloc(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    delete f->data;
    f->data = nullptr;
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* function_get_signature(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    PyObject* sig = f->data->signature ? f->data->signature.ptr() : Py_None;
    Py_INCREF(sig);
    return sig;
}

PyObject* function_get_text_signature(PyObject*, void*) { Py_RETURN_NONE; }

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__name__", T_OBJECT_EX, offsetof(FunctionObject, name), 0, nullptr},
    {"__qualname__", T_OBJECT_EX, offsetof(FunctionObject, qualname), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// `__module__` is looked up on the instance first: the type's own
// `__module__` (the string the interpreter derives from the type's name) must
// stay a string for tools that read it from the type.
bool is_module_name(PyObject* name) {
    static PyObject* const key = intern("__module__");
    return name == key || (PyUnicode_Check(name) && PyUnicode_Compare(name, key) == 0);
}

PyObject* function_getattro(PyObject* self, PyObject* name) {
    if (is_module_name(name)) {
        PyObject* module = reinterpret_cast<FunctionObject*>(self)->module;
        return new_ref_or_none(module);
    }
    return PyObject_GenericGetAttr(self, name);
}

int function_setattro(PyObject* self, PyObject* name, PyObject* value) {
    if (is_module_name(name)) {
        auto* f = reinterpret_cast<FunctionObject*>(self);
        Py_XINCREF(value);
        Py_XSETREF(f->module, value);
        return 0;
    }
    return PyObject_GenericSetAttr(self, name, value);
}

// Pickled (and deep-copied) by reference, as module-level functions are:
// the qualified name, looked up in `__module__` on loading.
PyObject* function_reduce(PyObject* self, PyObject*) {
    return new_ref_or_none(reinterpret_cast<FunctionObject*>(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__signature__", function_get_signature, nullptr, nullptr, nullptr},
    {"__text_signature__", function_get_text_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {Py_tp_getattro, reinterpret_cast<void*>(function_getattro)},
    {Py_tp_setattro, reinterpret_cast<void*>(function_setattro)},
    {Py_tp_getset, function_getset},
    {0, nullptr},
};

py::object parameter_kind(const py::object& parameter_cls, ParamKind kind) {
    switch (kind) {
        case ParamKind::PositionalOrKeyword: return parameter_cls.attr("POSITIONAL_OR_KEYWORD");
        case ParamKind::KeywordOnly: return parameter_cls.attr("KEYWORD_ONLY");
        case ParamKind::VarKeyword: return parameter_cls.attr("VAR_KEYWORD");
    }
    throw std::logic_error("unknown parameter kind");
}

py::object build_signature(const FunctionDef& def) {
    py::object inspect = import("inspect");
    py::object parameter_cls = inspect.attr("Parameter");
    py::object empty = parameter_cls.attr("empty");
    py::list params;
    for (const Param& p : def.params) {
        py::dict kw;
        if (p.default_value) kw["default"] = p.default_value;
        if (p.annotation) kw["annotation"] = p.annotation;
        params.append(parameter_cls(p.name, parameter_kind(parameter_cls, p.kind), **kw));
    }
    py::dict kw;
    if (def.return_annotation) kw["return_annotation"] = def.return_annotation;
    return inspect.attr("Signature")(params, **kw);
}

// Makes `f` function-like for `inspect` (a code object, the defaults) with
// a code object flagged as a coroutine's. The signature still comes from
// `__signature__`, which `inspect` consults first.
void add_coroutine_code(py::object& f, const FunctionDef& def) {
    static PyObject* template_code = nullptr;
    if (template_code == nullptr) {
        py::dict scope;
        py::object builtins = import("builtins");
        builtins.attr("exec")(builtins.attr("compile")("async def f():\n    pass\n", "<compiled>", "exec"), scope);
        template_code = keep(scope["f"].attr("__code__"));
    }
    py::object code = borrow(template_code);
    py::dict names;
    names["co_name"] = f.attr("__name__");
    if (py::hasattr(code, "co_qualname")) names["co_qualname"] = f.attr("__qualname__");
    f.attr("__code__") = code.attr("replace")(**names);
    py::list positional;
    py::dict keyword;
    for (const Param& p : def.params) {
        if (!p.default_value) continue;
        if (p.kind == ParamKind::PositionalOrKeyword) positional.append(p.default_value);
        else if (p.kind == ParamKind::KeywordOnly) keyword[str(p.name)] = p.default_value;
    }
    f.attr("__defaults__") = positional.empty() ? py::none() : py::object(py::tuple(positional));
    f.attr("__kwdefaults__") = keyword.empty() ? py::none() : py::object(keyword);
}

}  // namespace

PyTypeObject* function_type() { return g_function_type; }

namespace {

// The call-time description of the parameter list, checked as a `def`
// statement checks its own: positional parameters first, no required one
// after a default, at most one **kwargs, last.
std::unique_ptr<FunctionData> function_data(const FunctionDef& def) {
    if (def.params.size() > kMaxParams) throw std::logic_error("too many parameters");
    auto data = std::make_unique<FunctionData>();
    data->impl = def.impl;
    data->flavor = def.flavor;
    bool seen_default = false, seen_keyword_only = false;
    for (std::size_t i = 0; i < def.params.size(); ++i) {
        const Param& p = def.params[i];
        data->names.push_back(intern(p.name));
        data->kinds.push_back(p.kind);
        data->defaults.push_back(p.default_value);
        switch (p.kind) {
            case ParamKind::PositionalOrKeyword:
                if (seen_keyword_only || data->var_kw >= 0)
                    throw std::logic_error("positional parameter after keyword-only ones");
                if (p.default_value) seen_default = true;
                else if (seen_default) throw std::logic_error("required parameter after a default");
                else ++data->n_positional_required;
                ++data->n_positional;
                break;
            case ParamKind::KeywordOnly: seen_keyword_only = true; break;
            case ParamKind::VarKeyword:
                if (data->var_kw >= 0 || i + 1 != def.params.size())
                    throw std::logic_error("**kwargs must be the last parameter");
                data->var_kw = static_cast<Py_ssize_t>(i);
                break;
        }
    }
    data->signature = build_signature(def);
    return data;
}

// The function object, owning `data`, tracked by the garbage collector.
py::object new_function_object(const FunctionDef& def, std::unique_ptr<FunctionData> data, py::handle module_name) {
    auto* f = PyObject_GC_New(FunctionObject, g_function_type);
    if (f == nullptr) throw py::error_already_set();
    f->vectorcall = function_vectorcall;
    f->dict = nullptr;
    f->name = nullptr;
    f->qualname = nullptr;
    f->module = nullptr;
    f->doc = nullptr;
    f->data = data.release();
    // Owns f from here on (allocating an instance of a heap type took the
    // reference to the type that dealloc gives back).
    py::object result = steal(reinterpret_cast<PyObject*>(f));
    f->name = str(def.name).release().ptr();
    f->qualname = str(def.qualname != nullptr ? def.qualname : def.name).release().ptr();
    f->module = py::reinterpret_borrow<py::object>(module_name).release().ptr();
    f->doc = def.doc != nullptr ? str(def.doc).release().ptr() : (Py_INCREF(Py_None), Py_None);
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return result;
}

// Lets `asyncio.iscoroutinefunction` (and, on interpreters that have it,
// `inspect.iscoroutinefunction`) recognise the function: calling it returns
// a coroutine.
void mark_coroutine_function(py::object& f, const FunctionDef& def) {
    py::object coroutines = import("asyncio.coroutines");
    if (py::hasattr(coroutines, "_is_coroutine")) f.attr("_is_coroutine") = coroutines.attr("_is_coroutine");
    py::object inspect = import("inspect");
    if (py::hasattr(inspect, "_is_coroutine_mark")) {
        f.attr("_is_coroutine_marker") = inspect.attr("_is_coroutine_mark");
    } else {
        // Older interpreters' `inspect.iscoroutinefunction` only reads
        // the code flags of function-like objects.
        add_coroutine_code(f, def);
    }
}

}  // namespace

py::object make_function(FunctionDef def, py::handle module_name) {
    if (g_function_type == nullptr) throw std::logic_error("bind::init was not called");
    py::object result = new_function_object(def, function_data(def), module_name);
    if (def.flavor == Flavor::Coroutine) mark_coroutine_function(result, def);
    return result;
}

py::object make_method(const char* class_name, FunctionDef def, py::handle module_name) {
    const std::string qualname = std::string(class_name) + "." + def.name;
    def.qualname = qualname.c_str();
    return make_function(std::move(def), module_name);
}

void init_coroutine_types(py::module_& module);  // coro.cpp

void init(py::module_& module) {
    if (g_function_type != nullptr) return;
    g_function_type_name = module.attr("__name__").cast<std::string>() + ".compiled_function";
    static PyType_Spec description = {
        g_function_type_name.c_str(),
        sizeof(FunctionObject),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
            Py_TPFLAGS_DISALLOW_INSTANTIATION,
        function_slots,
    };
    g_function_type = reinterpret_cast<PyTypeObject*>(steal(PyType_FromSpec(&description)).release().ptr());
    init_coroutine_types(module);
}

}  // namespace bind
