"""The retrievers against the real embedded vector database of the host
stand-ins, over the demonstration corpus indexed with dense and "bm25" vectors."""
import asyncio

import pytest

from community.retrievers import qor
from hostkit.corpus import index_corpus
from oxa_vector_client.http import models

INSTALL = "How do I install the client on Windows?"
INVOICE = "发票在哪里下载"


@pytest.fixture(scope="module")
def store():
    return index_corpus()


def vectors(store, question):
    return store.embeddings.embed_query(question), store.sparse_encoder.encode_query(question)


def make_retriever(store, flt=None, k=3, weight=0.5):
    return qor.VectorStoreRetriever(
        vectorstore=store,
        search_kwargs={"filter": flt or models.Filter(must=[]), "k": k, "score_threshold": None},
        post_process_kwargs={"weight": weight},
    )


def ids(docs):
    return [d.metadata["doc_id"] for d in docs]


@pytest.mark.parametrize("question, expected", [(INSTALL, "install-windows"), (INVOICE, "billing-zh-invoice")])
@pytest.mark.parametrize("shape", ["hybrid", "dense", "sparse", "text"])
def test_single_question_branches_find_the_passage(store, question, expected, shape):
    dense, sparse = vectors(store, question)
    inputs = {"query": question, "embedding": dense, "bm25": sparse}
    inputs = {"hybrid": inputs, "dense": {"query": question, "embedding": dense},
              "sparse": {"query": question, "bm25": sparse}, "text": {"query": question}}[shape]
    docs = make_retriever(store).invoke(inputs)
    assert ids(docs)[0] == expected
    weight = 1.0 if shape == "hybrid" else 0.5
    table = qor.get_rrf_dict(3)
    assert [d.metadata["score"] for d in docs] == [table[r] * weight for r in range(1, len(docs) + 1)]
    assert all(d.page_content for d in docs)


@pytest.mark.parametrize("shape", ["hybrid", "dense", "sparse", "text"])
def test_multi_question_branches_fuse_both_questions(store, shape):
    questions = [INSTALL, INVOICE]
    pairs = [vectors(store, q) for q in questions]
    inputs = {"query": questions}
    if shape in ("hybrid", "dense"):
        inputs["embedding"] = [d for d, _ in pairs]
    if shape in ("hybrid", "sparse"):
        inputs["bm25"] = [s for _, s in pairs]
    docs = asyncio.run(make_retriever(store, k=6).ainvoke(inputs))
    assert {"install-windows", "billing-zh-invoice"} <= set(ids(docs))
    assert len(docs) == len(set(ids(docs))) <= 6


def test_filter_restricts_every_branch(store):
    zh_only = models.Filter(must=[models.FieldCondition(key="metadata.lang", match=models.MatchValue(value="zh"))])
    dense, sparse = vectors(store, INSTALL)
    retriever = make_retriever(store, flt=zh_only, k=4)
    for inputs in ({"query": INSTALL}, {"query": INSTALL, "embedding": dense},
                   {"query": INSTALL, "bm25": sparse}, {"query": INSTALL, "embedding": dense, "bm25": sparse}):
        docs = retriever.invoke(inputs)
        assert docs and {d.metadata["lang"] for d in docs} == {"zh"}


def test_keyword_filter_restricts_a_real_search(store):
    retriever = make_retriever(store, k=5)
    inputs = {"query": "同步卡住怎么办", "user_dict": "同步"}
    mapping = retriever.add_keywords_to_filter(inputs, retriever.search_kwargs)
    keywords = [c["match"]["text"] for c in mapping["must"]]
    assert "同步" in keywords
    retriever.search_kwargs["filter"] = models.Filter.model_validate(mapping)
    docs = retriever.invoke({"query": inputs["query"]})
    assert docs
    assert all(all(k in d.page_content for k in keywords) for d in docs)
    unfiltered = make_retriever(store, k=5).invoke({"query": inputs["query"]})
    assert any(not all(k in d.page_content for k in keywords) for d in unfiltered)


def test_recommend_moves_towards_positive_and_away_from_negative(store):
    recommender = qor.VectorStoreRecommender(vectorstore=store,
                                             search_kwargs={"filter": models.Filter(must=[]), "k": 5})
    windows, _ = vectors(store, "install Harbor Sync on Windows with HarborSetup.exe")
    macos, _ = vectors(store, "install Harbor Sync on macOS from the Harbor.dmg disk image")
    towards_windows = ids(recommender.invoke({"query": "q", "embedding": windows, "negative_embedding": macos}))
    towards_macos = ids(recommender.invoke({"query": "q", "embedding": macos, "negative_embedding": windows}))
    assert towards_windows[0] == "install-windows" and "install-macos" not in towards_windows[:2]
    assert towards_macos[0] == "install-macos" and "install-windows" not in towards_macos[:2]
    multi = ids(recommender.invoke({"query": ["a", "b"], "embedding": [windows, macos], "negative_embedding": [windows]}))
    assert multi
