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

#ifdef COMMUNITY_TEST_HOOKS
// Test hooks, compiled into test builds only (tools/cxx_build.py): the
// module as shipped has none of this.

#define MODULE_NAMES(X) X(extra) X(field)
BIND_PART_NAMES(ModuleNames, MODULE_NAMES, names);

// _fast_attributes(enabled=None): reports whether the direct attribute paths
// for message objects are active; True/False switches them on/off (for
// comparisons against the interpreter's own setattr/getattr).
py::object fast_attributes(py::object enabled) {
    if (enabled.ptr() != Py_None) attrs::force_generic(!bind::truthy(enabled));
    const attrs::Status s = attrs::status();
    return bind::dict_of({{names.extra, bind::borrow(s.extra_fast ? Py_True : Py_False)},
                          {names.field, bind::borrow(s.field_fast ? Py_True : Py_False)}});
}

void define_test_hooks(py::module_& m) {
    m.attr("_fast_attributes") = bind::make_function(
        {.name = "_fast_attributes",
         .doc = "Whether the direct attribute paths for message objects are active; True or False switches "
                "them on or off.",
         .params = {{"enabled", bind::ParamKind::PositionalOrKeyword, py::none()}},
         .impl = bind::wrap<fast_attributes>},
        g_module->module_name);
}
#endif

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
    state->n.fill();
    state->module_name = m.attr("__name__");
    state->resolve(m);

    // The one encoding every count uses, loaded once.
    m.attr("tokenizer") = m.attr("tiktoken").attr("get_encoding")("cl100k_base");
    py::object re = m.attr("re");
    state->think_pattern = re.attr("compile")("<think>(.*?)</think>", re.attr("DOTALL"));

    cogsift::attrs::init(m.attr("AIMessageChunk"));
    bind::fill_part_names();
    cogsift::define_token_count(m);
    cogsift::define_module_stream(m);
    cogsift::define_stream_run(m);
    cogsift::define_parser(m);

#ifdef COMMUNITY_TEST_HOOKS
    cogsift::define_test_hooks(m);
#endif

    // The public names; the names the import table binds (from LangChain, the
    // service and the standard library) are the module's own globals, not its
    // interface.
    m.attr("__all__") =
        py::list(py::make_tuple("qorCogsift", "get_input_len", "get_text_token_len", "atransform"));
}
