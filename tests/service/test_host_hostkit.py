import json
import math
import os
import subprocess
import sys
from pathlib import Path

import pytest
from langchain_core.embeddings import Embeddings

from hostkit import Bm25Encoder, HashingEmbeddings, QorVectorStore, index_corpus, load_corpus
from hostkit.hashing import term_id
from oxa_vector_client.http import models
from utils.dbs import get_collection

SERVICE_DIR = Path(__file__).resolve().parents[2] / "service"


def dot(a, b):
    return sum(x * y for x, y in zip(a, b))


@pytest.mark.integration
def test_embedding_is_unit_length_deterministic_across_processes_and_meaningful():
    texts = ["How do I install the client on Windows?", "同步卡住不动怎么办", "", "!!!", "API 密钥 key"]
    emb = HashingEmbeddings()
    vectors = emb.embed_documents(texts)
    assert all(len(v) == 256 and math.isclose(dot(v, v), 1.0, rel_tol=1e-9) for v in vectors)
    code = ("import json, sys; from hostkit import HashingEmbeddings; "
            "print(json.dumps(HashingEmbeddings().embed_documents(json.loads(sys.argv[1]))))")
    out = subprocess.run([sys.executable, "-c", code, json.dumps(texts)], cwd=SERVICE_DIR,
                         env=dict(os.environ, PYTHONPATH=str(SERVICE_DIR), PYTHONHASHSEED="12345"),
                         capture_output=True, text=True, timeout=120, check=True)
    assert json.loads(out.stdout) == vectors
    q = emb.embed_query("install the Windows client")
    assert dot(q, emb.embed_query("Installing the desktop client on Windows requires Windows 10")) > \
        dot(q, emb.embed_query("Yearly subscriptions can be refunded within 30 days")) + 0.2
    zq = emb.embed_query("退款政策")
    assert dot(zq, emb.embed_query("按年订阅可以申请退款")) > dot(zq, emb.embed_query("两步验证支持硬件安全密钥"))


def test_bm25_saturation_length_norm_and_query_form():
    enc = Bm25Encoder(k1=1.2, b=0.75, avg_len=10)

    def weight(text, term):
        vec = enc.encode_document(text)
        return dict(zip(vec["indices"], vec["values"]))[term_id(term)]

    w1, w2, w9 = (weight(" ".join(["proxy"] * n + ["port"] * (10 - n)), "proxy") for n in (1, 2, 9))
    assert w1 < w2 < w9 < enc.k1 + 1
    assert w2 - w1 > (w9 - w2) / 7  # each further occurrence adds less
    assert weight("proxy port", "proxy") > weight("proxy " + "port " * 30, "proxy")

    q = enc.encode_query("proxy 代理 proxy PROXY 服务器")
    assert q["values"] == [1.0, 1.0, 1.0]
    assert q["indices"] == sorted(set(q["indices"])) and all(0 <= i < 2 ** 31 for i in q["indices"])
    assert q == Bm25Encoder(k1=2.0).encode_query("服务器 代理 proxy")
    assert enc.encode_query("的 the ?") == {"indices": [], "values": []}


def test_corpus_indexing_is_idempotent_and_searchable(collection_name):
    passages = load_corpus()
    assert 30 <= len(passages) <= 60 and len({p["id"] for p in passages}) == len(passages)
    assert {p["metadata"]["lang"] for p in passages} == {"en", "zh"}
    store = index_corpus(collection_name=collection_name)
    assert index_corpus(collection_name=collection_name).count() == store.count() == len(passages)
    assert store.similarity_search("How do I reset my password?", k=2)[0].metadata["doc_id"] == "account-password"
    only_zh = models.Filter(must=[models.FieldCondition(key="metadata.lang", match=models.MatchValue(value="zh"))])
    hits = store.similarity_search_with_score("reset password 密码", k=3, filter=only_zh)
    assert hits and all(d.metadata["lang"] == "zh" for d, _ in hits)
    assert hits[0][0].metadata["doc_id"] == "account-zh-password"


class TinyEmbeddings(Embeddings):
    """A user-supplied embedding of another size."""

    def embed_documents(self, texts):
        return [self.embed_query(t) for t in texts]

    def embed_query(self, text):
        return [1.0, float(len(text)), float(text.count(" ")) + 0.5]


def test_other_embeddings_can_be_plugged_in(collection_name):
    store = QorVectorStore(collection_name=collection_name, embeddings=TinyEmbeddings(), vector_name="tiny")
    store.add_texts(["a b", "c"], metadatas=[{"k": 1}, {"k": 2}], ids=["x", "y"])
    params = get_collection(collection_name)["config"]["params"]
    assert params["vectors"]["tiny"]["size"] == 3 and params["sparse_vectors"]["bm25"]["modifier"] == "idf"
    assert {d.metadata["k"] for d in store.similarity_search("a b", k=5)} == {1, 2}
    with pytest.raises(ValueError, match="recreate"):
        QorVectorStore(collection_name=collection_name, vector_name="tiny")  # 256-dim default
    QorVectorStore(collection_name=collection_name, vector_name="tiny", create=False).ensure_collection(recreate=True)
    assert get_collection(collection_name)["config"]["params"]["vectors"]["tiny"]["size"] == 256
