"""The parser inside LangChain's machinery, through real chains (prompt, a
fake streaming chat model, parser): its own run and events next to
StrOutputParser's, stream chunks that sum to the whole message, reasoning the
chat integration split out, and outputs that begin inside the reasoning."""
import asyncio
import random

import pytest
import tiktoken
from langchain_core.callbacks import BaseCallbackHandler
from langchain_core.language_models.fake_chat_models import FakeListChatModel, GenericFakeChatModel
from langchain_core.messages import AIMessage, AIMessageChunk
from langchain_core.output_parsers import StrOutputParser
from langchain_core.prompts import ChatPromptTemplate

from community.models import cogsift

from .conftest import make_config, stored

ENC = tiktoken.get_encoding("cl100k_base")
PROMPT = ChatPromptTemplate.from_messages([("system", "Answer briefly."), ("human", "{question}")])
OUTPUT = "<think>Compare: 2 < 3.</think>Yes, <b>2</b>."
REASONING, ANSWER = "Compare: 2 < 3.", "Yes, <b>2</b>."


class Recorder(BaseCallbackHandler):
    """Every chain-level callback: (event, name, run_type, run id, parent id, payload)."""

    def __init__(self):
        self.events = []

    def on_chain_start(self, serialized, inputs, *, run_id, parent_run_id=None, **kw):
        self.events.append(("start", kw.get("name"), kw.get("run_type"), run_id, parent_run_id, inputs))

    def on_chain_end(self, outputs, *, run_id, parent_run_id=None, **kw):
        self.events.append(("end", None, None, run_id, parent_run_id, outputs))

    def on_chain_error(self, error, *, run_id, parent_run_id=None, **kw):
        self.events.append(("error", None, None, run_id, parent_run_id, error))

    def of_run(self, name):
        """The events of the one run called `name`, as (event, payload)."""
        starts = [e for e in self.events if e[0] == "start" and e[1] == name]
        assert len(starts) == 1, starts
        run_id = starts[0][3]
        return [(e[0], e[5]) for e in self.events if e[3] == run_id], starts[0]


def chain_of(parser, output=OUTPUT):
    # The fake model streams its scripted text one character per chunk.
    return PROMPT | FakeListChatModel(responses=[output]) | parser


def drive(chain, entry, config):
    """The chain's result: the message for invoke/ainvoke, the list of items for stream/astream."""
    question = {"question": "Is 2 < 3?"}
    if entry == "invoke":
        return chain.invoke(question, config=config)
    if entry == "stream":
        return list(chain.stream(question, config=config))

    async def run():
        if entry == "ainvoke":
            return await chain.ainvoke(question, config=config)
        return [c async for c in chain.astream(question, config=config)]
    return asyncio.run(run())


def total(items):
    full = items[0]
    for item in items[1:]:
        full = full + item
    return full


@pytest.mark.parametrize("entry", ["invoke", "ainvoke", "stream", "astream"])
def test_own_run_like_str_output_parser(entry, memory_store):
    """The parser's run: named, typed and nested as StrOutputParser's; its
    end carries what the chain handed out."""
    runs = {}
    for parser in (StrOutputParser(), cogsift.qorCogsift()):
        recorder = Recorder()
        result = drive(chain_of(parser), entry, make_config(callbacks=[recorder]))
        name = type(parser).__name__
        events, start = recorder.of_run(name)
        chain_start = next(e for e in recorder.events if e[0] == "start" and e[4] is None)
        assert start[2] == "parser" and start[4] == chain_start[3]  # a child of the chain's run
        assert [e for e, _ in events] == ["start", "end"]
        runs[name] = (result, events[-1][1])
    result, output = runs["qorCogsift"]
    if entry in ("invoke", "ainvoke"):
        assert output is result and (result.content, result.reasoning_content) == (ANSWER, REASONING)
    else:
        # The run's output is LangChain's sum of the streamed chunks.
        assert (output.content, output.additional_kwargs["reasoning_content"]) == (ANSWER, REASONING)
        assert "".join(runs["StrOutputParser"][0]) == OUTPUT
    assert stored("s1", "m1")["completion_tokens"] == len(ENC.encode(ANSWER if "invoke" in entry else OUTPUT))


def test_stream_events_v2(memory_store):
    async def events(parser):
        items = []
        async for e in chain_of(parser).astream_events({"question": "q"}, config=make_config(), version="v2"):
            if e["event"].startswith("on_parser"):
                items.append(e)
        return items

    reference = asyncio.run(events(StrOutputParser()))
    got = asyncio.run(events(cogsift.qorCogsift()))
    assert {e["name"] for e in reference} == {"StrOutputParser"} and {e["name"] for e in got} == {"qorCogsift"}
    for evs in (reference, got):
        kinds = [e["event"] for e in evs]
        assert kinds[0] == "on_parser_start" and kinds[-1] == "on_parser_end"
        assert set(kinds[1:-1]) == {"on_parser_stream"}
    streamed = [e["data"]["chunk"] for e in got[1:-1]]
    assert "".join(c.reasoning_content for c in streamed) == REASONING
    assert "".join(c.content for c in streamed) == ANSWER
    end = got[-1]["data"]["output"]
    assert (end.content, end.additional_kwargs["reasoning_content"]) == (ANSWER, REASONING)


@pytest.mark.parametrize("entry", ["invoke", "ainvoke", "transform", "atransform"])
def test_direct_calls_report_their_errors(entry, memory_store):
    """Called directly with callbacks: start, then the error the caller gets.
    A bad configuration fails before the run starts, as it did before."""
    parser = cogsift.qorCogsift()

    def call(config, payload):
        if entry == "invoke":
            return parser.invoke(payload, config)
        if entry == "transform":
            return list(parser.transform(iter([payload]), config))

        async def run():
            if entry == "ainvoke":
                return await parser.ainvoke(payload, config)

            async def source():
                yield payload
            return [c async for c in parser.atransform(source(), config)]
        return asyncio.run(run())

    message = (AIMessage if "invoke" in entry else AIMessageChunk)(content="<think>a</think>b")
    recorder = Recorder()
    with pytest.raises(KeyError, match="metadata"):  # no prompt to count: fails after the split
        call({"callbacks": [recorder]}, message)
    assert [e[0] for e in recorder.events] == ["start", "error"] and isinstance(recorder.events[1][5], KeyError)
    assert (message.content, message.reasoning_content) == ("b", "a")
    for bad in ({"callbacks": [recorder], "input": 5}, {"callbacks": [recorder], "starts_in_reasoning": "yes"}):
        recorder.events.clear()
        with pytest.raises((AttributeError, TypeError)):
            call(bad, AIMessage(content="x") if "invoke" in entry else AIMessageChunk(content="x"))
        assert recorder.events == []
    recorder.events.clear()
    call({**make_config(), "callbacks": [recorder], "run_name": "named"}, message)
    assert [e[:3] for e in recorder.events] == [("start", "named", "parser"), ("end", None, None)]


def cuts(text, rng):
    out, i = [], 0
    while i < len(text):
        step = rng.randint(1, 6)
        out.append(text[i:i + step])
        i += step
    return out


def test_summed_stream_is_the_whole_message(memory_store):
    """Summing the items of random chunkings gives the whole reasoning and
    answer, shown by content_blocks; the flush that lands on an emitted chunk
    adds no second copy of its metadata, usage or reasoning."""
    rng = random.Random(5)
    text = "<think>a < b, so <i>b</i>.</think>Answer: a<b> x <"
    for _ in range(200):
        pieces = cuts(text, rng)
        chunks = [AIMessageChunk(content=p, id="run-1") for p in pieces]
        chunks[-1] = AIMessageChunk(content=pieces[-1], id="run-1", chunk_position="last",
                                    response_metadata={"finish_reason": "stop"},
                                    usage_metadata={"input_tokens": 3, "output_tokens": 9, "total_tokens": 12})
        full = total(list(cogsift.qorCogsift().transform(iter(chunks), make_config())))
        assert (full.content, full.additional_kwargs["reasoning_content"]) == ("Answer: a<b> x <", "a < b, so <i>b</i>.")
        assert full.content_blocks[0] == {"type": "reasoning", "reasoning": "a < b, so <i>b</i>."}
        assert full.response_metadata["finish_reason"] == "stop" and full.usage_metadata["total_tokens"] == 12
    # Through a chain, synchronously and asynchronously.
    for entry in ("stream", "astream"):
        full = total(drive(chain_of(cogsift.qorCogsift()), entry, make_config()))
        assert (full.content, full.additional_kwargs["reasoning_content"]) == (ANSWER, REASONING)
    # An answer without reasoning gets no reasoning block.
    full = total(drive(chain_of(cogsift.qorCogsift(), "plain"), "stream", make_config()))
    assert "reasoning_content" not in full.additional_kwargs and full.content_blocks == [
        {"type": "text", "text": "plain"}]


def integration_chain(content, reasoning):
    """A chat integration that split the reasoning out itself."""
    model = GenericFakeChatModel(messages=iter([AIMessage(content=content, additional_kwargs={
        "reasoning_content": reasoning})]))
    return PROMPT | model | cogsift.qorCogsift()


@pytest.mark.parametrize("entry", ["invoke", "ainvoke", "stream", "astream"])
def test_reasoning_from_the_integration(entry, memory_store):
    result = drive(integration_chain("<think>tags</think>Answer", "given"), entry, make_config())
    if entry in ("invoke", "ainvoke"):
        # The integration's reasoning first, then the block found in content.
        assert (result.content, result.reasoning_content) == ("Answer", "giventags")
        assert result.additional_kwargs["reasoning_content"] == "giventags"
        assert stored()["completion_tokens"] == len(ENC.encode("Answer"))
    else:
        # This model streams the reasoning it split out after the text.
        assert "".join(c.reasoning_content for c in result) == "tagsgiven"
        assert "".join(c.content for c in result) == "Answer"
        full = total(result)
        assert full.additional_kwargs["reasoning_content"] == "tagsgiven"
        assert full.content_blocks[0] == {"type": "reasoning", "reasoning": "tagsgiven"}
        # The stream counts everything the model produced.
        assert stored()["completion_tokens"] == len(ENC.encode("<think>tags</think>Answergiven"))


@pytest.mark.parametrize("entry", ["transform", "atransform"])
def test_integration_reasoning_on_held_chunks_and_odd_values(entry, memory_store):
    """A chunk whose text is all held back still hands on the reasoning it
    brought; a reasoning value that is not text is left alone."""
    chunks = [AIMessageChunk(content="<thi", additional_kwargs={"reasoning_content": "r1"}),
              AIMessageChunk(content="nk>t", additional_kwargs={"reasoning_content": "r2"}),
              AIMessageChunk(content="</think>A", additional_kwargs={"reasoning_content": {"opaque": 1}})]
    parser = cogsift.qorCogsift()
    if entry == "transform":
        items = list(parser.transform(iter(chunks), make_config()))
    else:
        async def source():
            for c in chunks:
                yield c

        async def drain():
            return [c async for c in parser.atransform(source(), make_config())]
        items = asyncio.run(drain())
    assert [(c.content, c.reasoning_content) for c in items] == [("", "r1"), ("", "r2t"), ("A", "")]
    assert [c.additional_kwargs["reasoning_content"] for c in items] == ["r1", "r2t", {"opaque": 1}]


ANSWERS = ["plan</think>answer", "</think>answer", "p<b>lan</think>a <b>c</b>", "plan</th", "plan"]


@pytest.mark.parametrize("text", ANSWERS)
def test_starting_in_reasoning(text, memory_store):
    """With the switch, whole response and stream agree for one closing tag,
    whatever the chunking; per call it overrides the field."""
    rng = random.Random(text)
    closed = "</think>" in text
    want = (text.split("</think>")[1], text.split("</think>")[0]) if closed else None
    on = cogsift.qorCogsift(starts_in_reasoning=True)
    whole = on.invoke(AIMessage(content=text), make_config())
    if closed:
        assert (whole.content, whole.reasoning_content) == want
    else:
        # A whole response without a closing tag keeps its text as the answer.
        assert (whole.content, whole.reasoning_content) == (text, "")
    for _ in range(50):
        items = list(on.transform(iter([AIMessageChunk(content=p) for p in cuts(text, rng)]), make_config()))
        streamed = ("".join(c.content for c in items), "".join(c.reasoning_content for c in items))
        assert streamed == (want if closed else ("", text))
    # Per call, in a chain (where the key travels under "configurable"), both ways round.
    for parser, flag in ((cogsift.qorCogsift(), True), (on, False)):
        chain = chain_of(parser, text)
        config = make_config(starts_in_reasoning=flag)
        full = total(drive(chain, "astream", config))
        message = drive(chain, "invoke", config)
        if flag and closed:
            assert (full.content, full.additional_kwargs.get("reasoning_content", "")) == want
            assert (message.content, message.reasoning_content) == want
        if not flag:  # off: the output as the described parse gives it
            plain = cogsift.qorCogsift().invoke(AIMessage(content=text), make_config())
            assert (message.content, message.reasoning_content) == (plain.content, plain.reasoning_content)


def test_switch_values():
    assert cogsift.qorCogsift().starts_in_reasoning is False
    with pytest.raises(ValueError):
        cogsift.qorCogsift(starts_in_reasoning="yes")
    with pytest.raises(TypeError, match="starts_in_reasoning"):
        cogsift.qorCogsift().invoke(AIMessage(content="x"), make_config(configurable={"starts_in_reasoning": 1}))
