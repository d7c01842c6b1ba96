"""usage_source="provider": the counts the chat model reported in
usage_metadata, on the whole message or summed over a stream's chunks, with
the tokenizer filling in only what the provider left out."""
import asyncio

import pytest
import tiktoken
from langchain_core.messages import AIMessage, AIMessageChunk

from community.models import cogsift

from .conftest import make_config, stored

ENC = tiktoken.get_encoding("cl100k_base")
PROMPT = "How many tokens?"
TEXT = ["<think>plan", "</think>ans", "wer"]
WHOLE = "".join(TEXT)


def usage(i, o, t=None):
    return {"input_tokens": i, "output_tokens": o, "total_tokens": i + o if t is None else t}


def counted_prompt():
    return len(ENC.encode(PROMPT))


# Usage on the chunks of TEXT, and the record stored: "P" is the counted
# prompt, "C" the counted completion (all streamed text).
STREAM_CASES = {
    "last chunk only": ([None, None, usage(20, 9)], (20, 9, 29)),
    "several chunks": ([usage(20, 0), usage(0, 4), usage(0, 5)], (20, 9, 29)),
    "provider total kept": ([None, usage(20, 9, 31), None], (20, 9, 31)),
    "absent": ([None, None, None], ("P", "C", None)),
    "input only": ([{"input_tokens": 20}, None, None], (20, "C", None)),
    "output only, twice": ([{"output_tokens": 4}, None, {"output_tokens": 5}], ("P", 9, None)),
}


def expected(record, completion_text):
    p, c, t = record
    p = counted_prompt() if p == "P" else p
    c = len(ENC.encode(completion_text)) if c == "C" else c
    return {"prompt_tokens": p, "completion_tokens": c, "total_tokens": p + c if t is None else t}


class Chunk:
    """A message chunk of an integration of its own. LangChain's chunks
    cannot carry a partial report: summing them in the run validates it."""

    def __init__(self, content, usage_metadata):
        self.content, self.usage_metadata = content, usage_metadata


def chunks_with(usages):
    partial = any(u is not None and len(u) < 3 for u in usages)
    return [Chunk(text, reported) if partial else AIMessageChunk(content=text, usage_metadata=reported)
            for text, reported in zip(TEXT, usages)]


@pytest.mark.parametrize("entry", ["transform", "atransform"])
@pytest.mark.parametrize("case", STREAM_CASES)
def test_stream_usage_from_the_provider(case, entry, memory_store):
    usages, record = STREAM_CASES[case]
    config = make_config(prompt=PROMPT, configurable={"usage_source": "provider"})
    parser = cogsift.qorCogsift()
    if entry == "transform":
        items = list(parser.transform(iter(chunks_with(usages)), config))
    else:
        async def source():
            for c in chunks_with(usages):
                yield c

        async def drain():
            return [c async for c in parser.atransform(source(), config)]
        items = asyncio.run(drain())
    assert ("".join(c.content for c in items), "".join(c.reasoning_content for c in items)) == ("answer", "plan")
    assert stored() == expected(record, WHOLE)


def test_fully_reported_stream_needs_no_prompt(memory_store):
    config = {"input": {"session_id": "s1"}, "metadata": {"model_name": "m1"}, "usage_source": "provider"}
    list(cogsift.qorCogsift().transform(iter(chunks_with([None, None, usage(3, 4)])), config))
    assert stored() == expected((3, 4, None), WHOLE)
    list(cogsift.qorCogsift().transform(iter(chunks_with([{"input_tokens": 3}, None, None])), config))
    assert stored()["prompt_tokens"] == 6  # input reported: no prompt to count either
    with pytest.raises(KeyError):  # output only: the prompt must be counted
        list(cogsift.qorCogsift().transform(iter(chunks_with([{"output_tokens": 3}, None, None])), config))


def test_whole_message_usage(memory_store):
    provider = cogsift.qorCogsift(usage_source="provider")
    answer_tokens = len(ENC.encode("answer"))
    cases = [
        # (parser, usage_metadata, own `usage`, stored increment)
        (provider, usage(11, 5), None, (11, 5, 16)),
        (provider, None, None, ("P", answer_tokens, None)),
        (provider, {"input_tokens": 11}, None, (11, answer_tokens, None)),
        (provider, usage(11, 5), {"prompt_tokens": 1, "completion_tokens": 2, "total_tokens": 3}, (1, 2, 3)),
        (cogsift.qorCogsift(), usage(11, 5), None, ("P", answer_tokens, None)),  # the default counts
    ]
    for parser, reported, own, record in cases:
        message = AIMessage(content=WHOLE)
        message.usage_metadata = reported
        if own is not None:
            message.usage = own
        before = stored() or {"prompt_tokens": 0, "completion_tokens": 0, "total_tokens": 0}
        parser.invoke(message, make_config(prompt=PROMPT))
        want = expected(record, "answer")
        assert {k: stored()[k] - before[k] for k in want} == want, (reported, own)


def test_option_values():
    assert cogsift.qorCogsift().usage_source == "count"
    with pytest.raises(ValueError):
        cogsift.qorCogsift(usage_source="model")
    with pytest.raises(ValueError, match="usage_source in the run configuration must be 'count' or 'provider'"):
        cogsift.qorCogsift().invoke(AIMessage(content="x"), make_config(usage_source="providers"))
    with pytest.raises(TypeError, match="usage_source"):
        cogsift.qorCogsift().invoke(AIMessage(content="x"), make_config(configurable={"usage_source": True}))
