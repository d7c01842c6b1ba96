import asyncio
import contextvars
import json
import os
import signal
import threading
import time

import pytest
from langchain_core.documents import Document
from qdrant_client.http import models as qm

from oxa_vector_client.http import models
from utils import dbs
from utils.dbs import aquery, get_collection


def run(coro):
    return asyncio.run(coro)


def doc_ids(hits):
    return [d.metadata["doc_id"] for d, _ in hits]


def plain_filter(f):
    # The form the retrievers hand over.
    return json.loads(f.json().replace("except_", "except"))


@pytest.fixture(scope="module")
def kb(corpus_store):
    store = corpus_store

    class KB:
        name, vname = store.collection_name, store.vector_name

        @staticmethod
        def vec(text):
            return store.embeddings.embed_query(text), store.sparse_encoder.encode_query(text)

        @staticmethod
        def hybrid(dense, sparse, k, flt=None):
            # sparse entry re-ranking a dense candidate pool, then a dense entry
            kw = k // 2
            return [
                {"prefetch": {"query": dense, "using": store.vector_name, "limit": 1000, "filter": flt},
                 "query": sparse, "using": "bm25", "limit": kw},
                {"query": dense, "using": store.vector_name, "limit": k - kw, "score_threshold": None,
                 "filter": flt},
            ]
    return KB


def test_dense_query_best_first_threshold_and_fresh_metadata(kb):
    dense, _ = kb.vec("How do I install the client on Windows?")
    hits = run(aquery(kb.name, [], dense, kb.vname, 5, None, None))
    assert len(hits) == 5 and all(isinstance(d, Document) for d, _ in hits)
    assert doc_ids(hits)[0] == "install-windows"
    assert hits[0][0].page_content.startswith("To install Harbor Sync on Windows")
    scores = [s for _, s in hits]
    assert scores == sorted(scores, reverse=True)
    hits[0][0].metadata["score"] = 1.0
    assert len({id(d.metadata) for d, _ in hits}) == 5
    cut = (scores[3] + scores[4]) / 2
    again = run(aquery(kb.name, [], dense, kb.vname, 40, cut, None))
    assert "score" not in again[0][0].metadata
    assert doc_ids(again) == doc_ids(hits)[:4]


def test_sparse_query(kb):
    _, sparse = kb.vec("发票在哪里下载")
    assert doc_ids(run(aquery(kb.name, [], sparse, "bm25", 3, None, None)))[0] == "billing-zh-invoice"


@pytest.mark.parametrize("k", [1, 2, 5])
def test_hybrid_fusion_with_nested_prefetch(kb, k):
    dense, sparse = kb.vec("How do I install the client on Windows?")
    hits = run(aquery(kb.name, kb.hybrid(dense, sparse, k), {"fusion": "rrf"}, None, k, None, None))
    # both sub-searches may find the same passages; fusion merges them
    assert 1 <= len(hits) <= k
    assert doc_ids(hits)[0] == "install-windows"


def test_nested_prefetch_filter_limits_the_candidates(kb):
    dense, sparse = kb.vec("同步 失败 下载 发票 登录")
    billing = plain_filter(models.Filter(must=[
        models.FieldCondition(key="metadata.category", match=models.MatchValue(value="billing"))]))
    prefetch = [{"prefetch": {"query": dense, "using": kb.vname, "limit": 1000, "filter": billing},
                 "query": sparse, "using": "bm25", "limit": 5}]
    hits = run(aquery(kb.name, prefetch, {"fusion": "rrf"}, None, 5, None, None))
    assert hits and {d.metadata["category"] for d, _ in hits} == {"billing"}


def test_multi_question_fusion_ignores_the_similarity_threshold(kb):
    pairs = [kb.vec(q) for q in ("How do I install the client on Windows?", "发票在哪里下载")]
    prefetch = [{"query": d, "using": kb.vname, "limit": 3, "score_threshold": 0.0, "filter": None} for d, _ in pairs]
    prefetch += [{"prefetch": {"query": pairs[-1][0], "using": kb.vname, "limit": 1000, "filter": None},
                  "query": s, "using": "bm25", "limit": 2} for _, s in pairs]
    ids = doc_ids(run(aquery(kb.name, prefetch, {"fusion": "rrf"}, None, 6, 0.9, None)))
    assert "install-windows" in ids and "billing-zh-invoice" in ids
    assert len(ids) == len(set(ids)) <= 6
    # nothing can be found with limit 0
    zero = [{"query": pairs[0][1], "using": "bm25", "limit": 0}]
    assert run(aquery(kb.name, zero, {"fusion": "rrf"}, None, 3, None, None)) == []
    assert run(aquery(kb.name, [], pairs[0][0], kb.vname, 0, None, None)) == []


@pytest.mark.parametrize("wrap_negative", [False, True])
def test_recommend_with_single_or_listed_negative(kb, wrap_negative):
    positive, _ = kb.vec("install the client")
    negative, _ = kb.vec("Linux servers harbor-cli package systemd headless")
    query = {"recommend": {"positive": [positive], "negative": [negative] if wrap_negative else negative,
                           "strategy": "best_score"}}
    hits = run(aquery(kb.name, [], query, kb.vname, 5, None, None))
    plain = run(aquery(kb.name, [], positive, kb.vname, 5, None, None))
    assert len(hits) == 5
    assert "install-linux" in doc_ids(plain) and "install-linux" not in doc_ids(hits)


def test_filters_from_json_and_from_dict(kb):
    dense, _ = kb.vec("invoice billing payment refund")
    text = models.Filter(must=[models.FieldCondition(key="page_content", match=models.MatchText(text="invoice"))])
    hits = run(aquery(kb.name, [], dense, kb.vname, 10, None, plain_filter(text)))
    assert hits and all("invoice" in d.page_content.lower() for d, _ in hits)
    not_zh = models.Filter(must=[models.FieldCondition(key="metadata.lang", match=models.MatchExcept(except_=["zh"]))])
    hits = run(aquery(kb.name, [], dense, kb.vname, 10, None, plain_filter(not_zh)))
    assert len(hits) == 10 and {d.metadata["lang"] for d, _ in hits} == {"en"}
    # the keyword-filter form: dict() of a filter plus appended text conditions
    mapping = not_zh.dict()
    mapping["must"].append({"key": "page_content", "match": {"text": "refunded"}})
    assert doc_ids(run(aquery(kb.name, [], dense, kb.vname, 5, None, mapping))) == ["billing-refund"]


@pytest.mark.parametrize("prefetch, query, flt, error", [
    ([], {"foo": 1}, None, ValueError),
    ([], "a text", None, TypeError),
    ([], [], None, ValueError),
    ([], {"fusion": "rrf", "extra": 1}, None, ValueError),
    ([], {"fusion": "rrf"}, None, ValueError),
    ([{"query": [0.1], "using": "dense", "limits": 3}], {"fusion": "rrf"}, None, ValueError),
    (["not a mapping"], {"fusion": "rrf"}, None, TypeError),
    ([], {"recommend": {"positive": None, "negative": None}}, None, ValueError),
    ([], {"recommend": {"positive": [[0.1]], "weights": 1}}, None, ValueError),
    ([], {"indices": [1], "values": [1.0], "x": 0}, None, ValueError),
    ([], [0.1] * 256, "lang=en", TypeError),
    ([], [0.1] * 256, {"bogus": []}, ValueError),
])
def test_unknown_shapes_are_refused(kb, prefetch, query, flt, error):
    with pytest.raises(error):
        run(aquery(kb.name, prefetch, query, kb.vname, 3, None, flt))


def test_concurrent_queries_match_sequential_ones(kb):
    calls = []
    for q in ["install windows", "同步卡住", "发票", "refund policy", "代理服务器", "two-factor"]:
        dense, sparse = kb.vec(q)
        calls += [(kb.name, [], dense, kb.vname, 4, None, None), (kb.name, [], sparse, "bm25", 4, None, None),
                  (kb.name, kb.hybrid(dense, sparse, 4), {"fusion": "rrf"}, None, 4, None, None)]
    sequential = [doc_ids(run(aquery(*c))) for c in calls]

    async def together():
        return await asyncio.gather(*(aquery(*c) for c in calls * 3))

    assert [doc_ids(h) for h in run(together())] == sequential * 3


def test_get_collection_shape(kb, collection_name):
    params = get_collection(kb.name)["config"]["params"]
    assert params["sparse_vectors"]["bm25"]["modifier"] == "idf"
    assert params["vectors"][kb.vname]["size"] == 256 and params["vectors"][kb.vname]["distance"] == "Cosine"
    with dbs.client_session() as client:
        client.create_collection(collection_name, vectors_config={"v": qm.VectorParams(size=4, distance="Cosine")})
    description = get_collection(collection_name)
    assert not description["config"]["params"].get("sparse_vectors")
    description["config"]["params"]["sparse_vectors"] = {"bm25": {}}
    assert not get_collection(collection_name)["config"]["params"].get("sparse_vectors")


def test_server_url_selects_a_remote_client(monkeypatch, kb):
    # Keep the shared embedded client; a fresh one is made from the override.
    monkeypatch.setattr(dbs, "_client", None)
    monkeypatch.setattr(dbs, "_client_embedded", True)
    monkeypatch.setattr(dbs, "_client_kind", dbs._client_kind)
    for key, value in [("url", '"http://127.0.0.1:9"'), ("timeout", "2"), ("check_compatibility", "false")]:
        monkeypatch.setenv("QOR_CONF__service__vector_db__" + key, value)
    assert dbs.is_embedded() is False
    try:
        with pytest.raises(Exception, match="(?i)connect|refused"):
            run(aquery("anything", [], kb.vec("install")[0], "dense", 3, None, None))
    finally:
        dbs.get_client().close()


@pytest.mark.parametrize("keyword, nested", [("发票", False), ("账单 发票", False), ("同步", True)])
def test_chinese_text_match_finds_words_inside_sentences(kb, keyword, nested):
    from hostkit import load_corpus

    expected = {p["id"] for p in load_corpus() if all(part in p["text"] for part in keyword.split())}
    assert 0 < len(expected) < 10
    dense, _ = kb.vec("发票 invoice")
    cond = models.FieldCondition(key="page_content", match=models.MatchText(text=keyword))
    f = models.Filter(must=[models.Filter(should=[cond])] if nested else [cond])
    hits = run(aquery(kb.name, [], dense, kb.vname, 10, None, plain_filter(f)))
    assert {d.metadata["doc_id"] for d, _ in hits} == expected


def test_queries_share_one_pool_whatever_the_loop(kb):
    """Each asyncio.run has a loop of its own; the database calls still run on
    the same few long-lived threads, and no loop gets a default executor."""
    dense, _ = kb.vec("install")
    names, executors, seen = set(), [], []
    real = dbs._query_points
    request_id = contextvars.ContextVar("request_id")

    def spy(*args):
        names.add(threading.current_thread().name)
        seen.append(request_id.get(None))
        return real(*args)

    async def one():
        request_id.set(len(executors))
        hits = await aquery(kb.name, [], dense, kb.vname, 3, None, None)
        executors.append(asyncio.get_running_loop()._default_executor)
        return doc_ids(hits)

    dbs._query_points = spy
    try:
        before = threading.active_count()
        results = [run(one()) for _ in range(12)]
        assert threading.active_count() <= before + 4
    finally:
        dbs._query_points = real
    assert all(r == results[0] for r in results) and len(results[0]) == 3
    assert executors == [None] * 12
    assert len(names) <= 4 and all(n.startswith("vector-db") for n in names)
    assert seen == list(range(12))  # the caller's context goes with the call


@pytest.mark.integration
def test_forked_child_gets_a_pool_of_its_own(kb):
    dense, _ = kb.vec("install")
    parent = doc_ids(run(aquery(kb.name, [], dense, kb.vname, 3, None, None)))
    time.sleep(0.1)  # the pool's thread is idle and waiting when the fork comes
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:  # the parent's pool threads do not exist here
        try:
            os.close(read)
            signal.alarm(20)  # a child waiting on threads it does not have ends here
            try:
                child = doc_ids(run(aquery(kb.name, [], dense, kb.vname, 3, None, None)))
            except RuntimeError as exc:  # the in-process engine is the parent's alone
                child = str(exc)
            os.write(write, json.dumps(child).encode())
        finally:
            os._exit(0)
    os.close(write)
    with os.fdopen(read) as fh:
        child = json.loads(fh.read() or "null")
    os.waitpid(pid, 0)
    if dbs.client_kind() == "engine":
        assert "forked" in child and doc_ids(run(aquery(kb.name, [], dense, kb.vname, 3, None, None))) == parent
    else:
        assert child == parent


def test_collection_description_cached_until_changed_or_expired(kb, collection_name, monkeypatch):
    calls = []
    real = dbs._describe
    monkeypatch.setattr(dbs, "_describe", lambda name: (calls.append(name), real(name))[1])
    dbs.forget_collections()
    first = get_collection(kb.name)
    assert get_collection(kb.name) == first and calls == [kb.name]
    with dbs.client_session(read_only=True):
        pass
    get_collection(kb.name)
    assert calls == [kb.name]  # a read-only session changes nothing
    with dbs.client_session():
        pass
    get_collection(kb.name)
    assert calls == [kb.name] * 2
    get_collection(kb.name)["config"]["params"].clear()  # each caller has a copy of its own
    assert get_collection(kb.name) == first and calls == [kb.name] * 2
    # A description read while the descriptions are being dropped may predate
    # the change that dropped them: it is handed out but not kept.
    monkeypatch.setattr(dbs, "_describe", lambda name: (calls.append(name), dbs.forget_collections(), real(name))[2])
    dbs.forget_collections()
    assert get_collection(kb.name) == first
    monkeypatch.setattr(dbs, "_describe", lambda name: (calls.append(name), real(name))[1])
    get_collection(kb.name)
    get_collection(kb.name)
    assert calls == [kb.name] * 4
    monkeypatch.setenv("QOR_CONF__service__vector_db__collection_cache_seconds", "0")
    dbs.forget_collections()
    get_collection(kb.name)
    get_collection(kb.name)
    assert calls == [kb.name] * 6


@pytest.mark.parametrize("plain, dropped", [
    ({"must": []}, True),
    ({"must": [], "must_not": [], "should": None, "min_should": None}, True),
    ({"must_not": []}, True),
    ({"should": []}, False),
    ({"must": [{"key": "metadata.lang", "match": {"value": "en"}}]}, False),
])
def test_filter_without_conditions_is_not_sent(kb, plain, dropped):
    dense, _ = kb.vec("install")
    request = dbs.build_query_request([], dense, kb.vname, 5, None, plain)
    assert (request["query_filter"] is None) is dropped
    if dropped:
        assert doc_ids(run(aquery(kb.name, [], dense, kb.vname, 5, None, plain))) == \
            doc_ids(run(aquery(kb.name, [], dense, kb.vname, 5, None, None)))
