// Streaming split: qorCogsift.transform / atransform and the module-level
// atransform, over one linear-time splitter per stream.
#include "message_attrs.hpp"
#include "stream_split.hpp"

#include <array>

namespace cogsift {

StreamSplit::StreamSplit(bool collect_answer) {
    if (collect_answer) pieces_ = bind::new_list();
}

namespace {

[[noreturn]] void concat_error(py::handle value) {
    PyErr_Format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str", Py_TYPE(value.ptr())->tp_name);
    throw py::error_already_set();
}

// UTF-8 bytes of `text`. Texts holding lone surrogates have no UTF-8 form;
// they are split on their "surrogatepass" bytes (a surrogate never encodes
// to a byte the splitter looks at), which `holder` keeps alive.
std::string_view utf8_of(py::handle text, py::object& holder) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (data == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw py::error_already_set();
        PyErr_Clear();
        holder = bind::steal(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass"));
        data = PyBytes_AS_STRING(holder.ptr());
        size = PyBytes_GET_SIZE(holder.ptr());
    }
    return {data, static_cast<std::size_t>(size)};
}

}  // namespace

void StreamSplit::collect(py::handle text) {
    if (!PyUnicode_Check(text.ptr())) concat_error(text);
    bind::list_append(pieces_, text);
}

py::object StreamSplit::text_of(std::string_view piece, bool whole, py::handle original) const {
    if (whole && PyUnicode_CheckExact(original.ptr())) return bind::borrow(original.ptr());
    if (piece.empty()) return bind::borrow(module().n.empty);
    return bind::steal(PyUnicode_DecodeUTF8(piece.data(), static_cast<Py_ssize_t>(piece.size()), "surrogatepass"));
}

void StreamSplit::write(py::handle chunk, py::handle content, py::handle reasoning) const {
    const Names& n = module().n;
    attrs::set(chunk, n.content, content);
    attrs::set(chunk, n.reasoning_content, reasoning);
}

bool StreamSplit::feed(py::handle chunk) {
    const Names& n = module().n;
    last_ = bind::borrow(chunk.ptr());
    last_emitted_ = false;
    py::object content, reasoning;
    if (pieces_) {
        // The answer takes the chunk's text, or the reasoning of a chunk
        // that has no text; this reads `content` first, for every chunk.
        content = attrs::get(chunk, n.content);
        reasoning = attrs::lookup(chunk, n.reasoning_content);
        const bool has_text = PyUnicode_Check(content.ptr()) ? PyUnicode_GET_LENGTH(content.ptr()) > 0
                                                              : bind::truthy(content);
        if (has_text) collect(content);
        else if (reasoning) collect(reasoning);
    } else {
        reasoning = attrs::lookup(chunk, n.reasoning_content);
    }
    if (reasoning) {
        last_emitted_ = true;
        return true;
    }
    if (!content) content = attrs::get(chunk, n.content);
    if (!PyUnicode_Check(content.ptr())) concat_error(content);
    py::object holder;
    if (!splitter_.feed(utf8_of(content, holder))) return false;
    write(chunk, text_of(splitter_.output(), splitter_.output_is_whole_input(), content),
          text_of(splitter_.think(), splitter_.think_is_whole_input(), content));
    last_emitted_ = true;
    return true;
}

py::object StreamSplit::finish() {
    if (!splitter_.finish()) return {};
    py::object target = last_emitted_ ? bind::call(module().copy, last_) : last_;
    write(target, text_of(splitter_.output(), false, py::handle()), text_of(splitter_.think(), false, py::handle()));
    return target;
}

py::object StreamSplit::answer() const {
    const Py_ssize_t n = PyList_GET_SIZE(pieces_.ptr());
    if (n == 0) return bind::borrow(module().n.empty);
    return bind::steal(PyUnicode_Join(module().n.empty, pieces_.ptr()));
}

namespace {

// The usage record of a stream: the prompt and everything the model produced.
py::object stream_usage(py::handle config, const StreamSplit& split) {
    py::object prompt_tokens = call_get_input_len(configured_prompt(config));
    py::object completion_tokens = call_get_text_token_len(split.answer());
    return usage_record(prompt_tokens, completion_tokens);
}

py::object next_awaitable(py::handle iterator) {
    PyTypeObject* tp = Py_TYPE(iterator.ptr());
    if (tp->tp_as_async != nullptr && tp->tp_as_async->am_anext != nullptr)
        return bind::steal(tp->tp_as_async->am_anext(iterator.ptr()));
    static PyObject* anext = bind::intern("__anext__");
    return bind::call_method(iterator, anext);
}

}  // namespace

bind::Generator transform(py::object self, py::object chunks, py::object config) {
    (void)self;  // the parser holds no state
    const CallIdentity who = read_identity(config);
    StreamSplit split(true);
    py::object iterator = bind::steal(PyObject_GetIter(chunks.ptr()));
    while (py::object chunk = bind::next_item(iterator))
        if (split.feed(chunk)) co_yield chunk;
    if (py::object flushed = split.finish()) co_yield flushed;
    // Reached only when the consumer asks past the last item: a stream that
    // is closed or abandoned earlier records nothing.
    accumulate_usage(who, stream_usage(config, split));
}

bind::AsyncGenerator atransform(py::object self, py::object chunks, py::object config) {
    (void)self;
    const CallIdentity who = read_identity(config);
    StreamSplit split(true);
    py::object iterator = bind::steal(PyObject_GetAIter(chunks.ptr()));
    for (;;) {
        py::object chunk;
        try {
            chunk = co_await next_awaitable(iterator);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_StopAsyncIteration)) throw;
            break;
        }
        if (split.feed(chunk)) co_yield chunk;
    }
    if (py::object flushed = split.finish()) co_yield flushed;
    co_await bind::make_coroutine(accumulate_usage_async(who, stream_usage(config, split)).release());
}

namespace {

bind::Generator split_stream(py::object chunks) {
    StreamSplit split(false);
    py::object iterator = bind::steal(PyObject_GetIter(chunks.ptr()));
    while (py::object chunk = bind::next_item(iterator))
        if (split.feed(chunk)) co_yield chunk;
    if (py::object flushed = split.finish()) co_yield flushed;
}

// The demonstration: 18 pieces of a reasoning model's output, each as an
// AIMessage, through the module-level atransform; prints what comes out.
py::object demo() {
    Module& M = module();
    static const std::array<const char*, 18> pieces = {
        "<think>", "124", "<thin", "k>", "<", "sup>", "1", "<", "/", "sup>", "223", "<", "/t", "hin", "k", ">",
        "\xe4\xbd\xa0\xe5\xa5\xbd",  // 你好
        "\xe3\x80\x82",              // 。
    };
    static PyObject* kwnames = bind::keep(py::make_tuple(bind::borrow(M.n.content)));
    py::object messages = bind::new_list();
    for (const char* piece : pieces) bind::list_append(messages, bind::call_kw(M.ai_message, bind::borrow(kwnames), bind::str(piece)));
    static PyObject* name = bind::intern("atransform");
    py::object items = bind::steal(PyObject_GetIter(bind::call(global(name), messages).ptr()));
    while (py::object item = bind::next_item(items)) {
        bind::call(M.print, item);
    }
    return py::none();
}

void define_module_stream(py::module_& m) {
    Module& M = module();
    m.attr("atransform") = bind::make_function(
        {.name = "atransform",
         .doc = "Splits a stream of message chunks into answer (`content`) and reasoning "
                "(`reasoning_content`), holding back text that may be a cut <think> or </think> tag. A "
                "synchronous generator of the received chunk objects, changed in place; records no usage.",
         .params = {{"chunks"}},
         .impl = bind::wrap<split_stream>,
         .flavor = bind::Flavor::Generator},
        M.module_name);
    m.attr("demo") = bind::make_function(
        {.name = "demo",
         .doc = "Runs the demonstration: 18 pieces of reasoning output, each an AIMessage, through "
                "atransform; prints each message that comes out.",
         .params = {},
         .impl = bind::wrap<demo>},
        M.module_name);
}

const Definition registered(20, define_module_stream);

}  // namespace
}  // namespace cogsift
