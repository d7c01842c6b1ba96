// qorCogsift: the output parser at the end of the service's chains. Whole
// responses (invoke, ainvoke) here; streams in stream.cpp.
#include "message_attrs.hpp"
#include "cogsift.hpp"
#include "reasoning.hpp"

namespace cogsift {
namespace {

#define PARSER_NAMES(X) \
    X(call_with_config, "_call_with_config") X(acall_with_config, "_acall_with_config") X(last, -1) X(message)
BIND_PART_NAMES(ParserNames, PARSER_NAMES, names);

constexpr Py_ssize_t kStartLen = 7;  // "<think>"
constexpr Py_ssize_t kEndLen = 8;    // "</think>"

Py_ssize_t find(py::handle text, PyObject* tag, Py_ssize_t start, int direction) {
    const Py_ssize_t pos = PyUnicode_Find(text.ptr(), tag, start, PyUnicode_GET_LENGTH(text.ptr()), direction);
    if (pos == -2) throw py::error_already_set();
    return pos;
}

struct Split {
    py::object think;
    py::object answer;
};

// The reasoning is the body of the first "<think>...</think>" block (the
// leftmost opening tag that a closing tag follows, up to the first closing
// tag after it); the answer is everything after the last closing tag. When
// the output starts inside the reasoning, an opening tag stands in front of
// the text (or at its very start, when the model wrote it all the same): the
// reasoning is everything from there to the first closing tag.
Split split_text(py::handle text, bool open_at_start) {
    const Names& n = module().n;
    Split s;
    s.think = bind::borrow(n.empty);
    Py_ssize_t open = 0;
    if (!open_at_start) {
        open = find(text, n.start_tag, 0, 1);
    } else if (bind::check(PyUnicode_Tailmatch(text.ptr(), n.start_tag, 0, kStartLen, -1)) == 0) {
        open = -kStartLen;
    }
    if (open != -1) {
        // No closing tag after the first opening tag means none after any
        // later one either: there is no block at all.
        const Py_ssize_t close = find(text, n.end_tag, open + kStartLen, 1);
        if (close >= 0) s.think = bind::steal(PyUnicode_Substring(text.ptr(), open + kStartLen, close));
    }
    const Py_ssize_t last_close = find(text, n.end_tag, 0, -1);
    s.answer = last_close >= 0
                   ? bind::steal(PyUnicode_Substring(text.ptr(), last_close + kEndLen, PyUnicode_GET_LENGTH(text.ptr())))
                   : bind::steal(PyUnicode_Substring(text.ptr(), 0, PyUnicode_GET_LENGTH(text.ptr())));
    return s;
}

// Content that is not text gets the operations the parser applies to text,
// so it fails (or not) with their errors, at the same step.
py::object think_of_other(py::handle content, bool open_at_start) {
    Module& M = module();
    const Names& n = M.n;
    if (open_at_start) {
        if (!bind::check(PySequence_Contains(content.ptr(), n.end_tag))) return bind::borrow(n.empty);
        py::object parts = bind::call_method(content, n.split, n.end_tag);
        return bind::getitem(parts, bind::borrow(n.zero));
    }
    if (!bind::check(PySequence_Contains(content.ptr(), n.start_tag))) return bind::borrow(n.empty);
    py::object match = bind::call_method(M.think_pattern, n.search, content);
    if (match.ptr() == Py_None) return bind::borrow(n.empty);
    return bind::call_method(match, n.group, bind::borrow(n.one));
}

py::object answer_of_other(py::handle content) {
    const Names& n = module().n;
    py::object parts = bind::call_method(content, n.split, n.end_tag);
    return bind::getitem(parts, bind::borrow(names.last));
}

// Splits the message in place; returns the answer.
py::object split_in_place(py::handle input, bool open_at_start) {
    const Names& n = module().n;
    py::object content = attrs::get(input, n.content);
    const KwargsReasoning given = kwargs_reasoning(input);
    py::object think, answer;
    if (PyUnicode_Check(content.ptr())) {
        Split s = split_text(content, open_at_start);
        think = std::move(s.think);
        answer = std::move(s.answer);
    } else {
        think = think_of_other(content, open_at_start);
    }
    // Reasoning the chat integration split out comes first.
    if (given.text) think = joined(given.text, think);
    attrs::set(input, n.reasoning_content, think);
    if (!answer) answer = answer_of_other(content);
    attrs::set(input, n.content, answer);
    record_kwargs_reasoning(given, think);
    return answer;
}

// The message the split changes: `message` itself, or with hand_on "copy"
// a copy of it.
py::object split_target(py::handle message, py::handle parser, py::handle config) {
    return hands_on_copies(parser, config) ? own_copy(message) : bind::borrow(message.ptr());
}

// The split of a whole response and the usage it records: `input` is
// replaced by the message the split changed.
py::object split_usage(py::object& input, py::handle parser, py::handle run_config) {
    const Names& n = module().n;
    input = split_target(input, parser, run_config);
    py::object answer = split_in_place(input, starts_in_reasoning(parser, run_config));

    py::object usage = attrs::lookup(input, n.usage);
    if (!usage) {
        py::object reported;
        if (provider_usage(parser, run_config)) add_reported_usage(reported, input);
        usage = call_usage(run_config, answer, reported);
    }
    return usage;
}

// The whole-response split, which LangChain's run machinery calls with the
// message and, as keywords, the parser and the configuration it was called
// with.
py::object split_message(py::object input, py::object parser, py::object run_config) {
    const CallIdentity who = read_identity(run_config);
    py::object usage = split_usage(input, parser, run_config);
    accumulate_usage(who, usage);
    return input;
}

// The same as a coroutine: the split never suspends; the usage update
// suspends while the store answers, so a store that stops answering never
// holds the event loop.
bind::Task asplit_message(py::object input, py::object parser, py::object run_config) {
    const CallIdentity who = read_identity(run_config);
    py::object usage = split_usage(input, parser, run_config);
    co_await bind::make_coroutine(accumulate_usage_async(who, std::move(usage)).release());
    co_return input;
}

// LangChain's parse entries, with no run configuration and so no usage: a
// chat generation's message is split in place and returned; plain text comes
// back as a new AIMessage holding its answer and reasoning.
py::object parse(py::object self, py::object text) {
    static PyObject* kwnames = bind::keep(py::make_tuple(bind::borrow(module().n.content)));
    py::object message = bind::call_kw(module().ai_message, bind::borrow(kwnames), text);
    (void)split_in_place(message, starts_in_reasoning(self, bind::new_dict()));
    return message;
}

py::object parse_result(py::object self, py::object result, py::object /*partial*/) {
    py::object first = bind::getitem(result, bind::borrow(module().n.zero));
    py::object message = attrs::lookup(first, names.message);
    if (!message) return parse(self, bind::getattr(first, module().n.text));
    py::object no_config = bind::new_dict();
    message = split_target(message, self, no_config);
    (void)split_in_place(message, starts_in_reasoning(self, no_config));
    return message;
}

// The serialization namespace: the parser's own module, where loading finds
// the class again.
py::object lc_namespace(py::object /*cls*/) {
    return bind::steal(PyUnicode_Split(module().module_name.ptr(), bind::str(".").ptr(), -1));
}

// What the parser takes and gives: chat messages and their chunks, the same
// objects in and out.
py::object message_type(py::object /*self*/) { return bind::import_from("langchain_core.messages", "AnyMessage"); }

PyObject* g_split_message = nullptr;
PyObject* g_asplit_message = nullptr;

// As StrOutputParser does, through Runnable._call_with_config: the parser's
// own run, with its start, end or error, around the split. The
// configuration is checked first, so its errors come before the run starts.
py::object invoke(py::object self, py::object input, py::object config) {
    check_call_config(self, config);
    return through_run(self, names.call_with_config, bind::borrow(g_split_message), input, config);
}

bind::Task ainvoke(py::object self, py::object input, py::object config) {
    check_call_config(self, config);
    co_return co_await through_run(self, names.acall_with_config, bind::borrow(g_asplit_message), input, config);
}

// A compiled function of the module.
py::object compiled(const char* name, const char* qualname, const char* doc, std::vector<bind::Param> params,
                    bind::Impl impl, bind::Flavor flavor, py::object returns = {}) {
    return bind::make_function({.name = name,
                                .qualname = qualname,
                                .doc = doc,
                                .params = std::move(params),
                                .impl = impl,
                                .flavor = flavor,
                                .return_annotation = std::move(returns)},
                               module().module_name);
}

// (self, input: BaseMessage, config) and (self, chunks, config), as the stub declares them.
std::vector<bind::Param> whole_params() {
    return {{"self"}, bind::typed("input", type("BaseMessage")), bind::typed("config", type("Mapping[str, Any]"))};
}

std::vector<bind::Param> stream_params(const char* chunks) {
    return {{"self"}, bind::typed("chunks", type(chunks)), bind::typed("config", type("Mapping[str, Any]"))};
}

// The whole-response split without the run, which invoke and ainvoke hand
// to LangChain's run helpers.
void define_split_message(py::module_& m) {
    g_split_message = bind::keep(compiled("_split_message", "_split_message",
                                          "The split of qorCogsift.invoke without LangChain's run around it.",
                                          {{"input"}, {"parser"}, {"run_config"}}, bind::wrap<split_message>,
                                          bind::Flavor::Plain));
    g_asplit_message = bind::keep(compiled("_asplit_message", "_asplit_message", "_split_message as a coroutine.",
                                           {{"input"}, {"parser"}, {"run_config"}}, bind::wrap<asplit_message>,
                                           bind::Flavor::Coroutine));
    m.attr("_split_message") = bind::borrow(g_split_message);
}

// The parser's fields: its switches.
std::vector<bind::Member> field_members() {
    py::object switch_default = bind::import_from("pydantic", "Field")(
        py::arg("default") = false, py::arg("strict") = true,
        py::arg("description") =
            "Parse the output as beginning inside the reasoning, for models whose chat template puts "
            "<think> into the prompt: everything up to the first </think> is reasoning. Off by default; the "
            "run configuration's \"starts_in_reasoning\" (top level or under \"configurable\") overrides it "
            "per call.");
    return {bind::Member::field("starts_in_reasoning", bind::borrow(reinterpret_cast<PyObject*>(&PyBool_Type)),
                                switch_default),
            hold_back_field(), usage_source_field(), hand_on_field()};
}

py::object builtin(const char* name, py::object function) {
    return bind::call(bind::import_from("builtins", name), function);
}

// What LangChain asks of a parser besides its calls: types, serialization
// namespace, the parse entries.
std::vector<bind::Member> langchain_members() {
    using bind::Member;
    py::object message_type_getter = builtin(
        "property", compiled("_message_type", "qorCogsift._message_type", "Chat messages and their chunks.",
                             {{"self"}}, bind::wrap<message_type>, bind::Flavor::Plain));
    return {
        Member::attribute("InputType", message_type_getter),
        Member::attribute("OutputType", message_type_getter),
        Member::attribute("get_lc_namespace",
                          builtin("classmethod",
                                  compiled("get_lc_namespace", "qorCogsift.get_lc_namespace",
                                           "The namespace of the serialized form: [\"community\", \"models\", "
                                           "\"cogsift\"].",
                                           {{"cls"}}, bind::wrap<lc_namespace>, bind::Flavor::Plain,
                                           type("List[str]")))),
        Member::attribute("parse_result",
                          compiled("parse_result", "qorCogsift.parse_result",
                                   R"doc(Split the first generation as ``invoke`` splits a message.

A chat generation's message is changed in place and returned (a split
copy of it with ``hand_on="copy"``); a text
generation is parsed as ``parse`` parses text. No usage is recorded: there
is no run configuration to name the session and model.)doc",
                                   {{"self"},
                                    bind::typed("result", type("List[Generation]")),
                                    {"partial", bind::ParamKind::KeywordOnly, bind::borrow(Py_False), type("bool")}},
                                   bind::wrap<parse_result>, bind::Flavor::Plain, type("BaseMessage"))),
        Member::attribute("parse",
                          compiled("parse", "qorCogsift.parse",
                                   "Split text as ``invoke`` splits a message's content; returns a new AIMessage "
                                   "with the answer as ``content`` and the reasoning as ``reasoning_content``. No "
                                   "usage is recorded.",
                                   {{"self"}, bind::typed("text", type("str"))}, bind::wrap<parse>,
                                   bind::Flavor::Plain, type("BaseMessage"))),
    };
}

// The whole-response operations.
std::vector<bind::Member> whole_members() {
    using bind::Member;
    return {
        Member::attribute("invoke", compiled("invoke", "qorCogsift.invoke",
                                             R"doc(Split a whole response into answer and reasoning and record its usage.

Args:
    input: The model's message; its ``content`` becomes the answer and
        ``reasoning_content`` is set to the reasoning.
    config: The run configuration: "input" -> "session_id" (default
        "default_session_id"), "metadata" -> "model_name" (default
        "unknown_model") and, unless the message has ``usage``,
        "metadata" -> "prompt".

Returns:
    The same message object, changed in place; with ``hand_on`` "copy"
    a split copy of it, the message left as it was.

Raises:
    TypeError: ``config`` or its "input"/"metadata" entry is not a mapping.
    KeyError: No "metadata" -> "prompt" for a message without ``usage``.)doc",
                                             whole_params(), bind::wrap<invoke>, bind::Flavor::Plain,
                                             type("BaseMessage"))),
        Member::attribute("ainvoke", compiled("ainvoke", "qorCogsift.ainvoke", "invoke as a coroutine.",
                                              whole_params(), bind::wrap<ainvoke>, bind::Flavor::Coroutine,
                                              type("BaseMessage"))),
    };
}

// The streaming operations.
std::vector<bind::Member> stream_members() {
    using bind::Member;
    return {
        Member::attribute("transform", compiled("transform", "qorCogsift.transform",
                                                R"doc(Split a stream of message chunks into answer and reasoning.

Args:
    chunks: The model's chunks.
    config: The run configuration, as for ``invoke``.

Yields:
    The received chunks, changed in place (with ``hand_on`` "copy" split
    copies of them, the received chunks left as they were); text that may
    be a cut tag is held back. The usage of the whole stream is recorded after the last
    item.)doc",
                                                stream_params("Iterable[BaseMessage]"), bind::wrap<transform>,
                                                bind::Flavor::Generator, type("Iterator[BaseMessage]"))),
        Member::attribute("atransform", compiled("atransform", "qorCogsift.atransform",
                                                 "transform over an asynchronous stream of message chunks.",
                                                 stream_params("AsyncIterable[BaseMessage]"), bind::wrap<atransform>,
                                                 bind::Flavor::AsyncGenerator, type("AsyncIterator[BaseMessage]"))),
    };
}

const char* const kParserDoc =
    "Output parser for reasoning models.\n\nThe answer stays in the message's `content`, the "
    "reasoning (between <think> and </think>) goes into its `reasoning_content`, and the "
    "call's token usage is added to the session's record in the session store. Returns the "
    "message objects themselves, changed in place. Reasoning a chat integration put into "
    "`additional_kwargs[\"reasoning_content\"]` comes first in `reasoning_content`, and the whole "
    "reasoning is kept there as well, so summed stream chunks and `content_blocks` show it. Every "
    "operation runs as the parser's own LangChain run (callbacks, tracing, stream events).\n\n"
    "Example:\n"
    "    .. code-block:: python\n\n"
    "        chain = prompt | chat_model | qorCogsift()\n"
    "        config = {\"input\": {\"session_id\": sid},\n"
    "                  \"metadata\": {\"model_name\": name, \"prompt\": prompt_text}}\n"
    "        message = chain.invoke(question, config=config)\n"
    "        message.content, message.reasoning_content\n";

}  // namespace

void define_parser(py::module_& m) {
    define_split_message(m);
    std::vector<bind::Member> members = field_members();
    for (auto part : {langchain_members(), whole_members(), stream_members()})
        members.insert(members.end(), std::make_move_iterator(part.begin()), std::make_move_iterator(part.end()));
    m.attr("qorCogsift") = bind::make_class(m.attr("StrOutputParser"),
                                            {.name = "qorCogsift", .doc = kParserDoc, .members = std::move(members)},
                                            module().module_name);
}
}  // namespace cogsift
