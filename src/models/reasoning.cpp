#include "reasoning.hpp"
#include "message_attrs.hpp"

namespace cogsift {

namespace {

// The fields of a message that summing chunks accumulates.
#define ACCUMULATED_FIELDS(X) \
    X(additional_kwargs) X(response_metadata) X(usage_metadata) X(tool_call_chunks) X(tool_calls) X(invalid_tool_calls)

#define REASONING_NAMES(X)                                                                        \
    ACCUMULATED_FIELDS(X)                                                                         \
    X(starts_in_reasoning) X(hold_back) X(usage_source) X(model_fields) X(get_default) X(model_copy) X(parser)                 \
    X(run_kwnames, bind::keywords, "run_type", "parser", "run_config")                            \
    X(kw_factory, bind::keywords, "call_default_factory") X(kw_update, bind::keywords, "update")
BIND_PART_NAMES(ReasoningNames, REASONING_NAMES, names);

// config[key] when present and not None, else an empty object.
py::object option(py::handle config, PyObject* key) {
    py::object value = bind::mapping_get(config, key, py::none());
    if (value.ptr() != Py_None) return value;
    py::object nested = bind::mapping_get(config, module().n.configurable, py::none());
    if (nested.ptr() == Py_None) return {};
    value = bind::mapping_get(nested, key, py::none());
    if (value.ptr() == Py_None) return {};
    return value;
}

}  // namespace

bool starts_in_reasoning(py::handle parser, py::handle config) {
    py::object value = option(config, names.starts_in_reasoning);
    if (value) {
        if (!PyBool_Check(value.ptr())) {
            PyErr_Format(PyExc_TypeError,
                         "starts_in_reasoning in the run configuration must be True, False or None, not %.200s",
                         Py_TYPE(value.ptr())->tp_name);
            throw py::error_already_set();
        }
        return value.ptr() == Py_True;
    }
    py::object field = attrs::lookup(parser, names.starts_in_reasoning);
    return field && bind::truthy(field);
}

namespace {

// A two-way text option: the call's entry `key`, else the parser's field of
// that name; false for `first`, true for `second`.
bool either_of(py::handle parser, py::handle config, PyObject* key, const char* first, const char* second) {
    py::object value = option(config, key);
    const char* where = "in the run configuration";
    if (!value) {
        value = attrs::lookup(parser, key);
        where = "of the parser";
        if (!value) return false;
    }
    if (!PyUnicode_Check(value.ptr())) {
        PyErr_Format(PyExc_TypeError, "%U %s must be '%s' or '%s', not %.200s", key, where, first, second,
                     Py_TYPE(value.ptr())->tp_name);
        throw py::error_already_set();
    }
    if (PyUnicode_CompareWithASCIIString(value.ptr(), first) == 0) return false;
    if (PyUnicode_CompareWithASCIIString(value.ptr(), second) == 0) return true;
    PyErr_Format(PyExc_ValueError, "%U %s must be '%s' or '%s', not %R", key, where, first, second, value.ptr());
    throw py::error_already_set();
}

bind::Member either_field(const char* name, const char* annotation, const char* fallback, const char* description) {
    py::object field_info =
        bind::import_from("pydantic", "Field")(py::arg("default") = fallback, py::arg("description") = description);
    return bind::Member::field(name, type(annotation), field_info);
}

}  // namespace

HoldBack hold_back(py::handle parser, py::handle config) {
    return either_of(parser, config, names.hold_back, "candidate", "tag_prefix") ? HoldBack::tag_prefix
                                                                                  : HoldBack::candidate;
}

bool provider_usage(py::handle parser, py::handle config) {
    return either_of(parser, config, names.usage_source, "count", "provider");
}

bind::Member hold_back_field() {
    return either_field(
        "hold_back", "Literal['candidate', 'tag_prefix']", "candidate",
        "What a stream holds back while a tag may be cut across chunks: \"candidate\" (the default) holds "
        "everything from a possible tag's first \"<\" on, \"tag_prefix\" only the end of the text that may "
        "begin the tag (at most 7 characters). Both hand on the same text; the run configuration's "
        "\"hold_back\" (top level or under \"configurable\") overrides it per call.");
}

bind::Member usage_source_field() {
    return either_field(
        "usage_source", "Literal['count', 'provider']", "count",
        "Where the recorded usage comes from: \"count\" (the default) counts with the module's tokenizer, "
        "\"provider\" takes the counts the chat model reported in usage_metadata (summed over a stream's "
        "chunks) and counts only what it did not report. A message's own `usage` comes first either way; the "
        "run configuration's \"usage_source\" overrides it per call.");
}

void check_call_config(py::handle parser, py::handle config) {
    // A configuration that is not a mapping (None included) is refused
    // with the documented TypeError before anything is read.
    static PyObject* mapping = bind::keep(bind::import_from("collections.abc", "Mapping"));
    if (!PyDict_Check(config.ptr()) && bind::check(PyObject_IsInstance(config.ptr(), mapping)) == 0) {
        PyErr_Format(PyExc_TypeError, "config must be a mapping, not %.200s", Py_TYPE(config.ptr())->tp_name);
        throw py::error_already_set();
    }
    (void)read_identity(config);
    (void)starts_in_reasoning(parser, config);
    (void)hold_back(parser, config);
    (void)provider_usage(parser, config);
}

py::object through_run(py::handle self, PyObject* helper, py::handle first, py::handle second, py::handle config) {
    return bind::call_kw(bind::getattr(self, helper), bind::borrow(names.run_kwnames), first, second, config,
                         bind::borrow(names.parser), self, config);
}

KwargsReasoning kwargs_reasoning(py::handle message) {
    KwargsReasoning k;
    py::object kwargs = attrs::lookup(message, names.additional_kwargs);
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
        py::object kwargs = attrs::lookup(copied, names.additional_kwargs);
        if (kwargs && PyDict_Check(kwargs.ptr())) {
            py::object own = bind::steal(PyDict_Copy(kwargs.ptr()));
            if (PyDict_DelItem(own.ptr(), M.n.reasoning_content) < 0) {
                if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw py::error_already_set();
                PyErr_Clear();
            }
            attrs::set(copied, names.additional_kwargs, own);
        }
        return copied;
    }
#define ACCUMULATED_FIELD_NAME(id) names.id,
    PyObject* const accumulated[] = {ACCUMULATED_FIELDS(ACCUMULATED_FIELD_NAME)};
#undef ACCUMULATED_FIELD_NAME
    py::object fields =
        bind::getattr(bind::borrow(reinterpret_cast<PyObject*>(Py_TYPE(chunk.ptr()))), names.model_fields);
    py::object update = bind::new_dict();
    for (PyObject* name : accumulated) {
        py::object info = bind::mapping_get(fields, name, py::none());
        if (info.ptr() == Py_None) continue;
        py::object fresh = bind::call_kw(bind::getattr(info, names.get_default), bind::borrow(names.kw_factory),
                                         bind::borrow(Py_True));
        bind::dict_set(update, name, fresh);
    }
    return bind::call_kw(bind::getattr(chunk, names.model_copy), bind::borrow(names.kw_update), update);
}

}  // namespace cogsift
