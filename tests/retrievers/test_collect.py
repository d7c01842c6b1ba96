"""A retrieval coroutine abandoned while it waits for the store, in a
reference cycle through its frame, is collected."""
import gc
import weakref

from community.retrievers import qor

from .conftest import StubStore, make_filter


class Pending:
    def __await__(self):
        yield "tick"


def test_abandoned_retrieval_in_a_cycle_is_collected(monkeypatch):
    async def aquery(*args):
        await Pending()

    monkeypatch.setattr(qor, "get_collection", lambda name: {"config": {"params": {}}})
    monkeypatch.setattr(qor, "aquery", aquery)
    store = StubStore()
    retriever = qor.VectorStoreRetriever(vectorstore=store, search_kwargs={"k": 2, "score_threshold": 0.1, "filter": make_filter()},
                                         post_process_kwargs={"weight": 1.0})
    coro = retriever._aget_relevant_documents({"query": "q", "embedding": [1.0, 0.0]})
    assert coro.send(None) == "tick"
    store.ref = coro  # store -> coroutine -> frame (self, its vector store) -> store
    alive = weakref.ref(store)
    del store, retriever, coro
    gc.collect()
    assert alive() is None
