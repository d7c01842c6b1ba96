// Joining split text, and the item that carries held-back text out after the
// chunk it came with was handed on already.
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
