// community.models.cogsift: splits a chat model's output into reasoning and
// answer, for whole responses and streams, and accounts token usage per
// conversation and model in the session store.
#include "cogsift.hpp"
#include "bind/module.hpp"
#include "message_attrs.hpp"

#include <algorithm>
#include <vector>

namespace cogsift {

namespace {
Module* g_module = nullptr;


void init_names(Names& n) {
    using bind::intern;
    n.tokenizer = intern("tokenizer");
    n.get_input_len = intern("get_input_len");
    n.get_text_token_len = intern("get_text_token_len");
    n.get_redis_data = intern("get_redis_data");
    n.hset_redis_data = intern("hset_redis_data");
    n.json = intern("json");
    n.encode_ordinary = intern("encode_ordinary");
    n.dumps = intern("dumps");
    n.messages = intern("messages");
    n.text = intern("text");
    n.content = intern("content");
    n.reasoning_content = intern("reasoning_content");
    n.usage = intern("usage");
    n.input = intern("input");
    n.configurable = intern("configurable");
    n.metadata = intern("metadata");
    n.session_id = intern("session_id");
    n.model_name = intern("model_name");
    n.prompt = intern("prompt");
    n.default_session_id = intern("default_session_id");
    n.unknown_model = intern("unknown_model");
    n.usage_prefix = intern("usage:");
    n.prompt_tokens = intern("prompt_tokens");
    n.completion_tokens = intern("completion_tokens");
    n.total_tokens = intern("total_tokens");
    n.key = intern("key");
    n.image_url = intern("image_url");
    n.input_audio = intern("input_audio");
    n.start_tag = intern("<think>");
    n.end_tag = intern("</think>");
    n.invoke = intern("invoke");
    n.split = intern("split");
    n.search = intern("search");
    n.group = intern("group");
    n.ttl = intern("ttl");
    n.kw_key = bind::keep(py::make_tuple(bind::borrow(n.key)));
    n.kw_key_value_ttl = bind::keep(py::make_tuple(bind::borrow(n.key), bind::str("value"), bind::borrow(n.ttl)));
    n.zero = bind::keep(bind::integer(0));
    n.one = bind::keep(bind::integer(1));
    n.empty = intern("");
    n.lock_redis_data = intern("lock_redis_data");
    n.enter = intern("__enter__");
    n.exit = intern("__exit__");
    n.aenter = intern("__aenter__");
    n.aexit = intern("__aexit__");
    n.lock_poll = bind::keep(bind::real(0.0005));
}

// _fast_attributes(enabled=None): reports whether the direct attribute paths
// for message objects are active; True/False switches them on/off (for
// comparisons against the interpreter's own setattr/getattr).
py::object fast_attributes(py::object enabled) {
    if (enabled.ptr() != Py_None) attrs::force_generic(!bind::truthy(enabled));
    const attrs::Status s = attrs::status();
    return bind::dict_of({{bind::intern("extra"), bind::borrow(s.extra_fast ? Py_True : Py_False)},
                          {bind::intern("field"), bind::borrow(s.field_fast ? Py_True : Py_False)}});
}

}  // namespace

Module& module() { return *g_module; }

}  // namespace cogsift

BIND_MODULE(cogsift, m) {
    m.doc() =
        "Reasoning output parsing: splits a chat model's output into its reasoning (between <think> and "
        "</think>) and its answer, for whole responses and streams, and accounts token usage per "
        "conversation and model in the session store.";
    bind::init(m);

    // Lives as long as the process: the module's functions and classes refer
    // to it, and extension modules are never unloaded.
    auto* state = new cogsift::Module();
    cogsift::g_module = state;
    cogsift::init_names(state->n);
    state->module_name = m.attr("__name__");
    state->type_names = bind::annotation_names({{"langchain_core.messages", "BaseMessage"},
                                                {"langchain_core.prompt_values", "PromptValue"}});

    // The names the module's code uses, bound at import in this order; a
    // missing dependency or service name makes the import fail.
    m.attr("StrOutputParser") = bind::import_from("langchain_core.output_parsers", "StrOutputParser");
    m.attr("ChatPromptValue") = bind::import_from("langchain_core.prompt_values", "ChatPromptValue");
    m.attr("AIMessageChunk") = bind::import_from("langchain_core.messages", "AIMessageChunk");
    m.attr("BaseMessage") = bind::import_from("langchain_core.messages", "BaseMessage");
    m.attr("BaseMessageChunk") = bind::import_from("langchain_core.messages", "BaseMessageChunk");
    m.attr("AIMessage") = bind::import_from("langchain_core.messages", "AIMessage");
    m.attr("get_redis_data") = bind::import_from("utils.dbs", "get_redis_data");
    m.attr("hset_redis_data") = bind::import_from("utils.dbs", "hset_redis_data");
    // Optional: a store module without it leaves the in-process lock alone.
    m.attr("lock_redis_data") = py::getattr(bind::import("utils.dbs"), "lock_redis_data", py::none());
    m.attr("tiktoken") = bind::import("tiktoken");
    m.attr("json") = bind::import("json");
    m.attr("re") = bind::import("re");

    // The one encoding every count uses, loaded once.
    m.attr("tokenizer") = m.attr("tiktoken").attr("get_encoding")("cl100k_base");

    state->chat_prompt_value = m.attr("ChatPromptValue");
    state->base_message = m.attr("BaseMessage");
    state->ai_message = m.attr("AIMessage");
    py::object re = m.attr("re");
    state->think_pattern = re.attr("compile")("<think>(.*?)</think>", re.attr("DOTALL"));
    state->copy = bind::import_from("copy", "copy");
    state->print = bind::import_from("builtins", "print");
    state->asyncio_sleep = bind::import_from("asyncio", "sleep");

    cogsift::attrs::init(m.attr("AIMessageChunk"));
    bind::run_definitions(m);

    m.attr("_fast_attributes") = bind::make_function(
        {.name = "_fast_attributes",
         .doc = "Whether the direct attribute paths for message objects are active; True or False switches "
                "them on or off.",
         .params = {{"enabled", bind::ParamKind::PositionalOrKeyword, bind::with_default(py::none())}},
         .impl = bind::wrap<cogsift::fast_attributes>},
        state->module_name);

    // The public names; the names bound from LangChain, the service and the
    // standard library above are the module's own globals, not its interface.
    m.attr("__all__") =
        py::list(py::make_tuple("qorCogsift", "get_input_len", "get_text_token_len", "atransform"));
}
