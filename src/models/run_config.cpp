// The parser's options in the run configuration (`starts_in_reasoning`,
// `hold_back`, `usage_source`, `hand_on`), the parser's fields for them, the check of a
// call's configuration and the call through LangChain's run helpers.
#include "message_attrs.hpp"
#include "reasoning.hpp"

namespace cogsift {

namespace {

#define RUN_CONFIG_NAMES(X)                                  \
    X(starts_in_reasoning) X(hold_back) X(usage_source) X(hand_on) X(parser) \
    X(run_kwnames, bind::keywords, "run_type", "parser", "run_config")
BIND_PART_NAMES(RunConfigNames, RUN_CONFIG_NAMES, names);

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

bool hands_on_copies(py::handle parser, py::handle config) {
    return either_of(parser, config, names.hand_on, "received", "copy");
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

bind::Member hand_on_field() {
    return either_field(
        "hand_on", "Literal['received', 'copy']", "received",
        "What the parser hands on: \"received\" (the default) the message objects it received, split in "
        "place; \"copy\" a split copy of each, leaving the received objects as the chat model made them, so "
        "the model's own run record and its stream events keep the reasoning and the tags. The run "
        "configuration's \"hand_on\" (top level or under \"configurable\") overrides it per call.");
}

void check_call_config(py::handle parser, py::handle config) {
    // A configuration that is not a mapping (None included) is refused
    // with the documented TypeError before anything is read.
    require_mapping(config, "config");
    (void)read_identity(config);
    (void)starts_in_reasoning(parser, config);
    (void)hold_back(parser, config);
    (void)provider_usage(parser, config);
    (void)hands_on_copies(parser, config);
}

py::object through_run(py::handle self, PyObject* helper, py::handle first, py::handle second, py::handle config) {
    return bind::call_kw(bind::getattr(self, helper), bind::borrow(names.run_kwnames), first, second, config,
                         bind::borrow(names.parser), self, config);
}

}  // namespace cogsift
