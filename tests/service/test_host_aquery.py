import asyncio
import inspect
import json

import pytest
from langchain_core.documents import Document

from oxa_vector_client.http import models
from utils import dbs
from utils.dbs import aquery, get_collection


def run(coro):
    return asyncio.run(coro)


def doc_ids(hits):
    return [d.metadata["doc_id"] for d, _ in hits]


@pytest.fixture(scope="module")
def vec(corpus_store):
    """Dense and sparse query vectors, as the service would compute them."""
    def make(text):
        return corpus_store.embeddings.embed_query(text), corpus_store.sparse_encoder.encode_query(text)
    return make


def plain_filter(f):
    # What the retrievers hand to aquery.
    return json.loads(f.json().replace("except_", "except"))


def test_aquery_is_a_coroutine_function():
    assert inspect.iscoroutinefunction(aquery)


def test_dense_query_best_first_with_fresh_metadata(corpus_store, vec):
    dense, _ = vec("How do I install the client on Windows?")
    name, vname = corpus_store.collection_name, corpus_store.vector_name
    hits = run(aquery(name, [], dense, vname, 5, None, None))
    assert len(hits) == 5 and all(isinstance(d, Document) for d, _ in hits)
    assert doc_ids(hits)[0] == "install-windows"
    scores = [s for _, s in hits]
    assert scores == sorted(scores, reverse=True)
    first = hits[0][0]
    assert first.page_content.startswith("To install Harbor Sync on Windows")
    first.metadata["score"] = 1.0
    assert len({id(d.metadata) for d, _ in hits}) == 5
    again = run(aquery(name, [], dense, vname, 5, None, None))
    assert "score" not in again[0][0].metadata


def test_dense_score_threshold(corpus_store, vec):
    dense, _ = vec("How do I install the client on Windows?")
    name, vname = corpus_store.collection_name, corpus_store.vector_name
    all_hits = run(aquery(name, [], dense, vname, 40, None, None))
    cut = all_hits[3][1]
    hits = run(aquery(name, [], dense, vname, 40, cut, None))
    assert hits and all(s >= cut for _, s in hits) and len(hits) < len(all_hits)


def test_sparse_query(corpus_store, vec):
    _, sparse = vec("发票在哪里下载")
    hits = run(aquery(corpus_store.collection_name, [], sparse, "bm25", 3, None, None))
    assert doc_ids(hits)[0] == "billing-zh-invoice"


def hybrid_prefetch(store, dense, sparse, k, flt=None):
    # The single-question hybrid shape: sparse entry re-ranking a dense
    # candidate pool, then a dense entry.
    kw = k // 2
    return [
        {"prefetch": {"query": dense, "using": store.vector_name, "limit": 1000, "filter": flt},
         "query": sparse, "using": "bm25", "limit": kw},
        {"query": dense, "using": store.vector_name, "limit": k - kw, "score_threshold": None, "filter": flt},
    ]


@pytest.mark.parametrize("k", [1, 2, 5])
def test_hybrid_fusion_with_nested_prefetch(corpus_store, vec, k):
    dense, sparse = vec("How do I install the client on Windows?")
    prefetch = hybrid_prefetch(corpus_store, dense, sparse, k)
    hits = run(aquery(corpus_store.collection_name, prefetch, {"fusion": "rrf"}, None, k, None, None))
    # both sub-searches may find the same passages; fusion merges them
    assert 1 <= len(hits) <= k
    assert doc_ids(hits)[0] == "install-windows"


def test_nested_prefetch_filter_limits_the_candidates(corpus_store, vec):
    dense, sparse = vec("同步 失败 下载 发票 登录")
    billing = plain_filter(models.Filter(must=[
        models.FieldCondition(key="metadata.category", match=models.MatchValue(value="billing"))]))
    prefetch = [{"prefetch": {"query": dense, "using": corpus_store.vector_name, "limit": 1000,
                              "filter": billing},
                 "query": sparse, "using": "bm25", "limit": 5}]
    hits = run(aquery(corpus_store.collection_name, prefetch, {"fusion": "rrf"}, None, 5, None, None))
    assert hits and {d.metadata["category"] for d, _ in hits} == {"billing"}


def test_multi_question_fusion(corpus_store, vec):
    questions = ["How do I install the client on Windows?", "发票在哪里下载"]
    pairs = [vec(q) for q in questions]
    name, vname = corpus_store.collection_name, corpus_store.vector_name
    prefetch = [{"query": d, "using": vname, "limit": 3, "score_threshold": 0.0, "filter": None} for d, _ in pairs]
    prefetch += [{"prefetch": {"query": pairs[-1][0], "using": vname, "limit": 1000, "filter": None},
                  "query": s, "using": "bm25", "limit": 2} for _, s in pairs]
    hits = run(aquery(name, prefetch, {"fusion": "rrf"}, None, 6, 0.9, None))
    ids = doc_ids(hits)
    assert "install-windows" in ids and "billing-zh-invoice" in ids
    assert len(ids) == len(set(ids)) <= 6


def test_nothing_to_search(corpus_store, vec):
    dense, sparse = vec("install")
    name, vname = corpus_store.collection_name, corpus_store.vector_name
    assert run(aquery(name, [], dense, vname, 0, None, None)) == []
    zero = [{"query": sparse, "using": "bm25", "limit": 0}]
    assert run(aquery(name, zero, {"fusion": "rrf"}, None, 3, None, None)) == []


@pytest.mark.parametrize("wrap_negative", [False, True])
def test_recommend_with_single_or_listed_negative(corpus_store, vec, wrap_negative):
    name, vname = corpus_store.collection_name, corpus_store.vector_name
    positive, _ = vec("install the client")
    negative, _ = vec("Linux servers harbor-cli package systemd headless")
    query = {"recommend": {"positive": [positive],
                           "negative": [negative] if wrap_negative else negative,
                           "strategy": "best_score"}}
    hits = run(aquery(name, [], query, vname, 5, None, None))
    plain = run(aquery(name, [], positive, vname, 5, None, None))
    assert len(hits) == 5
    assert "install-linux" in doc_ids(plain) and "install-linux" not in doc_ids(hits)


def test_filters_round_tripped_through_json(corpus_store, vec):
    dense, _ = vec("invoice billing payment")
    name, vname = corpus_store.collection_name, corpus_store.vector_name
    text_filter = models.Filter(must=[
        models.FieldCondition(key="page_content", match=models.MatchText(text="invoice"))])
    hits = run(aquery(name, [], dense, vname, 10, None, plain_filter(text_filter)))
    assert hits and all("invoice" in d.page_content.lower() for d, _ in hits)

    not_zh = models.Filter(must=[
        models.FieldCondition(key="metadata.lang", match=models.MatchExcept(except_=["zh"]))])
    hits = run(aquery(name, [], dense, vname, 10, None, plain_filter(not_zh)))
    assert len(hits) == 10 and {d.metadata["lang"] for d, _ in hits} == {"en"}


def test_keyword_filter_mapping_from_dict(corpus_store, vec):
    # The keyword-filter form: dict() of a filter plus appended text conditions.
    dense, _ = vec("refund")
    f = models.Filter(must=[models.FieldCondition(key="metadata.lang", match=models.MatchExcept(except_=["zh"]))])
    mapping = f.dict()
    mapping["must"].append({"key": "page_content", "match": {"text": "refunded"}})
    hits = run(aquery(corpus_store.collection_name, [], dense, corpus_store.vector_name, 5, None, mapping))
    assert doc_ids(hits) == ["billing-refund"]


@pytest.mark.parametrize("prefetch, query, error", [
    ([], {"foo": 1}, ValueError),
    ([], "a text", TypeError),
    ([], [], ValueError),
    ([], {"fusion": "rrf", "extra": 1}, ValueError),
    ([], {"fusion": "rrf"}, ValueError),
    ([{"query": [0.1], "using": "dense", "limits": 3}], {"fusion": "rrf"}, ValueError),
    (["not a mapping"], {"fusion": "rrf"}, TypeError),
    ([], {"recommend": {"positive": None, "negative": None}}, ValueError),
    ([], {"recommend": {"positive": [[0.1]], "weights": 1}}, ValueError),
    ([], {"indices": [1], "values": [1.0], "x": 0}, ValueError),
])
def test_unknown_query_shapes_are_refused(corpus_store, prefetch, query, error):
    with pytest.raises(error):
        run(aquery(corpus_store.collection_name, prefetch, query, None, 3, None, None))


def test_bad_filter_is_refused(corpus_store, vec):
    dense, _ = vec("install")
    with pytest.raises(TypeError):
        run(aquery(corpus_store.collection_name, [], dense, corpus_store.vector_name, 3, None, "lang=en"))
    with pytest.raises(ValueError):
        run(aquery(corpus_store.collection_name, [], dense, corpus_store.vector_name, 3, None, {"bogus": []}))


def test_concurrent_queries_match_sequential_ones(corpus_store, vec):
    name, vname = corpus_store.collection_name, corpus_store.vector_name
    questions = ["install windows", "同步卡住", "发票", "refund policy", "代理服务器", "two-factor"]
    calls = []
    for q in questions:
        dense, sparse = vec(q)
        calls.append((name, [], dense, vname, 4, None, None))
        calls.append((name, [], sparse, "bm25", 4, None, None))
        calls.append((name, hybrid_prefetch(corpus_store, dense, sparse, 4), {"fusion": "rrf"}, None, 4, None, None))
    sequential = [run(aquery(*c)) for c in calls]

    async def together():
        return await asyncio.gather(*(aquery(*c) for c in calls * 3))

    concurrent = run(together())
    expected = sequential * 3
    assert [doc_ids(h) for h in concurrent] == [doc_ids(h) for h in expected]


def test_get_collection_shape(corpus_store, collection_name):
    params = get_collection(corpus_store.collection_name)["config"]["params"]
    assert params["sparse_vectors"]["bm25"]["modifier"] == "idf"
    assert params["vectors"][corpus_store.vector_name] ["size"] == 256
    assert params["vectors"][corpus_store.vector_name]["distance"] == "Cosine"

    from qdrant_client.http import models as qm
    with dbs.client_session() as client:
        client.create_collection(collection_name, vectors_config={"v": qm.VectorParams(size=4, distance="Cosine")})
    description = get_collection(collection_name)
    assert not description["config"]["params"].get("sparse_vectors")
    description["config"]["params"]["sparse_vectors"] = {"bm25": {}}
    assert not get_collection(collection_name)["config"]["params"].get("sparse_vectors")


def test_server_url_selects_a_remote_client(monkeypatch, vec, corpus_store):
    # Keep the shared embedded client; a fresh one is made from the override.
    monkeypatch.setattr(dbs, "_client", None)
    monkeypatch.setattr(dbs, "_client_embedded", True)
    monkeypatch.setenv("QOR_CONF__service__vector_db__url", '"http://127.0.0.1:9"')
    monkeypatch.setenv("QOR_CONF__service__vector_db__timeout", "2")
    monkeypatch.setenv("QOR_CONF__service__vector_db__check_compatibility", "false")
    assert dbs.is_embedded() is False
    dense, _ = vec("install")
    try:
        with pytest.raises(Exception, match="(?i)connect|refused"):
            run(aquery("anything", [], dense, "dense", 3, None, None))
    finally:
        dbs.get_client().close()
