"""The asynchronous retrieval paths against the real stand-ins make no
blocking call on the event loop beyond the synchronous service calls listed
in BLOCKING_ALLOWED (tests/conftest.py)."""
import asyncio
import logging

import pytest

import configs
from community.retrievers import qor
from hostkit.corpus import index_corpus
from hostkit.kb_service import KbService
from oxa_vector_client.http import models

QUESTION = "How do I install the client on Windows?"
KEY = "kb-test-key"


@pytest.fixture(scope="module")
def corpus_store():
    return index_corpus()


@pytest.fixture(scope="module")
def kb(corpus_store):
    with KbService({"demo": corpus_store}, api_key=KEY) as service:
        yield service


@pytest.fixture
def service_config(kb, monkeypatch):
    monkeypatch.setenv("QOR_CONF__service__qor_service__qor_host", kb.base_url)
    monkeypatch.setenv("QOR_CONF__service__qor_service__default_token", KEY)
    # Every call is due for a check of the file: none may be made on the loop.
    monkeypatch.setattr(configs, "CHECK_SECONDS", 0.0)
    configs.get_configs("service")  # the first read of a section is the one made in place


@pytest.mark.integration
def test_async_retrievals_make_no_unlisted_blocking_call(corpus_store, service_config, caplog, blockbuster):
    dense = corpus_store.embeddings.embed_query(QUESTION)
    sparse = corpus_store.sparse_encoder.encode_query(QUESTION)
    other = corpus_store.embeddings.embed_query("发票在哪里下载")
    flt = models.Filter(must=[])
    vector = qor.VectorStoreRetriever(vectorstore=corpus_store, post_process_kwargs={},
                                      search_kwargs={"filter": flt, "k": 3, "score_threshold": None})
    recommender = qor.VectorStoreRecommender(vectorstore=corpus_store, search_kwargs={"filter": flt, "k": 3})
    external = qor.ExternalRetriever(search_kwargs={"kb_id": "demo", "k": 2})

    async def retrieve():
        return await asyncio.gather(
            vector.ainvoke({"query": QUESTION, "embedding": dense, "bm25": sparse}),
            vector.ainvoke({"query": QUESTION}),
            recommender.ainvoke({"query": QUESTION, "embedding": dense, "negative_embedding": [other]}),
            external.ainvoke({"query": QUESTION}),
            external.ainvoke({"query": QUESTION}),
        )

    with caplog.at_level(logging.INFO):
        results = asyncio.run(retrieve())
    # The external retriever turns any failure (a refused blocking call
    # among them) into an error line and an empty result.
    assert all(results) and [r.levelname for r in caplog.records if r.levelno >= logging.ERROR] == []
