"""Checks of the benchmark's own parts: the baselines do the module's work
(plain and compiled alike), the streams are what the figures say they are,
and the per-tenth profile times what it claims to.

    .venv/bin/python -m pytest bench/test_bench.py
"""
import asyncio
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))
import common  # noqa: E402,F401  (sets up sys.path and the tokenizer data)

import cython_build  # noqa: E402
import run  # noqa: E402
import streams  # noqa: E402
from langchain_core.documents import Document  # noqa: E402
from langchain_core.messages import AIMessage, AIMessageChunk, HumanMessage  # noqa: E402


@pytest.fixture(scope="module")
def impl():
    return run.Impl()


def state(chunk):
    return chunk.content, getattr(chunk, "reasoning_content", None)


def test_compiled_copies_are_extension_modules(impl):
    for name, module in impl.cy.items():
        assert module.__name__ == name + "_cy"
        assert Path(module.__file__).suffix == ".so"
        assert not cython_build._stale(name)


@pytest.mark.parametrize("pieces", [
    streams.realistic(3000, seed=5),
    streams.adversarial(500),
    list(streams.bounded(4000, seed=2)),
    ["<thin", "k>abc</t", "hink>xyz", "x < y", "!"],
])
@pytest.mark.parametrize("flavour", ["Python", "Cython"])
def test_literal_split_emits_what_the_module_emits(impl, pieces, flavour):
    lit = dict(impl.both("literal_split"))[flavour]
    module_out = [state(c) for c in impl.cogsift.atransform([AIMessageChunk(content=p) for p in pieces])]
    literal_out = [state(c) for c in lit.literal_transform([AIMessageChunk(content=p) for p in pieces])]
    assert literal_out == module_out


def test_usage_step_of_the_baseline_records_what_the_parser_records(impl):
    pieces = streams.realistic(2000, seed=4)
    with run.quick_usage(impl) as store:
        list(impl.cogsift.qorCogsift().transform([AIMessageChunk(content=p) for p in pieces], run.CONFIG))
        module_record = dict(store.data)
        store.data.clear()
        on_answer = run.usage_step(impl.cy["parser_py"], run.CONFIG)
        list(impl.cy["literal_split"].literal_transform([AIMessageChunk(content=p) for p in pieces], on_answer))
        assert store.data == module_record
        record, = module_record.values()
        assert record["completion_tokens"] == streams.characters(pieces)  # `len` counts the whole text


@pytest.mark.parametrize("flavour", ["Python", "Cython"])
@pytest.mark.parametrize("content", ["<think>a</think>x<think>b</think>y", "pre<think>\nab\n</think>\n\npost",
                                     "<think>never closed", "no tags", streams.response(3000)])
def test_whole_response_baseline_splits_like_the_module(impl, flavour, content):
    usage = {"prompt_tokens": 3}
    config = {"input": {"session_id": "t"}, "metadata": {"model_name": "m"}}
    with run.quick_usage(impl) as store:
        expected = impl.cogsift.qorCogsift().invoke(AIMessage(content=content, usage=usage), config)
        module_store = dict(store.data)
        store.data.clear()
        got = dict(impl.both("parser_py"))[flavour].qorCogsift().invoke(AIMessage(content=content, usage=usage),
                                                                        config)
        assert store.data == module_store
    assert (got.content, got.reasoning_content) == (expected.content, expected.reasoning_content)


@pytest.mark.parametrize("flavour", ["Python", "Cython"])
def test_token_count_baseline_and_reference_texts_agree_with_the_module(impl, flavour):
    history = streams.chat_history(30, seed=9) + [HumanMessage(content=["plain text item", {"input_audio": {}}])]
    module = dict(impl.both("parser_py"))[flavour]
    expected = impl.cogsift.get_input_len(history)
    assert module.get_input_len(history) == expected
    encoder = impl.cogsift.tokenizer
    assert sum(len(encoder.encode_ordinary(t)) for t in run.counted_texts(history)) == expected


@pytest.mark.parametrize("flavour", ["Python", "Cython"])
def test_external_response_baseline_matches_the_module(impl, flavour):
    baseline = dict(impl.both("external_py"))[flavour].ExternalResponse()
    retriever = impl.qor.ExternalRetriever(search_kwargs={"kb_id": "kb"})
    body = {"code": "200", "data": [
        {"score": 0.5, "chunk": {"id": "a", "content": "x", "document": {"name": "D"}, "metadata": {"title": "T"}}},
        {"chunk": {}},
        {"score": 0.1, "chunk": {"content": "y", "metadata": None}},  # fails: the pairs before it are kept
        {"score": 0.2}]}
    flat = lambda pairs: [(d.page_content, d.metadata, s) for d, s in pairs]  # noqa: E731
    assert flat(baseline._parse_external_response(body)) == flat(retriever._parse_external_response(body))
    assert baseline._parse_external_response({"code": 200}) == retriever._parse_external_response({"code": 200}) == []
    pairs = lambda: [(Document(page_content="p", metadata={"source_type": "x"}), 0.3)]  # noqa: E731
    assert [d.metadata for d in baseline.post_process(pairs())] == \
        [d.metadata for d in retriever.post_process(pairs())]


def test_retriever_baseline_dispatches_like_the_module(impl):
    import retrieval_dispatch as rd
    from hostkit.vectorstore import QorVectorStore

    calls = []

    async def aquery(*args):
        calls.append(args)
        return [(Document(page_content="d%d" % i, metadata={}), 1.0) for i in range(3)]

    modules = [impl.qor, impl.py["retrievers_py"], impl.cy["retrievers_py"]]
    for m in modules:
        m.aquery, m.get_collection = aquery, rd.get_collection
    store = QorVectorStore(create=False)
    inputs = [{"query": "q", "embedding": [0.1, 0.2]},
              {"query": "q", "embedding": [0.1, 0.2], "bm25": {"indices": [1], "values": [1.0]}}]
    results = []
    for m in modules:
        retriever = rd.build(m.VectorStoreRetriever, store)
        docs = [asyncio.run(retriever._aget_relevant_documents(i)) for i in inputs]
        results.append([[d.metadata["score"] for d in r] for r in docs])
    assert results[0] == results[1] == results[2]
    assert len(calls) == 6 and calls[0:2] == calls[2:4] == calls[4:6]  # the same aquery calls from all three


@pytest.mark.parametrize("length", [0, 1, 9, 10, 4001])
def test_adversarial_stream_shape(length):
    pieces = streams.adversarial(length, seed=3)
    text = "".join(pieces)
    assert len(text) == length + 7 and text.startswith("<think>")
    assert all(len(p) == 4 for p in pieces[:-1])
    assert "</think>" not in text
    assert list(streams.adversarial_lazy(length, seed=3)) == pieces


def test_realistic_stream_has_reasoning_with_comparisons_then_an_answer():
    pieces = streams.realistic(25000)
    text = "".join(pieces)
    assert abs(len(text) - 25015) <= 1
    reasoning, answer = text[len("<think>"):].split("</think>")
    assert len(reasoning) == 20000 and "<" in reasoning and "<" not in reasoning[:100]
    assert "<b>" in answer
    assert {len(p) for p in pieces[:-1]} <= set(range(1, 9))


def test_bounded_stream_holds_back_at_most_one_block(impl):
    held = run.held_maximum(impl.cy["literal_split"], streams.bounded(60000, seed=6, block=500))
    assert 0 < held <= 510


def test_tenths_profile_times_each_tenth_of_the_chunks(impl):
    seen = []

    def fn(chunks):
        for i, chunk in enumerate(chunks):
            seen.append(chunk.content)
            if i < 10:  # the first tenth is dearer
                for _ in range(20000):
                    pass
            yield chunk

    pieces = [str(i) for i in range(100)]
    profile = run.tenths_profile(fn, pieces, 2)
    assert seen == pieces * 3  # every chunk, in order, in each of the three runs
    assert profile[0].median > 20 * max(p.median for p in profile[1:])
