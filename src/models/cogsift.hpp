// Shared state and helpers of the reasoning output parser module.
#pragma once

#include "bind/annotations.hpp"
#include "bind/coro.hpp"
#include "bind/module.hpp"
#include "bind/model.hpp"
#include "bind/names.hpp"

namespace cogsift {

// Interned names and constants used on the parsing paths.
#define COGSIFT_NAMES(X)                                                                              \
    X(tokenizer) X(get_input_len) X(get_text_token_len) X(encode_ordinary) X(dumps) X(messages) X(text) \
    X(content) X(reasoning_content) X(usage) X(input) X(configurable) X(metadata) X(session_id)         \
    X(model_name) X(prompt) X(default_session_id) X(unknown_model) X(usage_prefix, "usage:")          \
    X(prompt_tokens) X(completion_tokens) X(total_tokens) X(image_url) X(input_audio)                  \
    X(start_tag, "<think>") X(end_tag, "</think>") X(split) X(search) X(group)                         \
    X(enter, "__enter__") X(exit, "__exit__") X(aenter, "__aenter__") X(aexit, "__aexit__") X(call)    \
    X(kw_key, bind::keywords, "key") X(kw_key_value_ttl, bind::keywords, "key", "value", "ttl")       \
    X(zero, 0) X(one, 1) X(empty, "") X(lock_poll, 0.0005)

// What the module imports, in this order, when it is imported; the names
// bound from LangChain, the service and the standard library are its
// globals, a missing dependency or service name makes the import fail.
#define COGSIFT_IMPORTS(FROM, MODULE, OPTIONAL, TYPE, HOST)                                           \
    TYPE(BaseMessage, "langchain_core.messages")                                                     \
    TYPE(PromptValue, "langchain_core.prompt_values")                                                \
    TYPE(Generation, "langchain_core.outputs")                                                       \
    FROM(StrOutputParser, "langchain_core.output_parsers")                                           \
    FROM(AIMessageChunk, "langchain_core.messages")                                                  \
    FROM(get_redis_data, "utils.dbs")                                                                \
    FROM(hset_redis_data, "utils.dbs")                                                               \
    /* a store module without it leaves the in-process lock alone */                                 \
    OPTIONAL(lock_redis_data, "utils.dbs")                                                           \
    MODULE(tiktoken)                                                                                 \
    MODULE(json)                                                                                     \
    MODULE(re)                                                                                       \
    /* the classes the module tests against */                                                       \
    HOST(chat_prompt_value, "langchain_core.prompt_values", "ChatPromptValue")                       \
    HOST(base_message, "langchain_core.messages", "BaseMessage")                                     \
    HOST(ai_message, "langchain_core.messages", "AIMessage")                                         \
    HOST(copy, "copy", "copy")                                                                       \
    HOST(mapping, "collections.abc", "Mapping")                                                      \
    HOST(add_usage, "langchain_core.messages.ai", "add_usage")                                       \
    HOST(print, "builtins", "print")                                                                 \
    HOST(asyncio_sleep, "asyncio", "sleep")

BIND_MODULE_NAMES(Names, COGSIFT_NAMES, COGSIFT_IMPORTS);
BIND_IMPORTS(Imports, COGSIFT_IMPORTS);

// Process-wide state: interned names and the classes the module tests
// against (bound once at import). The service functions and `tokenizer` are
// module globals, looked up on every call with `global`.
struct Module : Imports {
    Names n;
    py::object module_name;  // "community.models.cogsift"
    py::object think_pattern;  // re.compile("<think>(.*?)</think>", re.DOTALL)
    // The module's own function objects: calls through the globals that
    // still find them skip the Python call.
    PyObject* own_get_input_len = nullptr;
    PyObject* own_get_text_token_len = nullptr;
};

Module& module();

// The annotation that `expression` (the text of the module's stub) denotes.
inline py::object type(const char* expression) { return bind::annotation(module().type_names, expression); }

using bind::global;

// ---------------------------------------------------------------------------
// Token counting (token_count.cpp)

// len(tokenizer.encode_ordinary(text)) with the module's current `tokenizer`.
Py_ssize_t text_token_len(py::handle text);
// get_input_len(inputs) as the module defines it.
Py_ssize_t input_len(py::handle inputs);
// The module globals get_input_len / get_text_token_len, called as the code
// of a Python module would call them (a replacement of either is honoured).
py::object call_get_input_len(py::handle inputs);
py::object call_get_text_token_len(py::handle text);

// ---------------------------------------------------------------------------
// Usage accounting (usage.cpp)

// Session id and model name of one call, read from the run configuration.
struct CallIdentity {
    bind::Local session_id;
    bind::Local model_name;
};
inline void frame_references(CallIdentity& who, bind::FrameRoots& roots) noexcept {
    roots.add(who.session_id);
    roots.add(who.model_name);
}
// Reads them from the run configuration (a mapping). An "input" or
// "metadata" entry (or "configurable", or "input" under it) that is not a
// mapping is a TypeError, raised before anything else is read.
CallIdentity read_identity(py::handle config);

// A TypeError "<what> must be a mapping, not <type>" unless `value` is a
// dict or a collections.abc.Mapping.
void require_mapping(py::handle value, const char* what);

// config["metadata"]["prompt"]
py::object configured_prompt(py::handle config);

// {"prompt_tokens": p, "completion_tokens": c, "total_tokens": p + c}
py::object usage_record(py::handle prompt_tokens, py::handle completion_tokens);

// Adds `usage` to the stored record of (session, model): one read and one
// write of the session store, under an in-process lock per usage key and
// model and, when the store offers one (`lock_redis_data`), under the
// store's own lock, which spans processes and hosts. Concurrent completions
// lose no increment. Waits block the calling thread with the GIL released.
void accumulate_usage(const CallIdentity& who, py::handle usage);
// The same as a coroutine for asynchronous streams: every wait is an
// asyncio sleep, and with a store lock that offers `call` the read and the
// write run off the event loop (as the lock's own round trips do).
bind::Task accumulate_usage_async(CallIdentity who, py::object usage);

// ---------------------------------------------------------------------------
// Streaming (stream.cpp)

// The method bodies of qorCogsift's streaming operations: the parser's own
// LangChain run around the split (stream_run.cpp).
bind::Generator transform(py::object self, py::object chunks, py::object config);
bind::AsyncGenerator atransform(py::object self, py::object chunks, py::object config);

// The split of those streams without the run: a generator (an asynchronous
// one) of the items, then the usage step; `config` as given to the call.
py::object split_generator(py::handle chunks, py::handle parser, py::handle config);
py::object asplit_generator(py::handle chunks, py::handle parser, py::handle config);

// The awaitable of an asynchronous iterator's next item.
py::object next_awaitable(py::handle iterator);

// The module's parts, defined in this order by its init body
// (cogsift_module.cpp).
void define_token_count(py::module_& m);    // token_count.cpp
void define_module_stream(py::module_& m);  // stream.cpp
void define_stream_run(py::module_& m);     // stream_run.cpp
void define_parser(py::module_& m);         // parser.cpp

}  // namespace cogsift
