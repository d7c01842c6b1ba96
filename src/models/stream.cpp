// Streaming split: qorCogsift.transform / atransform and the module-level
// atransform, over one linear-time splitter per stream.
#include "message_attrs.hpp"
#include "reasoning.hpp"
#include "stream_split.hpp"

#include <array>

namespace cogsift {

StreamSplit::StreamSplit(Options options)
    : splitter_(options.start_in_think, options.hold_back),
      kwargs_reasoning_(options.kwargs_reasoning),
      provider_usage_(options.provider_usage) {
    if (options.collect_answer) pieces_ = bind::new_list();
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
    if (provider_usage_) add_reported_usage(reported_, chunk);
    py::object content;
    if (pieces_) content = attrs::get(chunk, n.content);  // read first, for every chunk
    const py::object reasoning = attrs::lookup(chunk, n.reasoning_content);
    auto has_text = [&] {
        return PyUnicode_Check(content.ptr()) ? PyUnicode_GET_LENGTH(content.ptr()) > 0 : bind::truthy(content);
    };
    if (reasoning) {
        // The answer takes the chunk's text, or the reasoning of a chunk
        // that has no text.
        if (pieces_) collect(has_text() ? content : reasoning);
        last_emitted_ = true;
        return true;
    }
    KwargsReasoning given;
    if (kwargs_reasoning_) given = kwargs_reasoning(chunk);
    if (pieces_) {
        if (given.text) collect(given.text);
        if (has_text()) collect(content);
    }
    if (!content) content = attrs::get(chunk, n.content);
    if (!PyUnicode_Check(content.ptr())) concat_error(content);
    py::object holder;
    const bool split = splitter_.feed(utf8_of(content, holder));
    // A chunk bringing reasoning of its own is handed on even when all its
    // text is held back, so that nothing of that reasoning is lost.
    if (!split && !given.text) return false;
    py::object output = split ? text_of(splitter_.output(), splitter_.output_is_whole_input(), content)
                              : bind::borrow(n.empty);
    py::object think = split ? text_of(splitter_.think(), splitter_.think_is_whole_input(), content)
                             : bind::borrow(n.empty);
    if (given.text) think = joined(given.text, think);
    write(chunk, output, think);
    record_kwargs_reasoning(given, think);
    last_emitted_ = true;
    return true;
}

py::object StreamSplit::finish() {
    if (!splitter_.finish()) return {};
    py::object target = last_emitted_ ? continuation_of(last_) : py::object(last_);
    py::object think = text_of(splitter_.think(), false, py::handle());
    write(target, text_of(splitter_.output(), false, py::handle()), think);
    if (kwargs_reasoning_) record_kwargs_reasoning(kwargs_reasoning(target), think);
    return target;
}

py::object StreamSplit::answer() const {
    const Py_ssize_t n = PyList_GET_SIZE(pieces_.ptr());
    if (n == 0) return bind::borrow(module().n.empty);
    return bind::steal(PyUnicode_Join(module().n.empty, pieces_.ptr()));
}

namespace {

// The usage record of a stream: the prompt and everything the model produced,
// or what the provider reported on the chunks.
py::object stream_usage(py::handle config, const StreamSplit& split) {
    return call_usage(config, split.answer(), split.reported_usage());
}

}  // namespace

py::object next_awaitable(py::handle iterator) {
    PyTypeObject* tp = Py_TYPE(iterator.ptr());
    if (tp->tp_as_async != nullptr && tp->tp_as_async->am_anext != nullptr)
        return bind::steal(tp->tp_as_async->am_anext(iterator.ptr()));
    static PyObject* anext = bind::intern("__anext__");
    return bind::call_method(iterator, anext);
}

namespace {

StreamSplit::Options parser_options(py::handle parser, py::handle config) {
    return {.collect_answer = true,
            .start_in_think = starts_in_reasoning(parser, config),
            .hold_back = hold_back(parser, config),
            .provider_usage = provider_usage(parser, config),
            .kwargs_reasoning = true};
}

// The split of qorCogsift's streams, which LangChain's run machinery drives
// (the parser's own run, its streamed items, end and error): `chunks` is the
// machinery's copy of the input, `run_config` the configuration the parser
// was called with.
bind::Generator split_chunks(py::object chunks, py::object parser, py::object run_config) {
    const CallIdentity who = read_identity(run_config);
    StreamSplit split(parser_options(parser, run_config));
    const bool copies = hands_on_copies(parser, run_config);
    bind::Local iterator = bind::steal(PyObject_GetIter(chunks.ptr()));
    bind::Local chunk;  // one for the whole stream, registered with the frame once
    while ((chunk = bind::next_item(iterator))) {
        if (copies) chunk = own_copy(chunk);  // the model's chunk stays as it came
        if (split.feed(chunk)) co_yield chunk;
    }
    if (bind::Local flushed = split.finish()) co_yield flushed;
    // Reached only when the consumer asks past the last item: a stream that
    // is closed or abandoned earlier records nothing.
    accumulate_usage(who, stream_usage(run_config, split));
}

bind::AsyncGenerator asplit_chunks(py::object chunks, py::object parser, py::object run_config) {
    const CallIdentity who = read_identity(run_config);
    StreamSplit split(parser_options(parser, run_config));
    const bool copies = hands_on_copies(parser, run_config);
    bind::Local iterator = bind::steal(PyObject_GetAIter(chunks.ptr()));
    bind::Local chunk;
    for (;;) {
        try {
            chunk = co_await next_awaitable(iterator);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_StopAsyncIteration)) throw;
            break;
        }
        if (copies) chunk = own_copy(chunk);
        if (split.feed(chunk)) co_yield chunk;
    }
    if (bind::Local flushed = split.finish()) co_yield flushed;
    co_await bind::make_coroutine(accumulate_usage_async(who, stream_usage(run_config, split)).release());
}

PyObject* g_split_chunks = nullptr;
PyObject* g_asplit_chunks = nullptr;

}  // namespace

py::object split_generator(py::handle chunks, py::handle parser, py::handle config) {
    return bind::call(bind::borrow(g_split_chunks), chunks, parser, config);
}

py::object asplit_generator(py::handle chunks, py::handle parser, py::handle config) {
    return bind::call(bind::borrow(g_asplit_chunks), chunks, parser, config);
}

namespace {

bind::Generator split_stream(py::object chunks) {
    StreamSplit split(StreamSplit::Options{});
    bind::Local iterator = bind::steal(PyObject_GetIter(chunks.ptr()));
    bind::Local chunk;  // one for the whole stream, registered with the frame once
    while ((chunk = bind::next_item(iterator)))
        if (split.feed(chunk)) co_yield chunk;
    if (bind::Local flushed = split.finish()) co_yield flushed;
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

}  // namespace

void define_module_stream(py::module_& m) {
    Module& M = module();
    auto inner = [&](const char* name, const char* doc, bind::Impl impl, bind::Flavor flavor) {
        return bind::keep(bind::make_function(
            {.name = name,
             .qualname = name,
             .doc = doc,
             .params = {{"chunks"}, {"parser"}, {"run_config"}},
             .impl = impl,
             .flavor = flavor},
            M.module_name));
    };
    g_split_chunks = inner("_split_chunks",
                           "The split of qorCogsift.transform without LangChain's run around it: items and usage "
                           "step as transform gives them for (chunks, run_config).",
                           bind::wrap<split_chunks>, bind::Flavor::Generator);
    g_asplit_chunks = inner("_asplit_chunks", "_split_chunks over an asynchronous stream.",
                            bind::wrap<asplit_chunks>, bind::Flavor::AsyncGenerator);
    // For the benchmarks: the split alone, next to the whole entry.
    m.attr("_split_chunks") = bind::borrow(g_split_chunks);
    m.attr("_asplit_chunks") = bind::borrow(g_asplit_chunks);
    m.attr("atransform") = bind::make_function(
        {.name = "atransform",
         .doc = R"doc(Split a stream of message chunks into answer and reasoning.

Text that may be a cut ``<think>`` or ``</think>`` tag is held back until
later chunks settle it. Despite its name a synchronous generator; it
records no usage and reads no configuration.

Args:
    chunks: An iterable of message objects.

Yields:
    The received message objects, changed in place: ``content`` holds
    answer text only, ``reasoning_content`` reasoning text only.

Example:
    .. code-block:: python

        pieces = ["<think>", "why", "</thi", "nk>", "answer"]
        for chunk in atransform(AIMessageChunk(content=p) for p in pieces):
            print(repr(chunk.reasoning_content), repr(chunk.content)))doc",
         .params = {bind::typed("chunks", type("Iterable[BaseMessage]"))},
         .impl = bind::wrap<split_stream>,
         .flavor = bind::Flavor::Generator,
         .return_annotation = type("Iterator[BaseMessage]")},
        M.module_name);
    m.attr("demo") = bind::make_function(
        {.name = "demo",
         .doc = "Runs the demonstration: 18 pieces of reasoning output, each an AIMessage, through "
                "atransform; prints each message that comes out.",
         .params = {},
         .impl = bind::wrap<demo>,
         .return_annotation = type("None")},
        M.module_name);
}
}  // namespace cogsift
