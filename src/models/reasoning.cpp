#include "reasoning.hpp"
#include "message_attrs.hpp"

namespace cogsift {

namespace {

PyObject* name_additional_kwargs() {
    static PyObject* n = bind::intern("additional_kwargs");
    return n;
}

PyObject* name_starts_in_reasoning() {
    static PyObject* n = bind::intern("starts_in_reasoning");
    return n;
}

// config[key] when present and not None, else an empty object.
py::object option(py::handle config, PyObject* key) {
    py::object value = bind::mapping_get(config, key, py::none());
    if (value.ptr() != Py_None) return value;
    static PyObject* configurable = bind::intern("configurable");
    py::object nested = bind::mapping_get(config, configurable, py::none());
    if (nested.ptr() == Py_None) return {};
    value = bind::mapping_get(nested, key, py::none());
    if (value.ptr() == Py_None) return {};
    return value;
}

}  // namespace

bool starts_in_reasoning(py::handle parser, py::handle config) {
    py::object value = option(config, name_starts_in_reasoning());
    if (value) {
        if (!PyBool_Check(value.ptr())) {
            PyErr_Format(PyExc_TypeError,
                         "starts_in_reasoning in the run configuration must be True, False or None, not %.200s",
                         Py_TYPE(value.ptr())->tp_name);
            throw py::error_already_set();
        }
        return value.ptr() == Py_True;
    }
    py::object field = attrs::lookup(parser, name_starts_in_reasoning());
    return field && bind::truthy(field);
}

void check_call_config(py::handle parser, py::handle config) {
    (void)read_identity(config);
    (void)starts_in_reasoning(parser, config);
}

py::object through_run(py::handle self, PyObject* helper, py::handle first, py::handle second, py::handle config) {
    static PyObject* kwnames =
        bind::keep(py::make_tuple(bind::str("run_type"), bind::str("parser"), bind::str("run_config")));
    static PyObject* run_type = bind::intern("parser");
    return bind::call_kw(bind::getattr(self, helper), bind::borrow(kwnames), first, second, config,
                         bind::borrow(run_type), self, config);
}

KwargsReasoning kwargs_reasoning(py::handle message) {
    KwargsReasoning k;
    py::object kwargs = attrs::lookup(message, name_additional_kwargs());
    if (!kwargs || !PyDict_Check(kwargs.ptr())) return k;
    PyObject* value = PyDict_GetItemWithError(kwargs.ptr(), module().n.reasoning_content);
    if (value == nullptr) {
        if (PyErr_Occurred()) throw py::error_already_set();
    } else if (PyUnicode_Check(value)) {
        if (PyUnicode_GET_LENGTH(value) > 0) k.text = bind::borrow(value);
    } else if (value != Py_None) {
        return k;  // something of the integration's own: left alone
    }
    k.kwargs = std::move(kwargs);
    return k;
}

void record_kwargs_reasoning(const KwargsReasoning& k, py::handle reasoning) {
    if (!k.kwargs || PyUnicode_GET_LENGTH(reasoning.ptr()) == 0) return;
    if (k.text && k.text.ptr() == reasoning.ptr()) return;  // already there
    bind::dict_set(k.kwargs, module().n.reasoning_content, reasoning);
}

py::object joined(py::handle first, py::handle second) {
    if (PyUnicode_GET_LENGTH(second.ptr()) == 0) return bind::borrow(first.ptr());
    if (PyUnicode_GET_LENGTH(first.ptr()) == 0) return bind::borrow(second.ptr());
    return bind::steal(PyUnicode_Concat(first.ptr(), second.ptr()));
}

py::object continuation_of(py::handle chunk) {
    Module& M = module();
    if (bind::check(PyObject_IsInstance(chunk.ptr(), M.base_message.ptr())) == 0) {
        py::object copied = bind::call(M.copy, chunk);
        // A shallow copy shares the dict with the emitted object; the copy
        // gets its own, without the reasoning that went out already.
        py::object kwargs = attrs::lookup(copied, name_additional_kwargs());
        if (kwargs && PyDict_Check(kwargs.ptr())) {
            py::object own = bind::steal(PyDict_Copy(kwargs.ptr()));
            if (PyDict_DelItem(own.ptr(), M.n.reasoning_content) < 0) {
                if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw py::error_already_set();
                PyErr_Clear();
            }
            attrs::set(copied, name_additional_kwargs(), own);
        }
        return copied;
    }
    static PyObject* model_fields = bind::intern("model_fields");
    static PyObject* get_default = bind::intern("get_default");
    static PyObject* model_copy = bind::intern("model_copy");
    static PyObject* kw_factory = bind::keep(py::make_tuple(bind::str("call_default_factory")));
    static PyObject* kw_update = bind::keep(py::make_tuple(bind::str("update")));
    static const char* const accumulated[] = {"additional_kwargs", "response_metadata", "usage_metadata",
                                              "tool_call_chunks",  "tool_calls",        "invalid_tool_calls"};
    py::object fields = bind::getattr(bind::borrow(reinterpret_cast<PyObject*>(Py_TYPE(chunk.ptr()))), model_fields);
    py::object update = bind::new_dict();
    for (const char* field : accumulated) {
        PyObject* name = bind::intern(field);
        py::object info = bind::mapping_get(fields, name, py::none());
        if (info.ptr() == Py_None) continue;
        py::object fresh = bind::call_kw(bind::getattr(info, get_default), bind::borrow(kw_factory),
                                         bind::borrow(Py_True));
        bind::dict_set(update, name, fresh);
    }
    return bind::call_kw(bind::getattr(chunk, model_copy), bind::borrow(kw_update), update);
}

}  // namespace cogsift
