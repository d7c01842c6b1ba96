import json
import math
import os
import subprocess
import sys
from pathlib import Path
from typing import List

import pytest
from langchain_core.embeddings import Embeddings

from hostkit import Bm25Encoder, HashingEmbeddings, QorVectorStore, index_corpus, load_corpus
from hostkit.hashing import term_id
from oxa_vector_client.http import models
from utils.dbs import get_collection

SERVICE_DIR = Path(__file__).resolve().parents[2] / "service"


def dot(a, b):
    return sum(x * y for x, y in zip(a, b))


TEXTS = ["How do I install the client on Windows?", "同步卡住不动怎么办", "", "!!!", "API 密钥 key"]


def test_embedding_is_unit_length_and_the_same_in_another_process():
    emb = HashingEmbeddings()
    vectors = emb.embed_documents(TEXTS)
    assert all(len(v) == 256 and math.isclose(dot(v, v), 1.0, rel_tol=1e-9) for v in vectors)
    assert vectors[0] == emb.embed_query(TEXTS[0])
    code = ("import json, sys; from hostkit import HashingEmbeddings; "
            "print(json.dumps(HashingEmbeddings().embed_documents(json.loads(sys.argv[1]))))")
    out = subprocess.run([sys.executable, "-c", code, json.dumps(TEXTS)], cwd=SERVICE_DIR,
                         env=dict(os.environ, PYTHONPATH=str(SERVICE_DIR), PYTHONHASHSEED="12345"),
                         capture_output=True, text=True, timeout=120, check=True)
    assert json.loads(out.stdout) == vectors


def test_embedding_puts_related_texts_closer():
    emb = HashingEmbeddings()
    q = emb.embed_query("install the Windows client")
    near = emb.embed_query("Installing the desktop client on Windows requires Windows 10")
    far = emb.embed_query("Yearly subscriptions can be refunded within 30 days")
    assert dot(q, near) > dot(q, far) + 0.2
    zq = emb.embed_query("退款政策")
    assert dot(zq, emb.embed_query("按年订阅可以申请退款")) > dot(zq, emb.embed_query("两步验证支持硬件安全密钥"))


def test_bm25_document_weights_saturate_and_normalise_length():
    enc = Bm25Encoder(k1=1.2, b=0.75, avg_len=10)

    def weight(text, term):
        vec = enc.encode_document(text)
        return dict(zip(vec["indices"], vec["values"]))[term_id(term)]

    w1, w2, w9 = (weight(" ".join(["proxy"] * n + ["port"] * (10 - n)), "proxy") for n in (1, 2, 9))
    assert w1 < w2 < w9 < enc.k1 + 1
    assert w2 - w1 > (w9 - w2) / 7  # each further occurrence adds less
    short = weight("proxy port", "proxy")
    long = weight("proxy " + "port " * 30, "proxy")
    assert short > long


def test_bm25_query_and_ids():
    enc = Bm25Encoder()
    q = enc.encode_query("proxy 代理 proxy PROXY 服务器")
    assert q["values"] == [1.0, 1.0, 1.0]
    assert q["indices"] == sorted(q["indices"]) and len(set(q["indices"])) == 3
    assert all(0 <= i < 2 ** 31 for i in q["indices"])
    assert q == Bm25Encoder(k1=2.0).encode_query("服务器 代理 proxy")
    assert enc.encode_query("的 the ?") == {"indices": [], "values": []}


def test_corpus_has_bilingual_passages_with_metadata():
    passages = load_corpus()
    assert 30 <= len(passages) <= 60
    assert len({p["id"] for p in passages}) == len(passages)
    langs = {p["metadata"]["lang"] for p in passages}
    assert langs == {"en", "zh"}
    assert all({"source", "title"} <= set(p["metadata"]) for p in passages)


def test_indexing_is_idempotent_and_searchable(collection_name):
    store = index_corpus(collection_name=collection_name)
    n = len(load_corpus())
    assert store.count() == n
    again = index_corpus(collection_name=collection_name)
    assert again.count() == n
    docs = store.similarity_search("How do I reset my password?", k=2)
    assert docs[0].metadata["doc_id"] == "account-password"
    only_zh = models.Filter(must=[models.FieldCondition(key="metadata.lang", match=models.MatchValue(value="zh"))])
    hits = store.similarity_search_with_score("reset password 密码", k=3, filter=only_zh)
    assert hits and all(d.metadata["lang"] == "zh" for d, _ in hits)
    assert hits[0][0].metadata["doc_id"] == "account-zh-password"


class TinyEmbeddings(Embeddings):
    """A user-supplied embedding of another size."""

    def embed_documents(self, texts: List[str]) -> List[List[float]]:
        return [self.embed_query(t) for t in texts]

    def embed_query(self, text: str) -> List[float]:
        return [1.0, float(len(text)), float(text.count(" ")) + 0.5]


def test_other_embeddings_can_be_plugged_in(collection_name):
    store = QorVectorStore(collection_name=collection_name, embeddings=TinyEmbeddings(), vector_name="tiny")
    store.add_texts(["a b", "c"], metadatas=[{"k": 1}, {"k": 2}], ids=["x", "y"])
    params = get_collection(collection_name)["config"]["params"]
    assert params["vectors"]["tiny"]["size"] == 3
    assert params["sparse_vectors"]["bm25"]["modifier"] == "idf"
    assert store.embeddings.embed_query("a b") == [1.0, 3.0, 1.5]
    assert {d.metadata["k"] for d in store.similarity_search("a b", k=5)} == {1, 2}
    with pytest.raises(ValueError, match="recreate"):
        QorVectorStore(collection_name=collection_name, vector_name="tiny")  # 256-dim default
    QorVectorStore(collection_name=collection_name, vector_name="tiny", create=False).ensure_collection(recreate=True)
    assert get_collection(collection_name)["config"]["params"]["vectors"]["tiny"]["size"] == 256
