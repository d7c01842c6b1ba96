"""What LangChain users meet besides running the parser, each next to the
LangChain class it stands in for: serialization, schemas, the parse entries,
bad configurations, tracing of the model's own run and closed streams."""
import asyncio
import gc
import warnings

import pytest
from langchain_core.callbacks import BaseCallbackHandler
from langchain_core.load import dumps, loads
from langchain_core.messages import AIMessage, AIMessageChunk
from langchain_core.output_parsers import StrOutputParser
from langchain_core.outputs import ChatGeneration, Generation
from langchain_core.prompts import ChatPromptTemplate
from langchain_core.retrievers import BaseRetriever
from pydantic import ValidationError

from community.models import cogsift
from community.retrievers import qor

from .conftest import make_config, stored

PROMPT = ChatPromptTemplate.from_messages([("human", "{question}")])
LOADABLE = {"valid_namespaces": ["community"], "allowed_objects": "core",
            "additional_import_mappings": {tuple(cogsift.qorCogsift.lc_id()): tuple(cogsift.qorCogsift.lc_id())}}


class LangChainRetriever(BaseRetriever):
    def _get_relevant_documents(self, query, *, run_manager):
        return []


@pytest.fixture(autouse=True)
def _quiet_beta_warnings():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        yield


def test_serialization_round_trip_alone_and_in_a_chain():
    for parser in (StrOutputParser(), cogsift.qorCogsift(starts_in_reasoning=True)):
        for value in (parser, PROMPT | parser):
            back = loads(dumps(value), **LOADABLE)
            assert back == value and type(back) is type(value)
    assert dumps(cogsift.qorCogsift()).count('["community", "models", "cogsift", "qorCogsift"]') == 1
    # Only when the caller admits the namespace and the class.
    with pytest.raises(ValueError):
        loads(dumps(cogsift.qorCogsift()), valid_namespaces=["community"], allowed_objects="core")
    assert loads(dumps(cogsift.qorCogsift()), valid_namespaces=["community"],
                 allowed_objects=[cogsift.qorCogsift]) == cogsift.qorCogsift()


def test_retrievers_serialize_as_langchains_own():
    theirs = dumps(LangChainRetriever())
    ours = dumps(qor.ExternalRetriever())
    assert '"type": "not_implemented"' in theirs and '"type": "not_implemented"' in ours
    for text in (theirs, ours):
        with pytest.raises(NotImplementedError):
            loads(text, valid_namespaces=["community"], allowed_objects="all")


def test_schemas_describe_what_goes_in_and_out(memory_store):
    for parser in (StrOutputParser(), cogsift.qorCogsift()):
        message = AIMessage(content="<think>why</think>answer")
        parser.input_schema.model_validate(message)
        parser.output_schema.model_validate(parser.invoke(message, make_config()))
        nodes = list(parser.get_graph().nodes.values())
        assert (nodes[0].data, nodes[-1].data) == (parser.input_schema, parser.output_schema)
        with pytest.raises(TypeError):  # a tool takes text or a dict, not a message
            parser.as_tool(name="t", description="d")
    # Text is no input of ours (invoke refuses it) and no output either.
    parser = cogsift.qorCogsift()
    for schema in (parser.input_schema, parser.output_schema):
        with pytest.raises((ValidationError, TypeError)):  # as LangChain's discriminator refuses it
            schema.model_validate("answer")
        schema.model_validate(AIMessageChunk(content="x"))
    exported = parser.get_output_jsonschema()
    assert "string" not in [s.get("type") for s in exported.get("anyOf", exported.get("oneOf", []))]
    assert {"AIMessage", "AIMessageChunk"} <= set(exported["$defs"])


def test_parse_entries_split_as_invoke_does(memory_store):
    text = "<think>why</think>answer"
    reference = StrOutputParser()
    assert reference.parse_result([ChatGeneration(message=AIMessage(content=text))]) == reference.invoke(
        AIMessage(content=text))
    parser = cogsift.qorCogsift()
    whole = parser.invoke(AIMessage(content=text), make_config())
    message = AIMessage(content=text)
    results = [parser.parse_result([ChatGeneration(message=message)]), parser.parse(text),
               parser.parse_result([Generation(text=text)]),
               asyncio.run(parser.aparse_result([ChatGeneration(message=AIMessage(content=text))])),
               asyncio.run(parser.aparse(text))]
    assert results[0] is message
    for got in results:
        assert (got.content, got.reasoning_content) == (whole.content, whole.reasoning_content) == ("answer", "why")
    assert stored()["completion_tokens"] == 1  # only invoke's call was recorded


@pytest.mark.parametrize("entry", ["invoke", "ainvoke", "transform", "atransform"])
def test_config_that_is_not_a_mapping(entry, memory_store):
    parser = cogsift.qorCogsift()
    message = AIMessageChunk(content="<think>a</think>b")
    for bad in (None, 5, [("input", {})], {"input": "s1"}, {"input": None}, {"metadata": 3},
                {"configurable": 5}, {"configurable": {"input": ["s1"]}}, {"input": {}, "metadata": [("prompt", "q")]}):

        async def source():
            yield message

        async def run():
            if entry == "ainvoke":
                return await parser.ainvoke(message, bad)
            return [c async for c in parser.atransform(source(), bad)]

        with pytest.raises(TypeError, match=r"^config(\[\"\w+\"\])* must be a mapping, not "):
            if entry == "invoke":
                parser.invoke(message, bad)
            elif entry == "transform":
                list(parser.transform(iter([message]), bad))
            else:
                asyncio.run(run())
        assert message.content == "<think>a</think>b" and not hasattr(message, "reasoning_content")


class Ends(BaseCallbackHandler):
    def __init__(self):
        self.events = []

    def on_chain_start(self, serialized, inputs, **kw):
        self.events.append("start")

    def on_chain_end(self, outputs, **kw):
        self.events.append("end")

    def on_chain_error(self, error, **kw):
        self.events.append(type(error).__name__)


@pytest.mark.parametrize("entry", ["transform", "atransform"])
def test_closed_stream_reads_its_source_no_further(entry, memory_store):
    """Closing (or dropping) an unfinished stream closes an endless source where
    it stands; the run is reported ended as LangChain's own closed streams are
    (a synchronous one ends, an asynchronous one ends with an error)."""
    for parser in (StrOutputParser(), cogsift.qorCogsift()):
        reads, closed, handler = [], [], Ends()
        endless = parser.__class__ is cogsift.qorCogsift

        def source():
            try:
                while endless or len(reads) < 5:
                    reads.append(1)
                    yield AIMessageChunk(content="ab")
            finally:
                closed.append(True)

        async def asource():
            for chunk in source():  # released, and so closed, with this one
                yield chunk

        config = make_config(callbacks=[handler])
        if entry == "transform":
            stream = parser.transform(source(), config)
            next(stream), next(stream)
            stream.close()
        else:
            async def run():
                stream = parser.atransform(asource(), config)
                await stream.__anext__(), await stream.__anext__()
                await stream.aclose()
                await asyncio.sleep(0.01)  # ours reports the early end from a task on the loop
            asyncio.run(run())
        gc.collect()
        if endless:
            assert len(reads) <= 3 and closed == [True]
        ended = ["end"] if entry == "transform" else ["GeneratorExit", "CancelledError"]  # LangChain's: the latter
        assert handler.events[0] == "start" and len(handler.events) == 2 and handler.events[1] in ended, parser


@pytest.mark.parametrize("entry", ["transform", "atransform"])
def test_traced_stream_copies_each_text_a_bounded_number_of_times(entry, monkeypatch, memory_store):
    """A traced stream's run records its input and output as the sums of their
    chunks. Adding every chunk to the sum of the ones before it copies the
    text so far once per chunk (the cost per chunk grows with the stream);
    the parser's run copies each character a handful of times, however long
    the stream. Counted as the characters every chunk addition takes in."""
    added = [0]
    add = AIMessageChunk.__add__

    def counting_add(self, other):
        others = other if isinstance(other, (list, tuple)) else [other]
        added[0] += len(self.content) + sum(len(o.content) for o in others if isinstance(o, AIMessageChunk))
        return add(self, other)

    monkeypatch.setattr(AIMessageChunk, "__add__", counting_add)
    text = "<think>" + "why " * 2500 + "</think>" + "answer " * 2500
    chunks = [AIMessageChunk(content=text[i:i + 4]) for i in range(0, len(text), 4)]
    handler = Ends()
    config = make_config(callbacks=[handler])
    parser = cogsift.qorCogsift()
    if entry == "transform":
        out = list(parser.transform(iter(chunks), config))
    else:
        async def source():
            for chunk in chunks:
                yield chunk

        async def run():
            return [c async for c in parser.atransform(source(), config)]
        out = asyncio.run(run())
    assert handler.events == ["start", "end"] and len(out) > 1000
    # Input and output together: 3.8 times the text here; adding one chunk
    # at a time takes in about 1,400 times the text.
    assert 0 < added[0] <= 8 * len(text)
