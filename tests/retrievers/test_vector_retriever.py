"""VectorStoreRetriever: the single store call of each query shape, scoring, and
LangChain's calling conventions. The store is observed through the module's
own bindings of the service functions."""
import asyncio
import inspect
import json
import signal
import sys
from typing import ClassVar

import pydantic
import pytest
from langchain_core.documents import Document
from langchain_core.retrievers import BaseRetriever

from community.retrievers import qor
from oxa_vector_client.http import models

from .conftest import StubStore, make_filter

DENSE, DENSE2 = [0.1, 0.2], [0.3, 0.4]
SPARSE, SPARSE2 = {"indices": [1], "values": [1.0]}, {"indices": [2], "values": [0.5]}
FILTER = json.loads(make_filter().json())
FUSION = {"fusion": "rrf"}


def rank(r, k):
    """Score of rank r among k results, accumulated from rank k upwards."""
    total = 0
    for j in range(k, r - 1, -1):
        total = total + 1 / (j + 60)
    return total


def hybrid_sparse(dense, sparse, limit):
    return {"prefetch": {"query": dense, "using": "dense", "limit": 1000, "filter": FILTER},
            "query": sparse, "using": "bm25", "limit": limit}


def dense_entry(vector, limit):
    return {"query": vector, "using": "dense", "limit": limit, "score_threshold": 0.2, "filter": FILTER}


@pytest.mark.parametrize(
    "inputs, expected",
    [
        pytest.param({"query": "q", "embedding": DENSE, "bm25": SPARSE},
                     ([hybrid_sparse(DENSE, SPARSE, 2), dense_entry(DENSE, 3)], FUSION, None, 5, None, None),
                     id="hybrid-single"),
        pytest.param({"query": ["a", "b"], "embedding": [DENSE, DENSE2], "bm25": [SPARSE, SPARSE2]},
                     ([dense_entry(DENSE, 3), dense_entry(DENSE2, 3),
                       hybrid_sparse(DENSE2, SPARSE, 2), hybrid_sparse(DENSE2, SPARSE2, 2)],
                      FUSION, None, 5, None, None),
                     id="hybrid-multi"),
        pytest.param({"query": "q", "embedding": DENSE},
                     ([], DENSE, "dense", 5, 0.2, FILTER), id="dense-single"),
        pytest.param({"query": ["a", "b"], "embedding": [DENSE, DENSE2]},
                     ([dense_entry(DENSE, 5), dense_entry(DENSE2, 5)], FUSION, None, 5, 0.2, FILTER),
                     id="dense-multi"),
        pytest.param({"query": "q", "bm25": SPARSE, "embedding": []},
                     ([], SPARSE, "bm25", 5, 0.2, FILTER), id="sparse-single-empty-embedding"),
        pytest.param({"query": ["a", "b"], "bm25": [SPARSE, SPARSE2]},
                     ([{"query": SPARSE, "using": "bm25", "limit": 5, "filter": FILTER},
                       {"query": SPARSE2, "using": "bm25", "limit": 5, "filter": FILTER}],
                      FUSION, None, 5, 0.2, FILTER),
                     id="sparse-multi"),
        pytest.param({"query": "q"}, ([], [1.0, 1.0], "dense", 5, 0.2, FILTER), id="text-single"),
        pytest.param({"query": ["ab", "abc"]},
                     ([dense_entry([2.0, 1.0], 5), dense_entry([3.0, 1.0], 5)], FUSION, None, 5, 0.2, FILTER),
                     id="text-multi"),
        pytest.param({"query": ("ab", "c"), "embedding": None, "bm25": None},
                     ([], [2.0, 1.0], "dense", 5, 0.2, FILTER), id="text-tuple-is-one-question"),
    ],
)
def test_one_store_call_per_query_shape(retriever, store, inputs, expected):
    docs = retriever.invoke(inputs)
    assert store.only_call == ("kb", *expected)
    assert store.collections == ["kb"]
    assert [d.page_content for d in docs] == ["doc0", "doc1", "doc2"]


def test_tuple_question_is_embedded_as_it_is(retriever, store):
    retriever.invoke({"query": ("ab", "c")})
    assert retriever.vectorstore.embeddings.seen == [("ab", "c")]


@pytest.mark.parametrize("sparse_vectors", [None, (), ("splade",)])
def test_both_vectors_without_a_bm25_collection_fall_back_to_text(retriever, store, sparse_vectors):
    store.sparse_vectors = sparse_vectors
    retriever.invoke({"query": "abcd", "embedding": DENSE, "bm25": SPARSE})
    assert store.only_call == ("kb", [], [4.0, 1.0], "dense", 5, 0.2, FILTER)
    assert retriever.vectorstore.embeddings.seen == ["abcd"]


@pytest.mark.parametrize("k, sparse_limit, dense_limit", [(5, 2, 3), (1, 0, 1), (4, 2, 2)])
def test_hybrid_splits_k_between_sparse_and_dense(retriever, store, k, sparse_limit, dense_limit):
    retriever.search_kwargs["k"] = k
    store.hits = 0
    retriever.invoke({"query": "q", "embedding": DENSE, "bm25": SPARSE})
    prefetch = store.only_call[1]
    assert [e["limit"] for e in prefetch] == [sparse_limit, dense_limit]
    assert store.only_call[4] == k


def test_filter_except_key_is_renamed_at_any_depth_and_values_are_kept(store):
    flt = models.Filter(must=[
        models.FieldCondition(key="metadata.tag", match=models.MatchExcept(**{"except": ["a", "b"]})),
        models.FieldCondition(key="metadata.note", match=models.MatchValue(value="keep_except_this")),
    ], must_not=[models.Filter(should=[
        models.FieldCondition(key="except_", match=models.MatchExcept(**{"except": ["x_except_", "except_"]})),
    ])])
    r = qor.VectorStoreRetriever(vectorstore=StubStore(), search_kwargs={"filter": flt, "k": 3, "score_threshold": None},
                                 post_process_kwargs={})
    r.invoke({"query": "q", "embedding": DENSE})
    sent = store.only_call[6]
    assert sent["must"][0]["match"] == {"except": ["a", "b"]}
    assert sent["must"][1]["match"]["value"] == "keep_except_this"
    nested = sent["must_not"][0]["should"][0]
    assert nested["key"] == "except_" and nested["match"] == {"except": ["x_except_", "except_"]}
    assert list(sent["must"][0]) == list(flt.must[0].model_dump())  # key order kept
    assert models.Filter.model_validate(sent).must[0].match.except_ == ["a", "b"]


def test_search_kwargs_are_copied_per_retrieval(retriever, store):
    retriever.invoke({"query": "q", "embedding": DENSE, "bm25": SPARSE})
    sent_filter = store.only_call[1][1]["filter"]
    sent_filter["must"].clear()
    assert retriever.search_kwargs["filter"].must  # the retriever's own filter is untouched


def test_scores_are_rank_based_and_weighted(retriever, store):
    docs = retriever.invoke({"query": "q", "embedding": DENSE})
    assert [d.metadata for d in docs] == [{"i": i, "score": rank(i + 1, 5) * 0.5} for i in range(3)]


def test_hybrid_scores_with_unit_weight_and_keeps_the_configured_weight(retriever, store):
    hybrid = retriever.invoke({"query": "q", "embedding": DENSE, "bm25": SPARSE})
    assert [d.metadata["score"] for d in hybrid] == [rank(r, 5) for r in (1, 2, 3)]
    assert retriever.post_process_kwargs == {"weight": 0.5}
    dense = retriever.invoke({"query": "q", "embedding": DENSE})
    assert [d.metadata["score"] for d in dense] == [rank(r, 5) * 0.5 for r in (1, 2, 3)]


def test_concurrent_hybrid_and_dense_retrievals_keep_their_weights(retriever, store):
    async def main():
        return await asyncio.gather(*[
            retriever.ainvoke({"query": "q", "embedding": DENSE, **({"bm25": SPARSE} if i % 2 else {})})
            for i in range(10)
        ])

    for i, docs in enumerate(asyncio.run(main())):
        assert docs[0].metadata["score"] == rank(1, 5) * (1.0 if i % 2 else 0.5)


@pytest.mark.parametrize("missing", ["filter", "k", "score_threshold"])
def test_missing_search_option_is_a_key_error(retriever, store, missing, monkeypatch):
    del retriever.search_kwargs[missing]
    with pytest.raises(KeyError) as info:
        retriever.invoke({"query": "q", "embedding": DENSE})
    assert info.value.args == (missing,)
    assert store.calls == []


def test_missing_question_is_a_key_error(retriever, store):
    with pytest.raises(KeyError, match="query"):
        retriever.invoke({"embedding": DENSE, "bm25": SPARSE})


def test_store_errors_pass_through_unchanged(retriever, store):
    store.error = ConnectionError("store down")
    with pytest.raises(ConnectionError) as info:
        retriever.invoke({"query": "q", "embedding": DENSE})
    assert info.value is store.error
    with pytest.raises(ConnectionError) as info:
        asyncio.run(retriever.ainvoke({"query": "q", "embedding": DENSE}))
    assert info.value is store.error


def test_search_type_changed_after_construction_is_refused_before_any_call(retriever, store):
    retriever.search_type = "similarity"
    with pytest.raises(ValueError) as info:
        retriever.invoke({"query": "q"})
    assert str(info.value) == "search_type of similarity not allowed."
    assert store.calls == [] and store.collections == []


def test_construction_and_search_type_validation():
    store = StubStore()
    r = qor.VectorStoreRetriever(vectorstore=store, post_process_kwargs={})
    assert r.search_type == "qor_search" and r.search_kwargs == {}
    assert qor.VectorStoreRetriever(vectorstore=store, search_type="qor_search", post_process_kwargs={})
    with pytest.raises(pydantic.ValidationError, match="search_type of similarity not allowed"):
        qor.VectorStoreRetriever(vectorstore=store, search_type="similarity", post_process_kwargs={})
    with pytest.raises(pydantic.ValidationError, match="post_process_kwargs"):
        qor.VectorStoreRetriever(vectorstore=store)


def test_class_shape_as_langchain_sees_it():
    V = qor.VectorStoreRetriever
    assert V.__mro__[1].__module__ == "langchain_core.vectorstores.base"
    assert issubclass(V, BaseRetriever)
    assert V.__doc__ == "Base Retriever class for VectorStore."
    assert V.allowed_search_types == ("qor_search",) and "allowed_search_types" not in V.model_fields
    assert V.model_fields["search_type"].default == "qor_search"
    assert V.model_fields["post_process_kwargs"].is_required()
    assert list(inspect.signature(V._get_relevant_documents).parameters) == ["self", "inputs"]
    assert list(inspect.signature(V.post_process).parameters) == ["self", "docs_and_similarities"]
    assert list(inspect.signature(V.add_keywords_to_filter).parameters) == ["self", "inputs", "search_kwargs"]
    assert V._new_arg_supported is False  # LangChain passes the input mapping alone
    assert asyncio.iscoroutinefunction(V._aget_relevant_documents)


def test_langchain_entry_points(retriever, store):
    inputs = [{"query": "q", "embedding": DENSE}, {"query": "r", "bm25": SPARSE}]
    assert [len(d) for d in retriever.batch(inputs)] == [3, 3]
    assert [len(d) for d in asyncio.run(retriever.abatch(inputs))] == [3, 3]
    assert len(asyncio.run(retriever.ainvoke(inputs[0]))) == 3
    assert len(store.calls) == 5


def test_sync_entry_works_inside_a_running_loop(retriever, store):
    async def main():
        return retriever._get_relevant_documents({"query": "q"})

    assert [d.page_content for d in asyncio.run(main())] == ["doc0", "doc1", "doc2"]
    assert len(store.calls) == 1


class ReprCounting(Document):
    reprs: ClassVar[list] = []

    def __repr__(self):
        ReprCounting.reprs.append(self.page_content)
        return super().__repr__()


@pytest.mark.parametrize("case", ["result", "error", "sigint", "loop state"])
def test_sync_entry_runs_as_asyncio_run_does(retriever, store, monkeypatch, case):
    """A new loop per call, closed afterwards and not left current; errors as
    raised; Ctrl-C ends as KeyboardInterrupt (cancelling the retrieval where
    the running version's asyncio.run does); the documents are handed back
    without ever being formatted."""
    loops, seen = [], []

    async def aquery(*args):
        loops.append(asyncio.get_running_loop())
        if case == "error":
            raise LookupError("store down")
        if case == "sigint":
            signal.raise_signal(signal.SIGINT)
            try:
                await asyncio.sleep(5)
            except asyncio.CancelledError:
                seen.append("cancelled")
                raise
        return [(ReprCounting(page_content=f"doc{i}"), 0.5) for i in range(3)]

    monkeypatch.setattr(qor, "aquery", aquery)
    ReprCounting.reprs.clear()
    inputs = {"query": "q", "embedding": DENSE}
    if case == "result":
        docs = retriever.invoke(inputs)
        assert [d.page_content for d in docs] == ["doc0", "doc1", "doc2"]
        assert all(type(d) is ReprCounting for d in docs) and ReprCounting.reprs == []
    elif case == "error":
        with pytest.raises(LookupError, match="store down"):
            retriever.invoke(inputs)
    elif case == "sigint":
        with pytest.raises(KeyboardInterrupt):
            retriever.invoke(inputs)
        # From 3.11 asyncio.run cancels the main task on Ctrl-C; before, the
        # KeyboardInterrupt is raised where the signal lands (in aquery).
        assert seen == (["cancelled"] if sys.version_info >= (3, 11) else [])
        assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
    else:
        retriever.invoke(inputs)
        retriever.invoke(inputs)
        assert loops[0] is not loops[1] and all(loop.is_closed() for loop in loops)
        with pytest.raises(RuntimeError):
            asyncio.get_running_loop()


# --- post_process ---------------------------------------------------------------


def pairs(n):
    from langchain_core.documents import Document
    return [(Document(page_content=str(i)), 0.0) for i in range(n)]


def test_post_process_empty_and_full_tables(retriever):
    empty = []
    out = retriever.post_process(empty)
    assert out == [] and out is not empty
    docs = retriever.post_process(pairs(5))
    assert docs[-1].metadata["score"] == pytest.approx(1 / 65 * 0.5)
    assert docs[0].metadata["score"] == max(d.metadata["score"] for d in docs)


def test_post_process_keeps_input_order_and_mutates_in_place(retriever):
    given = [(doc, score) for (doc, _), score in zip(pairs(3), [0.1, 0.9, 0.5])]
    docs = retriever.post_process(given)
    assert [d is g for d, (g, _) in zip(docs, given)] == [True] * 3
    assert [d.page_content for d in docs] == ["0", "1", "2"]


def test_post_process_more_hits_than_k_fails_after_stamping_the_ranks_it_has(retriever):
    given = pairs(6)
    with pytest.raises(KeyError) as info:
        retriever.post_process(given)
    assert info.value.args == (6,)
    assert [d.metadata.get("score") is not None for d, _ in given] == [True] * 5 + [False]


def test_post_process_weight_default_and_bad_inputs(retriever):
    retriever.post_process_kwargs = {}
    assert retriever.post_process(pairs(1))[0].metadata["score"] == rank(1, 5)
    retriever.post_process_kwargs = {"weight": 2}
    assert retriever.post_process(pairs(1))[0].metadata["score"] == rank(1, 5) * 2
    retriever.post_process_kwargs = {"weight": "x"}
    with pytest.raises(TypeError):
        retriever.post_process(pairs(1))
    with pytest.raises(ValueError, match="not enough values to unpack"):
        retriever.post_process([(1,)])
    with pytest.raises(TypeError, match="cannot unpack non-iterable int object"):
        retriever.post_process([1])


def test_post_process_override_in_subclass_is_used(store):
    class Custom(qor.VectorStoreRetriever):
        def post_process(self, docs_and_similarities):
            return [doc for doc, _ in docs_and_similarities][:1]

    r = Custom(vectorstore=StubStore(), search_kwargs={"filter": make_filter(), "k": 5, "score_threshold": 0.0},
               post_process_kwargs={})
    assert len(r.invoke({"query": "q", "embedding": DENSE, "bm25": SPARSE})) == 1
    assert len(r.invoke({"query": "q", "embedding": DENSE})) == 1


# --- rank table -----------------------------------------------------------------


def test_rank_table_values_and_order():
    for k in (1, 2, 5, 10, 37):
        table = qor.get_rrf_dict(k)
        assert list(table) == list(range(k, 0, -1))
        assert all(table[r] == rank(r, k) for r in table)  # exact, bit for bit
        assert all(table[r] > table[r + 1] for r in range(1, k))
    assert qor.get_rrf_dict(1) == {1: 1 / 61}
    assert qor.get_rrf_dict(0) == {} and qor.get_rrf_dict(-3) == {}
    assert round(qor.get_rrf_dict(10)[1], 5) == 0.15297


def test_rank_table_cache_semantics():
    qor.get_rrf_dict.cache_clear()
    with pytest.raises(TypeError, match="'float' object cannot be interpreted as an integer"):
        qor.get_rrf_dict(5.0)
    table = qor.get_rrf_dict(5)
    assert qor.get_rrf_dict(5) is table and qor.get_rrf_dict(5.0) is table
    with pytest.raises(TypeError, match="unhashable"):
        qor.get_rrf_dict([5])
    for k in range(100, 100 + 128):
        qor.get_rrf_dict(k)
    assert qor.get_rrf_dict.cache_info().currsize == 128
    assert qor.get_rrf_dict(5) is not table  # the least recently used entry was dropped
    assert list(inspect.signature(qor.get_rrf_dict).parameters) == ["k"]


def test_retrieval_paths_keep_reference_counts_exact(retriever, store):
    import sys

    store.hits = 2
    dense, sparse = [0.5, 0.5], {"indices": [3], "values": [1.0]}
    inputs = {"query": "q", "embedding": dense, "bm25": sparse}
    given = pairs(1)
    doc = given[0][0]
    before = [sys.getrefcount(o) for o in (inputs, dense, sparse, doc, retriever)]

    async def many():
        for i in range(2_000):
            await retriever._aget_relevant_documents(inputs if i % 2 else {"query": "q", "embedding": dense})

    asyncio.run(many())
    post_process = type(retriever).post_process
    for _ in range(100_000):
        post_process(retriever, given)
    store.calls.clear()
    assert [sys.getrefcount(o) for o in (inputs, dense, sparse, doc, retriever)] == before


@pytest.mark.integration
def test_import_without_the_service_modules_fails_with_their_own_error(tmp_path):
    """The module binds the service's names at import, as `from configs import
    get_configs` does, and fails with the interpreter's own error."""
    import os
    import subprocess
    import sys
    from pathlib import Path

    import community.retrievers.qor as tested

    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}  # no service modules on the path
    (tmp_path / "community").symlink_to(Path(tested.__file__).resolve().parents[1])  # the package under test
    (tmp_path / "configs").mkdir()  # a folder, not the service's configuration module
    code = ("import sys; sys.path[:0] = [%r]\n"
            "try:\n    import community.retrievers.qor\n"
            "except ImportError as e:\n    print(type(e).__name__, e)\n") % str(tmp_path)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=tmp_path, env=env,
                         check=True)
    assert out.stdout.strip() == "ImportError cannot import name 'get_configs' from 'configs' (unknown location)"
    (tmp_path / "configs").rmdir()
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=tmp_path, env=env,
                         check=True)
    assert out.stdout.strip() == "ModuleNotFoundError No module named 'configs'"
