// Joining split text, copies of messages that the split may change, and the
// item that carries held-back text out after the chunk it came with was
// handed on already.
#include "message_attrs.hpp"
#include "reasoning.hpp"

namespace cogsift {

namespace {

// The fields of a message that summing chunks accumulates.
#define ACCUMULATED_FIELDS(X) \
    X(additional_kwargs) X(response_metadata) X(usage_metadata) X(tool_call_chunks) X(tool_calls) X(invalid_tool_calls)

#define CONTINUATION_NAMES(X)                                          \
    ACCUMULATED_FIELDS(X)                                              \
    X(model_fields) X(get_default) X(model_copy)                       \
    X(kw_factory, bind::keywords, "call_default_factory") X(kw_update, bind::keywords, "update")
BIND_PART_NAMES(ContinuationNames, CONTINUATION_NAMES, names);

}  // namespace

py::object joined(py::handle first, py::handle second) {
    if (PyUnicode_GET_LENGTH(second.ptr()) == 0) return bind::borrow(first.ptr());
    if (PyUnicode_GET_LENGTH(first.ptr()) == 0) return bind::borrow(second.ptr());
    return bind::steal(PyUnicode_Concat(first.ptr(), second.ptr()));
}

py::object own_copy(py::handle message) {
    py::object copied = bind::call(module().copy, message);
    // A shallow copy shares the dict with the original; the copy gets its own.
    py::object kwargs = attrs::lookup(copied, names.additional_kwargs);
    if (kwargs && PyDict_Check(kwargs.ptr()))
        attrs::set(copied, names.additional_kwargs, bind::steal(PyDict_Copy(kwargs.ptr())));
    return copied;
}

py::object continuation_of(py::handle chunk) {
    Module& M = module();
    if (bind::check(PyObject_IsInstance(chunk.ptr(), M.base_message.ptr())) == 0) {
        py::object copied = own_copy(chunk);
        // Without the reasoning that went out already.
        py::object kwargs = attrs::lookup(copied, names.additional_kwargs);
        if (kwargs && PyDict_Check(kwargs.ptr()) && PyDict_DelItem(kwargs.ptr(), M.n.reasoning_content) < 0) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw py::error_already_set();
            PyErr_Clear();
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
