"""The knowledge-base HTTP service of the stand-ins: the endpoint over the
embedded vector database, its checks, and the external retriever using it."""
import asyncio
import os
import subprocess
import sys
import time
from pathlib import Path

import pytest
import requests

from hostkit.kb_service import KbService

pytestmark = pytest.mark.integration

ROOT = Path(__file__).resolve().parents[2]
KEY = "kb-test-key"


@pytest.fixture(scope="module")
def kb(corpus_store):
    with KbService({"demo": corpus_store, "team/a b": corpus_store}, api_key=KEY) as service:
        yield service


def ask(url, query, top_k=3, threshold=0.03, key=KEY, **extra):
    body = {"query": query, "retrievalStrategy": {"config": {"topK": top_k, "scoreThreshold": threshold}}}
    headers = {} if key is None else {"qor-api-key": key}
    return requests.post(url, json=body, headers=headers, timeout=30, **extra)


def test_answers_in_the_response_format(kb):
    assert kb.url_for("demo") == kb.base_url + "/qor/api/knowledge/knowledge-base/demo/external-retrieve"
    reply = ask(kb.url_for("demo"), "How do I reset my password?")
    assert reply.status_code == 200
    body = reply.json()
    assert body["code"] == "200" and body["message"] == ""
    hits = body["data"]
    assert len(hits) == 3 and [h["score"] for h in hits] == sorted((h["score"] for h in hits), reverse=True)
    top = hits[0]["chunk"]
    assert set(top) == {"id", "content", "document", "metadata"}
    assert top["document"] == {"id": "account-password", "name": top["metadata"]["title"], "type": "md"}
    assert "password" in top["content"].lower() and top["metadata"]["doc_id"] == "account-password"


def test_encoded_kb_id_and_chinese_question(kb):
    assert "team%2Fa%20b" in kb.url_for("team/a b")
    hits = ask(kb.url_for("team/a b"), "同步卡住不动怎么办").json()["data"]
    assert hits[0]["chunk"]["metadata"]["doc_id"] == "trouble-zh-stuck"


@pytest.mark.parametrize("mode", ["hybrid", "dense"])
def test_top_k_and_score_threshold_are_honoured(corpus_store, mode):
    with KbService({"demo": corpus_store}, api_key=None, mode=mode) as service:
        url = service.url_for("demo")
        assert len(ask(url, "install the client", top_k=1, key=None).json()["data"]) == 1
        assert len(ask(url, "install the client", top_k=7, key=None).json()["data"]) == 7
        assert ask(url, "install the client", top_k=5, threshold=0.999, key=None).json()["data"] == []
        loose = ask(url, "install the client", top_k=40, threshold=None, key=None).json()["data"]
        strict = ask(url, "install the client", top_k=40, threshold=0.2, key=None).json()["data"]
        assert 0 < len(strict) < len(loose)
        if mode == "dense":
            assert all(h["score"] >= 0.2 for h in strict)


@pytest.mark.parametrize(
    "send, status, message",
    [
        (lambda kb: ask(kb.url_for("demo"), "q", key="wrong"), 401, "invalid or missing API key"),
        (lambda kb: ask(kb.url_for("demo"), "q", key=None), 401, "invalid or missing API key"),
        (lambda kb: ask(kb.url_for("nope"), "q"), 404, "knowledge base not found: nope"),
        (lambda kb: ask(kb.url_for("demo") + "/more", "q"), 404, "no such endpoint"),
        (lambda kb: ask(kb.base_url + "/qor/api/knowledge/knowledge-base/%FF/external-retrieve", "q"), 400,
         "knowledge-base id is not UTF-8"),
        (lambda kb: requests.get(kb.url_for("demo"), timeout=30), 405, "use POST"),
        (lambda kb: requests.post(kb.url_for("demo"), data=b"{not json", headers={"qor-api-key": KEY}, timeout=30),
         400, None),
        (lambda kb: ask(kb.url_for("demo"), ["q"]), 400, "'query' must be a string"),
        (lambda kb: ask(kb.url_for("demo"), "q", top_k=0), 400, "'topK' must be a positive integer"),
        (lambda kb: ask(kb.url_for("demo"), "q", top_k=True), 400, "'topK' must be a positive integer"),
        (lambda kb: ask(kb.url_for("demo"), "q", threshold="high"), 400, "'scoreThreshold' must be a number or null"),
        (lambda kb: requests.post(kb.url_for("demo"), data=b"x" * (2 << 20), headers={"qor-api-key": KEY},
                                  timeout=30), 413, None),
    ],
)
def test_refusals_carry_status_and_envelope(kb, send, status, message):
    reply = send(kb)
    assert reply.status_code == status
    body = reply.json()
    assert body["code"] == str(status) and body["data"] == []
    if message is not None:
        assert body["message"] == message


def test_key_is_checked_before_the_knowledge_base_is_revealed(kb):
    assert ask(kb.url_for("nope"), "q", key="wrong").status_code == 401


def test_path_template_resolved_like_the_retriever(corpus_store):
    service = KbService({"k1": corpus_store}, api_key=None, path_template="kb/{0}/search", base_path="/base/")
    with service:
        assert service.url_for("k1") == service.base_url + "/base/kb/k1/search"
        assert ask(service.url_for("k1"), "password", key=None).status_code == 200
        assert ask(service.base_url + "/kb/k1/search", "password", key=None).status_code == 404
    with pytest.raises(ValueError, match="exactly one positional placeholder"):
        KbService({}, path_template="/kb/fixed")


def test_blank_question_has_no_hits(kb):
    assert ask(kb.url_for("demo"), "   ").json() == {"code": "200", "message": "", "data": []}


def test_external_retriever_answers_from_the_service(kb, monkeypatch):
    from community.retrievers import qor

    monkeypatch.setenv("QOR_CONF__service__qor_service__qor_host", kb.base_url)
    monkeypatch.setenv("QOR_CONF__service__qor_service__default_token", KEY)
    r = qor.ExternalRetriever(search_kwargs={"kb_id": "demo", "k": 2})
    docs = r.invoke({"query": "How do I reset my password?"})
    assert len(docs) == 2
    top = docs[0].metadata
    assert top["doc_id"] == "account-password" and top["source_type"] == "external"
    assert top["score"] == top["external_score"] and top["title"] == "Resetting your password"
    async_docs = asyncio.run(r.ainvoke({"query": "How do I reset my password?"}))
    assert [d.page_content for d in async_docs] == [d.page_content for d in docs]

    monkeypatch.setenv("QOR_CONF__service__qor_service__default_token", "wrong")
    assert r.invoke({"query": "How do I reset my password?"}) == []


def test_runs_as_a_module(tmp_path):
    import socket

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    env = dict(os.environ, PYTHONPATH=str(ROOT / "service"))
    proc = subprocess.Popen([sys.executable, "-m", "hostkit.kb_service", "--port", str(port), "--kb-id", "kb7",
                             "--api-key", "k"], cwd=ROOT / "service", env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True)
    try:
        line = proc.stdout.readline()
        url = "http://127.0.0.1:%d/qor/api/knowledge/knowledge-base/kb7/external-retrieve" % port
        assert url in line, line
        deadline = time.monotonic() + 30
        while True:
            try:
                reply = ask(url, "How do I reset my password?", key="k")
                break
            except requests.ConnectionError:
                assert time.monotonic() < deadline
                time.sleep(0.1)
        assert reply.json()["data"][0]["chunk"]["metadata"]["doc_id"] == "account-password"
    finally:
        proc.terminate()
        proc.wait(timeout=30)
        proc.stdout.close()
