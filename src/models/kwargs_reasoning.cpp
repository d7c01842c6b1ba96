// The reasoning a chat integration split out itself, in the message's
// additional_kwargs["reasoning_content"]: read before the split, written
// back with the whole reasoning after it.
#include "message_attrs.hpp"
#include "reasoning.hpp"

namespace cogsift {

namespace {

#define KWARGS_REASONING_NAMES(X) X(additional_kwargs)
BIND_PART_NAMES(KwargsReasoningNames, KWARGS_REASONING_NAMES, names);

}  // namespace

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

}  // namespace cogsift
