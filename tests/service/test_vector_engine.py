"""The embedded vector database on the in-process engine: the same answers as
the client's local mode up to ties, refusals of nonsense queries, one process
per database directory."""
import asyncio
import subprocess
import sys
import textwrap

import pytest
from qdrant_client import QdrantClient

from community.retrievers import qor
from hostkit import QorVectorStore, index_corpus
from oxa_vector_client.http import models
from utils import dbs

QUESTIONS = [("How do I install the client on Windows?", "发票在哪里下载"), ("同步卡住了怎么办", "refund policy"),
             ("代理服务器 proxy settings", "two-factor login")]


def retrieval_shapes(store, q, q2):
    """(label, retriever, inputs) for every query shape the retrievers send."""
    none = models.Filter(must=[])

    def vector(flt=none, k=4, threshold=None):
        return qor.VectorStoreRetriever(vectorstore=store, post_process_kwargs={},
                                        search_kwargs={"filter": flt, "k": k, "score_threshold": threshold})
    d, s = store.embeddings.embed_query(q), store.sparse_encoder.encode_query(q)
    d2, s2 = store.embeddings.embed_query(q2), store.sparse_encoder.encode_query(q2)
    both = [q, q2]
    not_zh = models.Filter(must=[models.FieldCondition(key="metadata.lang", match=models.MatchExcept(except_=["zh"]))])
    keywords = vector().add_keywords_to_filter({"query": q2, "user_dict": ""}, {"filter": none})
    recommender = qor.VectorStoreRecommender(vectorstore=store, search_kwargs={"filter": none, "k": 4})
    return [
        ("hybrid", vector(), {"query": q, "embedding": d, "bm25": s}),
        ("hybrid multi", vector(), {"query": both, "embedding": [d, d2], "bm25": [s, s2]}),
        ("dense", vector(), {"query": q, "embedding": d}),
        ("dense multi", vector(), {"query": both, "embedding": [d, d2]}),
        ("sparse", vector(), {"query": q, "bm25": s}),
        ("sparse multi", vector(), {"query": both, "bm25": [s, s2]}),
        ("text", vector(), {"query": q}),
        ("text multi", vector(), {"query": both}),
        ("dense, threshold", vector(k=10, threshold=0.2), {"query": q, "embedding": d}),
        ("text, except", vector(not_zh), {"query": q}),
        ("text, keyword filter", vector(models.Filter.model_validate(keywords), k=10), {"query": q2}),
        ("recommend", recommender, {"query": q, "embedding": d, "negative_embedding": d2}),
    ]


def answers(monkeypatch, collection):
    """{(question, shape): [(doc_id, store score), ...]} through the retrievers."""
    raw, real, key = {}, qor.aquery, [None]

    async def recording(*args):
        hits = await real(*args)
        raw[key[0]] = [(d.metadata["doc_id"], score) for d, score in hits]
        return hits

    monkeypatch.setattr(qor, "aquery", recording)
    store = index_corpus(collection_name=collection)
    for q, q2 in QUESTIONS:
        for label, retriever, inputs in retrieval_shapes(store, q, q2):
            key[0] = (q, label)
            retriever.invoke(inputs)
    monkeypatch.setattr(qor, "aquery", real)
    return raw


def tie_groups(hits):
    """Runs of equal scores (to float32 precision): [(score, {ids})]."""
    groups = []
    for doc_id, score in hits:
        if groups and abs(groups[-1][0] - score) <= 1e-4:
            groups[-1][1].add(doc_id)
        else:
            groups.append((score, {doc_id}))
    return groups


def test_every_query_shape_answers_as_the_local_mode_up_to_ties(monkeypatch, collection_name):
    engine = answers(monkeypatch, collection_name)
    monkeypatch.setattr(dbs, "_client", QdrantClient(location=":memory:"))
    monkeypatch.setattr(dbs, "_client_kind", "local")
    dbs.forget_collections()
    try:
        local = answers(monkeypatch, collection_name)
    finally:
        dbs.forget_collections()
    assert engine.keys() == local.keys() and len(engine) == 12 * len(QUESTIONS)
    tied = 0
    for key in engine:
        e, loc = tie_groups(engine[key]), tie_groups(local[key])
        # The same scores in the same order; each run of equal scores holds
        # the same passages, except the last, which the limit may cut.
        assert [len(g) for _, g in e] == [len(g) for _, g in loc], key
        assert all(abs(se - sl) <= 1e-4 for (se, _), (sl, _) in zip(e, loc)), key
        assert [g for _, g in e[:-1]] == [g for _, g in loc[:-1]], key
        tied += [i for i, _ in engine[key]] != [i for i, _ in local[key]]
    assert tied < len(engine) // 2  # ties are the exception, not the rule


@pytest.mark.parametrize("query, prefetch, flt, error, message", [
    (None, [], None, TypeError, "not None"),  # an embedding that came back None
    ([float("inf")] + [0.0] * 255, [], None, ValueError, "not finite"),
    ([float("nan")] * 256, [], None, ValueError, "not finite"),
    ({"indices": [1, 2], "values": [1.0, float("inf")]}, [], None, ValueError, "not finite"),
    ({"indices": [1, 2], "values": [1.0]}, [], None, ValueError, "as many values"),
    ({"fusion": "rrf"}, [{"query": None, "using": "dense", "limit": 3}], None, TypeError, "not None"),
    ([0.1] * 256, [], {"must": [{"should": [{"key": "metadata.lang", "match": {"value": "x%d" % i}}
                                             for i in range(1001)]}]}, ValueError, "more than 1000 conditions"),
])
def test_aquery_refuses_queries_that_are_not_finite_vectors_and_huge_filters(
        corpus_store, query, prefetch, flt, error, message):
    using = None if prefetch else ("bm25" if isinstance(query, dict) else corpus_store.vector_name)
    with pytest.raises(error, match=message):
        asyncio.run(dbs.aquery(corpus_store.collection_name, prefetch, query, using, 3, None, flt))


def test_langchain_retriever_runs_over_the_engine_store(collection_name):
    store = QorVectorStore(collection_name=collection_name)
    ids = store.add_texts(["the proxy server settings", "发票在账单页面下载", "sign in with two-factor"],
                          metadatas=[{"n": 1}, {"n": 2}, {"n": 3}])
    assert store.count() == 3
    found = store.as_retriever(search_kwargs={"k": 2}).invoke("proxy settings")
    assert [d.metadata["n"] for d in found] == [d.metadata["n"] for d in store.similarity_search("proxy settings", k=2)]
    assert found[0].metadata["n"] == 1
    store.delete([ids[0]])
    assert store.count() == 2 and 1 not in {d.metadata["n"] for d in store.similarity_search("proxy", k=3)}


@pytest.mark.integration
def test_second_process_on_the_same_directory_is_refused_and_the_data_survives(tmp_path):
    script = textwrap.dedent("""
        import sys
        sys.path[:0] = [%r]
        from utils.vector_engine import EngineClient, VectorEngineBusy
        try:
            client = EngineClient(%r)
        except VectorEngineBusy as exc:
            print("busy:", exc)
            sys.exit(0)
        print("count:", client.count("kb").count)
        client.close()
    """) % (str(dbs.__file__).rsplit("/utils/", 1)[0], str(tmp_path))
    from utils.vector_engine import EngineClient

    owner = EngineClient(tmp_path)
    try:
        owner.create_collection("kb", vectors_config={"v": models.VectorParams(size=2, distance="Cosine")})
        owner.upsert("kb", [models.PointStruct(id=i, vector={"v": [1.0, i]}, payload={"i": i}) for i in range(5)])
        other = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
        assert other.returncode == 0 and "busy:" in other.stdout and "one process at a time" in other.stdout
        assert owner.count("kb").count == 5
    finally:
        owner.close()
    after = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert after.stdout.strip() == "count: 5", after.stderr
