"""Fixtures for the retrievers: a store whose single query call is observed."""
from typing import Any, List

import pytest
from langchain_core.documents import Document
from langchain_core.embeddings import Embeddings
from langchain_core.vectorstores import VectorStore

from community.retrievers import qor
from oxa_vector_client.http import models


class RecordingEmbeddings(Embeddings):
    """Embeds a text as [len(text), 1.0] and records what it was asked."""

    def __init__(self):
        self.seen = []

    def embed_query(self, text):
        self.seen.append(text)
        return [float(len(text)), 1.0]

    def embed_documents(self, texts):
        return [self.embed_query(t) for t in texts]


class StubStore(VectorStore):
    """A LangChain vector store that only carries the attributes the retrievers read."""

    def __init__(self, collection_name="kb", vector_name="dense"):
        self.collection_name = collection_name
        self.vector_name = vector_name
        self._embeddings = RecordingEmbeddings()

    @property
    def embeddings(self):
        return self._embeddings

    def add_texts(self, texts, metadatas=None, **kwargs) -> List[str]:
        raise NotImplementedError

    def similarity_search(self, query, k=4, **kwargs) -> List[Document]:
        raise NotImplementedError

    @classmethod
    def from_texts(cls, texts, embedding, metadatas=None, **kwargs: Any):
        raise NotImplementedError


class StoreCalls:
    """Replaces the module's service functions and records every call."""

    def __init__(self, monkeypatch, hits=3, sparse_vectors=("bm25",)):
        self.calls = []
        self.collections = []
        self.hits = hits
        self.sparse_vectors = sparse_vectors
        self.error = None
        monkeypatch.setattr(qor, "aquery", self.aquery)
        monkeypatch.setattr(qor, "get_collection", self.get_collection)

    def get_collection(self, name):
        self.collections.append(name)
        params = {} if self.sparse_vectors is None else {"sparse_vectors": {n: {} for n in self.sparse_vectors}}
        return {"config": {"params": params}}

    async def aquery(self, *args, **kwargs):
        assert not kwargs, "aquery takes positional arguments only"
        self.calls.append(args)
        if self.error is not None:
            raise self.error
        return [(Document(page_content=f"doc{i}", metadata={"i": i}), 1.0 - i / 10) for i in range(self.hits)]

    @property
    def only_call(self):
        assert len(self.calls) == 1, self.calls
        return self.calls[0]


@pytest.fixture
def store(monkeypatch):
    return StoreCalls(monkeypatch)


def make_filter():
    return models.Filter(must=[models.FieldCondition(key="metadata.lang", match=models.MatchValue(value="en"))])


@pytest.fixture
def retriever():
    return qor.VectorStoreRetriever(
        vectorstore=StubStore(),
        search_kwargs={"filter": make_filter(), "k": 5, "score_threshold": 0.2},
        post_process_kwargs={"weight": 0.5},
    )
