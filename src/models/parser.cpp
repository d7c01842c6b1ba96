// qorCogsift: the output parser at the end of the service's chains. Whole
// responses (invoke, ainvoke) here; streams in stream.cpp.
#include "message_attrs.hpp"
#include "cogsift.hpp"

namespace cogsift {
namespace {

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
// tag after it); the answer is everything after the last closing tag.
Split split_text(py::handle text) {
    const Names& n = module().n;
    Split s;
    s.think = bind::borrow(n.empty);
    const Py_ssize_t open = find(text, n.start_tag, 0, 1);
    if (open >= 0) {
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
py::object think_of_other(py::handle content) {
    Module& M = module();
    const Names& n = M.n;
    if (!bind::check(PySequence_Contains(content.ptr(), n.start_tag))) return bind::borrow(n.empty);
    py::object match = bind::call_method(M.think_pattern, n.search, content);
    if (match.ptr() == Py_None) return bind::borrow(n.empty);
    return bind::call_method(match, n.group, bind::borrow(n.one));
}

py::object answer_of_other(py::handle content) {
    const Names& n = module().n;
    py::object parts = bind::call_method(content, n.split, n.end_tag);
    static PyObject* last = bind::keep(bind::integer(-1));
    return bind::getitem(parts, bind::borrow(last));
}

py::object invoke(py::object self, py::object input, py::object config) {
    (void)self;  // the parser holds no state
    const Names& n = module().n;
    const CallIdentity who = read_identity(config);

    py::object content = attrs::get(input, n.content);
    py::object answer;
    if (PyUnicode_Check(content.ptr())) {
        Split s = split_text(content);
        attrs::set(input, n.reasoning_content, s.think);
        answer = std::move(s.answer);
    } else {
        attrs::set(input, n.reasoning_content, think_of_other(content));
        answer = answer_of_other(content);
    }
    attrs::set(input, n.content, answer);

    py::object usage = attrs::lookup(input, n.usage);
    if (!usage) {
        py::object prompt_tokens = call_get_input_len(configured_prompt(config));
        py::object completion_tokens = call_get_text_token_len(answer);
        usage = usage_record(prompt_tokens, completion_tokens);
    }
    accumulate_usage(who, usage);
    return input;
}

// Runs invoke when first resumed; it never suspends.
bind::Task ainvoke(py::object self, py::object input, py::object config) {
    co_return bind::call_method(self, module().n.invoke, input, config);
}

void define_parser(py::module_& m) {
    Module& M = module();
    auto method = [&](const char* name, const char* qualname, const char* doc, std::vector<bind::Param> params,
                      bind::Impl impl, bind::Flavor flavor) {
        return bind::make_function(
            {.name = name, .qualname = qualname, .doc = doc, .params = std::move(params), .impl = impl, .flavor = flavor},
            M.module_name);
    };
    using bind::Member;
    py::object cls = bind::make_class(
        m.attr("StrOutputParser"),
        {
            .name = "qorCogsift",
            .doc = "Output parser for reasoning models: the answer stays in the message's `content`, the "
                   "reasoning (between <think> and </think>) goes into its `reasoning_content`, and the "
                   "call's token usage is added to the session's record in the session store. Returns the "
                   "message objects themselves, changed in place.",
            .members =
                {
                    Member::attribute(
                        "invoke",
                        method("invoke", "qorCogsift.invoke",
                               "Splits the message's content into answer and reasoning, records the usage "
                               "and returns the same message.",
                               {{"self"}, {"input"}, {"config"}}, bind::wrap<invoke>, bind::Flavor::Plain)),
                    Member::attribute("ainvoke",
                                      method("ainvoke", "qorCogsift.ainvoke", "invoke as a coroutine.",
                                             {{"self"}, {"input"}, {"config"}}, bind::wrap<ainvoke>,
                                             bind::Flavor::Coroutine)),
                    Member::attribute(
                        "transform",
                        method("transform", "qorCogsift.transform",
                               "Splits a stream of message chunks into answer and reasoning as they arrive; "
                               "records the usage of the whole stream after its last item.",
                               {{"self"}, {"chunks"}, {"config"}}, bind::wrap<transform>,
                               bind::Flavor::Generator)),
                    Member::attribute("atransform",
                                      method("atransform", "qorCogsift.atransform",
                                             "transform over an asynchronous stream of message chunks.",
                                             {{"self"}, {"chunks"}, {"config"}}, bind::wrap<atransform>,
                                             bind::Flavor::AsyncGenerator)),
                },
        },
        M.module_name);
    m.attr("qorCogsift") = cls;
}

const Definition registered(30, define_parser);

}  // namespace
}  // namespace cogsift
