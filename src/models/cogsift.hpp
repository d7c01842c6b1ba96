// Shared state and helpers of the reasoning output parser module.
#pragma once

#include "bind/annotations.hpp"
#include "bind/coro.hpp"
#include "bind/module.hpp"
#include "bind/model.hpp"

namespace cogsift {

// Interned names used on the parsing paths.
struct Names {
    PyObject *tokenizer, *get_input_len, *get_text_token_len, *get_redis_data, *hset_redis_data, *json;
    PyObject *encode_ordinary, *dumps, *messages, *text, *content, *reasoning_content, *usage;
    PyObject *input, *configurable, *metadata, *session_id, *model_name, *prompt;
    PyObject *default_session_id, *unknown_model, *usage_prefix;
    PyObject *prompt_tokens, *completion_tokens, *total_tokens;
    PyObject *key, *image_url, *input_audio, *start_tag, *end_tag, *invoke, *split, *search, *group;
    PyObject *kw_key, *kw_key_value_ttl;  // ("key",), ("key", "value", "ttl")
    PyObject *ttl, *zero, *one, *empty;
    PyObject *lock_redis_data, *enter, *exit, *aenter, *aexit, *lock_poll;
};

// Process-wide state: interned names and the classes the module tests
// against (bound once at import). The service functions and `tokenizer` are
// module globals, looked up on every call with `global`.
struct Module {
    Names n;
    py::object module_name;  // "community.models.cogsift"
    py::object chat_prompt_value, base_message, ai_message;
    py::object think_pattern;  // re.compile("<think>(.*?)</think>", re.DOTALL)
    py::object copy, print, asyncio_sleep;
    // The module's own function objects: calls through the globals that
    // still find them skip the Python call.
    PyObject* own_get_input_len = nullptr;
    PyObject* own_get_text_token_len = nullptr;
    py::object type_names;  // the names annotation text may use (bind::annotation_names)
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
CallIdentity read_identity(py::handle config);

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
// asyncio sleep, so the event loop is held only for the store's round trips.
bind::Task accumulate_usage_async(CallIdentity who, py::object usage);

// ---------------------------------------------------------------------------
// Streaming (stream.cpp)

// The method bodies of qorCogsift's streaming operations: the stream of
// LangChain's run helpers, around the split.
py::object transform(py::object self, py::object chunks, py::object config);
py::object atransform(py::object self, py::object chunks, py::object config);

// Module parts register themselves (bind::Definition).
using bind::Definition;

}  // namespace cogsift
