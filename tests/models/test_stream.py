"""Streaming split through the three entry points (qorCogsift.transform and
atransform, the module-level atransform): the documented streams, the flush
that no longer rewrites an emitted chunk, pass-through chunks, the usage
step and its place, early stops, failures, and real LangChain chains."""
import asyncio

import pytest
import tiktoken
from langchain_core.language_models.fake_chat_models import FakeListChatModel
from langchain_core.messages import AIMessage, AIMessageChunk
from langchain_core.prompts import ChatPromptTemplate

from community.models import cogsift
from utils import dbs

from .conftest import make_config, stored

ENC = tiktoken.get_encoding("cl100k_base")
PARSER = cogsift.qorCogsift()


async def aiter_of(items):
    for item in items:
        await asyncio.sleep(0)  # a real suspension between chunks
        yield item


def run(entry, chunks, config=None):
    """Items of one stream, each as (item, content, reasoning_content) when it arrived."""
    config = make_config() if config is None else config
    if entry == "transform":
        return [(c, c.content, c.reasoning_content) for c in PARSER.transform(iter(chunks), config)]
    if entry == "module":
        return [(c, c.content, c.reasoning_content) for c in cogsift.atransform(chunks)]

    async def drain():
        return [(c, c.content, c.reasoning_content) async for c in PARSER.atransform(aiter_of(chunks), config)]
    return asyncio.run(drain())


ENTRIES = ["transform", "atransform", "module"]
P = object()  # marks a pass-through chunk (it arrives with reasoning_content)


def make_chunks(layout):
    out = []
    for piece in layout:
        if isinstance(piece, tuple):  # (P, content, reasoning)
            out.append(AIMessageChunk(content=piece[1], reasoning_content=piece[2]))
        else:
            out.append(AIMessageChunk(content=piece))
    return out


# (chunks, emitted): each emission is (index of the chunk, content, reasoning, emitted again as a copy)
CASES = {
    "cut-tags": (["<thin", "k>abc</t", "hink>xyz"], [(1, "", "abc", False), (2, "xyz", "", False)]),
    "plain": (["Hello", " world"], [(0, "Hello", "", False), (1, " world", "", False)]),
    "one-block": (["<think>plan</think>answer"], [(0, "answer", "plan", False)]),
    "all-blocks": (["<think>a</think>b<think>c</think>d"], [(0, "bd", "ac", False)]),
    "nested-open": (["<think>x<think>y</think>z"], [(0, "z", "x<think>y", False)]),
    "close-only": (["abc</think>def"], [(0, "abc</think>def", "", False)]),
    "held-tail": (["abc<th"], [(0, "abc", "", False), (0, "<th", "", True)]),
    "unfinished-close": (["<think>abc", "</th"], [(0, "", "abc", False), (1, "", "</th", False)]),
    "lt-in-reasoning": (["<think>a < b", " so c", "</think>done"], [(0, "", "a ", False), (2, "done", "< b so c", False)]),
    "lt-in-answer": (["x < y", " and z", "!"], [(0, "x ", "", False), (2, "< y and z!", "", False)]),
    "markup": (["<b>bold", "</b> text"], [(0, "<b>bold", "", False), (1, "</b> text", "", False)]),
    "longer-prefix": (["a<b c<th"], [(0, "a<b c", "", False), (0, "<th", "", True)]),
    "tie": (["a<t b<t"], [(0, "a", "", False), (0, "<t b<t", "", True)]),
    "empty-blocks": (["<think></think><think>"], [(0, "", "", False)]),
    "pass-through-between": (["<think>ab", (P, "", "r"), "c</think>d"],
                             [(0, "", "ab", False), (1, "", "r", False), (2, "d", "c", False)]),
    "all-pass-through": ([(P, "<think>a", ""), (P, "</think>", "b")], [(0, "<think>a", "", False), (1, "</think>", "b", False)]),
    "flush-onto-pass-through": (["x<th", (P, "p", "q")],
                                [(0, "x", "", False), (1, "p", "q", False), (1, "<th", "", True)]),
    "demo": (["<think>", "124", "<thin", "k>", "<", "sup>", "1", "<", "/", "sup>", "223", "<", "/t", "hin", "k", ">",
              "你好", "。"],
             [(1, "", "124", False), (8, "", "<think><sup>1", False), (12, "", "</sup>223", False),
              (16, "你好", "", False), (17, "。", "", False)]),
    "empty": ([], []),
}


@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("name", CASES)
def test_documented_streams(name, entry, memory_store):
    layout, expected = CASES[name]
    chunks = make_chunks(layout)
    before = [(c.content, getattr(c, "reasoning_content", None)) for c in chunks]
    got = run(entry, chunks)
    assert len(got) == len(expected)
    for (item, content, think), (index, want_content, want_think, copied) in zip(got, expected):
        assert (content, think) == (want_content, want_think)
        if copied:  # the flush of an emitted chunk: a copy; what was emitted stays as it was
            assert item is not chunks[index] and item.id == chunks[index].id and type(item) is type(chunks[index])
        else:
            assert item is chunks[index]
    last_seen = {}
    for item, content, think in got:
        if any(item is c for c in chunks):
            last_seen[id(item)] = (content, think)
    for chunk, original in zip(chunks, before):
        assert (chunk.content, getattr(chunk, "reasoning_content", None)) == last_seen.get(id(chunk), original)


@pytest.mark.parametrize("entry", ["transform", "atransform"])
def test_usage_after_the_last_item(entry, store):
    chunks = make_chunks(["<think>ab", (P, "", "r"), (P, "pc", "ignored"), "c</think>d<"])
    config = make_config(prompt="count me")
    if entry == "transform":
        stream = PARSER.transform(iter(chunks), config)
        items = [next(stream) for _ in range(5)]  # the last one is the flush of "<"
        assert stored() is None  # not before the consumer asks past the last item
        assert list(stream) == [] and items[-1].content == "<"
    else:
        assert len(run(entry, chunks, config)) == 5
    answer = "<think>abrpcc</think>d<"  # every text, tags included; reasoning of empty pass-through chunks
    completion = len(ENC.encode(answer))
    assert stored() == {"prompt_tokens": len(ENC.encode("count me")), "completion_tokens": completion,
                        "total_tokens": len(ENC.encode("count me")) + completion}
    run(entry, [], config)  # an empty stream still records its prompt
    assert stored()["prompt_tokens"] == 2 * len(ENC.encode("count me"))
    assert stored()["completion_tokens"] == completion


def test_early_stop_records_nothing(memory_store):
    stream = PARSER.transform(iter(make_chunks(["a", "b"])), make_config())
    assert next(stream).content == "a"
    stream.close()

    async def partial():
        agen = PARSER.atransform(aiter_of(make_chunks(["a", "b"])), make_config())
        assert (await agen.__anext__()).content == "a"
        await agen.aclose()
    asyncio.run(partial())
    for item in PARSER.transform(iter(make_chunks(["a", "b"])), make_config()):
        break
    del item
    assert stored() is None


@pytest.mark.parametrize("entry", ["transform", "atransform"])
@pytest.mark.parametrize("config, chunks, error, emitted_before", [
    (None, ["a"], TypeError, 0),                  # checked at the first request, before reading chunks
    ({"input": 5}, ["a"], TypeError, 0),
    ({"input": {}}, ["a", "b"], KeyError, 2),     # no "metadata": fails in the usage step, after all items
    ({"metadata": {"model_name": "m"}}, ["a"], KeyError, 1),
    (make_config(), [AIMessage(content=["x"])], TypeError, 0),
    (make_config(), [object()], AttributeError, 0),
])
def test_failures_surface_where_they_happen(entry, config, chunks, error, emitted_before, memory_store):
    chunks = [c if not isinstance(c, str) else AIMessageChunk(content=c) for c in chunks]
    received = []

    async def drain(agen):
        async for item in agen:
            received.append(item)

    with pytest.raises(error):
        if entry == "transform":
            stream = PARSER.transform(iter(chunks), config)  # lazy: nothing runs yet
            for item in stream:
                received.append(item)
        else:
            asyncio.run(drain(PARSER.atransform(aiter_of(chunks), config)))
    assert len(received) == emitted_before
    assert dbs.get_redis_data("usage:default_session_id") is None


def test_non_iterable_input():
    with pytest.raises(TypeError):
        next(PARSER.transform(5, make_config()))
    with pytest.raises(TypeError):
        next(cogsift.atransform(5))

    async def first():
        return await PARSER.atransform([AIMessageChunk(content="a")], make_config()).__anext__()
    with pytest.raises(TypeError):
        asyncio.run(first())


class Text(str):
    pass


class Plain:
    def __init__(self, content):
        self.content = content


@pytest.mark.parametrize("make", [Plain, lambda t: Plain(Text(t)), AIMessageChunk])
def test_other_objects_and_text_types(make):
    chunks = [make("<think>\ud83d\ude00 a\ud800<"), make("/think>ok"), make("!")]
    got = [(c.content, c.reasoning_content) for c in cogsift.atransform(chunks)]
    assert got == [("", "\ud83d\ude00 a\ud800"), ("ok", ""), ("!", "")]
    assert all(type(c.content) is str for c in chunks)


CHAIN_OUTPUT = "<think>Let me see: 2 < 3.</think>Yes, <b>two</b> is smaller."


@pytest.fixture
def chain():
    prompt = ChatPromptTemplate.from_messages([("system", "Answer briefly."), ("human", "{question}")])
    # The fake model streams its scripted text one character per chunk.
    return prompt | FakeListChatModel(responses=[CHAIN_OUTPUT]) | cogsift.qorCogsift()


def chain_config(session):
    return {"input": {"session_id": session}, "metadata": {"model_name": "fake", "prompt": "Is 2 < 3?"}}


def test_chain_calls_record_under_their_session(chain, store):
    result = chain.invoke({"question": "Is 2 < 3?"}, config=chain_config("inv"))
    assert (result.content, result.reasoning_content) == ("Yes, <b>two</b> is smaller.", "Let me see: 2 < 3.")
    assert asyncio.run(chain.ainvoke({"question": "q"}, config=chain_config("inv"))).content == result.content
    assert [r.reasoning_content for r in chain.batch([{"question": "a"}, {"question": "b"}],
                                                     config=chain_config("inv"))] == ["Let me see: 2 < 3."] * 2
    assert stored("inv", "fake")["completion_tokens"] == 4 * len(ENC.encode(result.content))

    items = list(chain.stream({"question": "q"}, config=chain_config("str")))

    async def astream():
        return [c async for c in chain.astream({"question": "q"}, config=chain_config("ast"))]
    for session, got in (("str", items), ("ast", asyncio.run(astream()))):
        assert "".join(c.reasoning_content for c in got) == "Let me see: 2 < 3."
        assert "".join(c.content for c in got) == "Yes, <b>two</b> is smaller."
        assert stored(session, "fake")["completion_tokens"] == len(ENC.encode(CHAIN_OUTPUT))
    assert dbs.get_redis_data("usage:default_session_id") is None


def test_demo_prints_the_five_items(capsys):
    cogsift.demo()
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == 5
    for line, (content, think) in zip(lines, [("", "124"), ("", "<think><sup>1"), ("", "</sup>223"),
                                              ("你好", ""), ("。", "")]):
        assert line.startswith(f"content={content!r} ") and line.endswith(f"reasoning_content={think!r}")
