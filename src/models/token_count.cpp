// Token counting: get_text_token_len and get_input_len, with the module's
// "cl100k_base" encoding.
#include "cogsift.hpp"

namespace cogsift {

// Text is counted as ordinary text: the literal form of a special token
// ("<|endoftext|>" quoted in a user's message) is counted like any other
// characters instead of making the encoder refuse the whole text.
Py_ssize_t text_token_len(py::handle text) {
    Module& M = module();
    py::object tokens = bind::call_method(global(M.n.tokenizer), M.n.encode_ordinary, text);
    if (PyList_CheckExact(tokens.ptr())) return PyList_GET_SIZE(tokens.ptr());
    const Py_ssize_t n = PyObject_Length(tokens.ptr());
    if (n < 0) throw py::error_already_set();
    return n;
}

namespace {

#define TOKEN_COUNT_NAMES(X) X(unknown_type, "unknown message type:")
BIND_PART_NAMES(TokenCountNames, TOKEN_COUNT_NAMES, names);

// `needle in item`, with the interpreter's errors for items that support no
// membership test.
bool contains(py::handle item, PyObject* needle) { return bind::check(PySequence_Contains(item.ptr(), needle)) != 0; }

// Tokens of a message whose content is a list of parts: image and audio
// parts count nothing, every other part counts as its JSON text.
Py_ssize_t parts_token_len(py::handle parts) {
    Module& M = module();
    Py_ssize_t total = 0;
    py::object dumps;
    py::object iter = bind::steal(PyObject_GetIter(parts.ptr()));
    while (py::object part = bind::next_item(iter)) {
        if (contains(part, M.n.image_url) || contains(part, M.n.input_audio)) continue;
        if (!dumps) dumps = bind::getattr(global(M.n.json), M.n.dumps);
        total += text_token_len(bind::call(dumps, part));
    }
    return total;
}

void report_unknown(py::handle element) {
    Module& M = module();
    py::object type_text = bind::steal(PyObject_Str(reinterpret_cast<PyObject*>(Py_TYPE(element.ptr()))));
    py::object line = bind::steal(PyUnicode_Concat(names.unknown_type, type_text.ptr()));
    bind::call(M.print, line);
}

Py_ssize_t messages_token_len(py::handle messages) {
    Module& M = module();
    Py_ssize_t total = 0;
    // Indexing with the length read on every step walks the list the way
    // its iterator does, also if counting changes it.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(messages.ptr()); ++i) {
        py::object message = bind::borrow(PyList_GET_ITEM(messages.ptr(), i));
        if (PyDict_CheckExact(message.ptr())) {
            PyObject* content = PyDict_GetItemWithError(message.ptr(), M.n.content);
            if (content == nullptr) {
                if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, M.n.content);
                throw py::error_already_set();
            }
            total += text_token_len(bind::borrow(content));
        } else if (bind::check(PyObject_IsInstance(message.ptr(), M.base_message.ptr()))) {
            py::object content = bind::getattr(message, M.n.content);
            total += PyList_Check(content.ptr()) ? parts_token_len(content) : text_token_len(content);
        } else {
            report_unknown(message);
        }
    }
    return total;
}

}  // namespace

Py_ssize_t input_len(py::handle inputs) {
    Module& M = module();
    py::object value = bind::borrow(inputs.ptr());
    if (Py_TYPE(value.ptr()) == reinterpret_cast<PyTypeObject*>(M.chat_prompt_value.ptr()))
        value = bind::getattr(value, M.n.messages);
    if (PyUnicode_CheckExact(value.ptr())) return text_token_len(value);
    if (PyList_CheckExact(value.ptr())) return messages_token_len(value);
    return text_token_len(bind::getattr(value, M.n.text));
}

py::object call_get_input_len(py::handle inputs) {
    Module& M = module();
    py::object fn = global(M.n.get_input_len);
    if (fn.ptr() == M.own_get_input_len) return bind::steal(PyLong_FromSsize_t(input_len(inputs)));
    return bind::call(fn, inputs);
}

py::object call_get_text_token_len(py::handle text) {
    Module& M = module();
    py::object fn = global(M.n.get_text_token_len);
    if (fn.ptr() == M.own_get_text_token_len) return bind::steal(PyLong_FromSsize_t(text_token_len(text)));
    return bind::call(fn, text);
}

namespace {

py::object get_input_len(py::object inputs) { return bind::steal(PyLong_FromSsize_t(input_len(inputs))); }

py::object get_text_token_len(py::object text) { return bind::steal(PyLong_FromSsize_t(text_token_len(text))); }

}  // namespace

void define_token_count(py::module_& m) {
    Module& M = module();
    py::object int_type = type("int");
    py::object input_fn = bind::make_function(
        {.name = "get_input_len",
         .doc = R"doc(Count the tokens of a model input in the "cl100k_base" encoding.

Args:
    inputs: A text, a ``ChatPromptValue``, a list of role/content mappings
        and messages (content parts counted as their JSON text, image and
        audio parts not counted), or any object with a ``text`` attribute.
        Nothing is added per message.

Returns:
    The number of tokens.

Raises:
    KeyError: A mapping without "content".
    AttributeError: Any other input without a ``text`` attribute.

Example:
    >>> get_input_len([{"role": "user", "content": "hello"}])
    1)doc",
         .params = {bind::typed("inputs", type("Union[str, PromptValue, List[Union[BaseMessage, Dict[str, Any]]]]"))},
         .impl = bind::wrap<get_input_len>,
         .return_annotation = int_type},
        M.module_name);
    py::object text_fn = bind::make_function(
        {.name = "get_text_token_len",
         .doc = R"doc(Count the tokens of a text in the "cl100k_base" encoding.

Special-token markers count as ordinary text.

Args:
    text: The text.

Returns:
    The number of tokens.

Raises:
    TypeError: ``text`` is not a string.

Example:
    >>> get_text_token_len("hello world")
    2)doc",
         .params = {bind::typed("text", type("str"))},
         .impl = bind::wrap<get_text_token_len>,
         .return_annotation = int_type},
        M.module_name);
    M.own_get_input_len = bind::keep(input_fn);
    M.own_get_text_token_len = bind::keep(text_fn);
    m.attr("get_input_len") = input_fn;
    m.attr("get_text_token_len") = text_fn;
}
}  // namespace cogsift
