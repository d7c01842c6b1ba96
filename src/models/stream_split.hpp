// One stream of message chunks through the reasoning splitter: the Python
// side of the split (reading and writing the chunk objects), shared by the
// parser's `transform` and `atransform` and the module-level `atransform`.
#pragma once

#include "cogsift.hpp"
#include "think_split.hpp"

namespace cogsift {

class StreamSplit {
public:
    struct Options {
        // Keep the text of every chunk for the completion token count of the
        // usage step.
        bool collect_answer = false;
        // The stream begins inside a reasoning block.
        bool start_in_think = false;
        HoldBack hold_back = HoldBack::candidate;
        // Sum the chunks' usage_metadata for reported_usage().
        bool provider_usage = false;
        // The chunks' additional_kwargs["reasoning_content"] (reasoning the
        // chat integration split out) joins their reasoning, and every split
        // chunk's reasoning is recorded there too.
        bool kwargs_reasoning = false;
    };
    explicit StreamSplit(Options options);

    // Handles one received chunk. Returns true when the chunk is to be
    // emitted now: a pass-through chunk (it carries `reasoning_content`
    // already) unchanged, or a split chunk with its `content` and
    // `reasoning_content` replaced. Errors of the chunk propagate.
    bool feed(py::handle chunk);

    // End of the input: the item carrying the held-back text, or an empty
    // object when there is none. That item is the last chunk received,
    // changed in place, unless that chunk was emitted already: then it is a
    // new item continuing it (continuation_of), and the emitted object stays
    // as it was.
    py::object finish();

    // Everything the chunks carried (content, or for pass-through chunks
    // with empty content their reasoning; with kwargs_reasoning also the
    // reasoning in additional_kwargs, before the content), joined.
    py::object answer() const;

    // The chunks' usage_metadata summed; empty when none reported any (or
    // without provider_usage).
    py::handle reported_usage() const { return reported_; }

private:
    void collect(py::handle text);
    py::object text_of(std::string_view piece, bool whole, py::handle original) const;
    void write(py::handle chunk, py::handle content, py::handle reasoning) const;

    ThinkSplitter splitter_;
    bool kwargs_reasoning_;
    bool provider_usage_;
    // Locals of the coroutine bodies that stream: what the collector sees.
    bind::Local pieces_;  // list of texts for answer(), or empty
    bind::Local last_;    // last chunk received
    bind::Local reported_;
    bool last_emitted_ = false;
};

}  // namespace cogsift
