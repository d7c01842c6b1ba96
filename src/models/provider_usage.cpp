// Usage as the chat model's provider reports it: LangChain's usage_metadata
// ("input_tokens", "output_tokens", "total_tokens") on a message, or on the
// chunks of a stream, summed as LangChain sums them. What the provider left
// out is counted with the module's tokenizer.
#include "message_attrs.hpp"
#include "reasoning.hpp"

namespace cogsift {
namespace {

#define PROVIDER_USAGE_NAMES(X) X(usage_metadata) X(input_tokens) X(output_tokens)
BIND_PART_NAMES(ProviderUsageNames, PROVIDER_USAGE_NAMES, names);

// reported[key] when the provider gave it (not None), else an empty object.
py::object reported_count(py::handle reported, PyObject* key) {
    if (!reported) return {};
    py::object value = bind::mapping_get(reported, key, py::none());
    if (value.ptr() == Py_None) return {};
    return value;
}

}  // namespace

void add_reported_usage(py::object& sum, py::handle message) {
    py::object usage = attrs::lookup(message, names.usage_metadata);
    if (!usage || usage.ptr() == Py_None) return;
    sum = sum ? bind::call(module().add_usage, sum, usage) : usage;
}

py::object call_usage(py::handle config, py::handle output, py::handle reported) {
    const Names& n = module().n;
    const bool any = reported && bind::truthy(reported);
    py::object prompt_tokens = any ? reported_count(reported, names.input_tokens) : py::object();
    py::object completion_tokens = any ? reported_count(reported, names.output_tokens) : py::object();
    py::object total_tokens = any ? reported_count(reported, n.total_tokens) : py::object();
    if (prompt_tokens && completion_tokens && total_tokens) {
        return bind::dict_of(
            {{n.prompt_tokens, prompt_tokens}, {n.completion_tokens, completion_tokens}, {n.total_tokens, total_tokens}});
    }
    if (!prompt_tokens) prompt_tokens = call_get_input_len(configured_prompt(config));
    if (!completion_tokens) completion_tokens = call_get_text_token_len(output);
    return usage_record(prompt_tokens, completion_tokens);
}

}  // namespace cogsift
