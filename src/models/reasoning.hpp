// Reasoning in LangChain's own terms, shared by the whole-response and the
// streaming split:
// - the parser's options (`starts_in_reasoning`, for outputs that begin
//   inside a block the prompt already opened, `hold_back`, `usage_source`):
//   fields of the parser, overridable per call in the run configuration
//   (run_config.cpp);
// - `additional_kwargs["reasoning_content"]`, where chat integrations put
//   the reasoning they split out themselves, which summing message chunks
//   concatenates and `content_blocks` shows as a reasoning block
//   (kwargs_reasoning.cpp);
// - the flush item of a stream that is a copy of an emitted chunk
//   (chunk_continuation.cpp).
#pragma once

#include "cogsift.hpp"
#include "think_split.hpp"

namespace cogsift {

// ---------------------------------------------------------------------------
// The run configuration (run_config.cpp)

// Whether the output is parsed as beginning inside the reasoning: the run
// configuration's "starts_in_reasoning" (top level, or under "configurable",
// where a chain moves it), when given and not None, else the parser's field.
// A value other than True, False or None is a TypeError.
bool starts_in_reasoning(py::handle parser, py::handle config);

// What a stream holds back: the run configuration's "hold_back" (found as
// "starts_in_reasoning" is), else the parser's field; "candidate" or
// "tag_prefix". Another text is a ValueError, another type a TypeError.
HoldBack hold_back(py::handle parser, py::handle config);

// Whether the usage comes from the provider's report (LangChain's
// usage_metadata): "usage_source" read as "hold_back" is, "count" (false)
// or "provider" (true).
bool provider_usage(py::handle parser, py::handle config);

// Whether the parser hands on copies of the messages it receives, split,
// and leaves those intact: "hand_on" read as "hold_back" is, "received"
// (false: the received objects, split in place) or "copy" (true).
bool hands_on_copies(py::handle parser, py::handle config);

// The parser's fields for those three options.
bind::Member hold_back_field();
bind::Member usage_source_field();
bind::Member hand_on_field();

// Everything a call reads from its run configuration before it touches its
// input (session, model, switches), read once so that a bad configuration
// fails before the run machinery starts.
void check_call_config(py::handle parser, py::handle config);

// self.<helper>(first, second, config, run_type="parser", parser=self,
// run_config=config): one of LangChain's run helpers (Runnable's
// _call_with_config, which takes the inner function first, and the stream
// helpers, which take the input first; StrOutputParser's operations use them
// with their own parse), with the parser's split as the inner function; the
// split gets the parser and the configuration as given to the call.
py::object through_run(py::handle self, PyObject* helper, py::handle first, py::handle second, py::handle config);

// ---------------------------------------------------------------------------
// Reasoning in additional_kwargs (kwargs_reasoning.cpp)

// The reasoning a message carries in its additional_kwargs.
struct KwargsReasoning {
    // The message's additional_kwargs when it is a dict whose
    // "reasoning_content" is absent, None or text (so it may be extended);
    // empty otherwise, and then it is neither read nor written.
    py::object kwargs;
    // That "reasoning_content" when it is non-empty text; empty otherwise.
    py::object text;
};
KwargsReasoning kwargs_reasoning(py::handle message);

// Records `reasoning` (the message's whole new reasoning, which begins with
// `k.text` when there is one) as kwargs["reasoning_content"]; nothing when it
// is empty or there is no writable kwargs.
void record_kwargs_reasoning(const KwargsReasoning& k, py::handle reasoning);

// ---------------------------------------------------------------------------
// Joining and continuing chunks (chunk_continuation.cpp)

// `first` followed by `second`, either of which may be empty text.
py::object joined(py::handle first, py::handle second);

// A shallow copy of a message (copy.copy) with an additional_kwargs dict of
// its own, so that splitting the copy leaves the original as it was.
py::object own_copy(py::handle message);

// A new item for held-back text that goes out on a chunk already emitted: a
// LangChain message is copied with the fields that summing chunks
// accumulates (additional_kwargs, response_metadata, usage, tool call parts)
// back at their defaults, so the sum of a stream counts them once; any other
// object is copied shallowly.
py::object continuation_of(py::handle chunk);

// ---------------------------------------------------------------------------
// Usage as the provider reports it (provider_usage.cpp)

// The usage_metadata of `message` added to `sum` as LangChain adds those of
// message chunks; `sum` stays as it is when the message reports none.
void add_reported_usage(py::object& sum, py::handle message);

// The usage record of one call: from `reported` (a usage_metadata, empty or
// falsy when the provider reported nothing) the input, output and total
// tokens it gives; the prompt (config["metadata"]["prompt"]) and `output`
// counted for whatever it leaves out, and then the total is their sum.
py::object call_usage(py::handle config, py::handle output, py::handle reported);

}  // namespace cogsift
