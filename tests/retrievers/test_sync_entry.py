"""The synchronous entries of the three retrievers called where an event loop
is already running (a notebook cell, an async handler calling synchronous
code), each next to LangChain's own retriever doing the same thing."""
import asyncio
import contextvars
import signal
import threading
import time
from typing import List

import pytest
from langchain_core.documents import Document
from langchain_core.retrievers import BaseRetriever

from community.retrievers import qor
from oxa_vector_client.http import models

from .conftest import StubStore
from .test_external_retriever import TEMPLATE, serving

REQUEST_ID = contextvars.ContextVar("request_id", default=None)
DENSE = [0.1, 0.2]


class Seen:
    """What the retrieval saw: the request id, its thread and loop; the
    store's answer or failure and how long it takes."""

    def __init__(self):
        self.request_ids, self.threads, self.loops, self.cancelled = [], [], [], []
        self.error = None
        self.on_query = None

    def look(self):
        self.request_ids.append(REQUEST_ID.get())
        self.threads.append(threading.get_ident())
        try:
            self.loops.append(asyncio.get_running_loop())
        except RuntimeError:
            pass  # LangChain's own synchronous retriever runs no loop
        if self.on_query is not None:
            self.on_query()
        if self.error is not None:
            raise self.error
        return [Document(page_content=f"doc{i}") for i in range(2)]

    async def aquery(self, *args):
        docs = self.look()
        if self.on_query is not None:
            try:
                await asyncio.sleep(30)
            except asyncio.CancelledError:
                self.cancelled.append(True)
                raise
        return [(d, 0.5) for d in docs]


class LangChainRetriever(BaseRetriever):
    """LangChain's own kind of retriever: a synchronous body, nothing else."""

    seen: object

    def _get_relevant_documents(self, query: str, *, run_manager) -> List[Document]:
        docs = self.seen.look()
        if self.seen.on_query is not None:
            time.sleep(30)
        return docs


@pytest.fixture
def seen(monkeypatch):
    s = Seen()
    monkeypatch.setattr(qor, "aquery", s.aquery)
    monkeypatch.setattr(qor, "get_collection", lambda name: {"config": {"params": {}}})
    return s


@pytest.fixture
def kb(monkeypatch, seen):
    server = serving()
    s = next(server)

    def get_configs(section):
        seen.look()
        return {"qor_service": {"qor_host": s.url, "external_retrieve_url": TEMPLATE, "default_token": "t"}}

    monkeypatch.setattr(qor, "get_configs", get_configs)
    yield s
    next(server, None)


def make(kind, seen, request):
    flt = models.Filter(must=[])
    if kind == "vector":
        return qor.VectorStoreRetriever(vectorstore=StubStore(), post_process_kwargs={},
                                        search_kwargs={"filter": flt, "k": 5, "score_threshold": None})
    if kind == "recommender":
        return qor.VectorStoreRecommender(vectorstore=StubStore(), search_kwargs={"filter": flt, "k": 5})
    if kind == "external":
        request.getfixturevalue("kb")
        return qor.ExternalRetriever(search_kwargs={"kb_id": "kb1", "k": 2})
    return LangChainRetriever(seen=seen)


INPUT = {"query": "q", "embedding": DENSE, "negative_embedding": [DENSE]}
KINDS = ["vector", "recommender", pytest.param("external", marks=pytest.mark.integration), "langchain"]


def contents(docs):
    return [d.page_content for d in docs]


def new_threads(before):
    """Threads started since `before` and still alive, but for the external
    retriever's request pool, whose workers start on demand and stay."""
    return {t for t in threading.enumerate() if t not in before and not t.name.startswith("qor-external_")}


@pytest.mark.parametrize("kind", KINDS)
def test_notebook_cell_calls_invoke_and_batch_inside_its_running_loop(kind, seen, request):
    retriever = make(kind, seen, request)
    expected = contents(retriever.invoke(INPUT))
    threads_before = set(threading.enumerate())

    async def cell():
        return retriever.invoke(INPUT), retriever.batch([INPUT]), retriever.batch([INPUT, INPUT])

    notebook_loop = asyncio.new_event_loop()  # a notebook's loop, with the default SIGINT handler
    try:
        one, single_batch, batch = notebook_loop.run_until_complete(cell())
    finally:
        notebook_loop.close()
    assert contents(one) == expected and [contents(d) for d in single_batch + batch] == [expected] * 3
    assert not new_threads(threads_before)  # no helper thread left behind
    if kind != "langchain":
        inside = seen.loops[1:]  # one new loop per call, closed afterwards, never the notebook's
        assert len(set(map(id, inside))) == len(inside) == 4
        assert all(loop.is_closed() and loop is not notebook_loop for loop in inside)


@pytest.mark.parametrize("kind", KINDS)
def test_sync_view_called_by_async_handlers_keeps_context_and_errors(kind, seen, request):
    retriever = make(kind, seen, request)

    def view(request_id):  # synchronous code of the application
        return contents(retriever.invoke({**INPUT, "query": request_id}))

    async def handler(request_id):
        REQUEST_ID.set(request_id)
        await asyncio.sleep(0)
        return view(request_id)

    async def serve():
        return await asyncio.gather(*(handler(f"r{i}") for i in range(3)))

    assert asyncio.run(serve()) == [["doc0", "doc1"] if kind != "external" else ["passage one", "two"]] * 3
    assert sorted(seen.request_ids) == ["r0", "r1", "r2"]
    if kind == "external":
        return  # failures of the external call end as an empty result, tested with the retriever
    seen.error = LookupError("store down")
    with pytest.raises(LookupError, match="store down"):
        asyncio.run(handler("r3"))


@pytest.mark.parametrize("kind", ["vector", "recommender", "langchain"])
def test_ctrl_c_in_a_notebook_cell_interrupts_promptly_and_ends_the_run(kind, seen, request):
    retriever = make(kind, seen, request)
    threads_before = set(threading.enumerate())
    raised_at = []

    def ctrl_c():
        raised_at.append(time.monotonic())
        signal.raise_signal(signal.SIGINT)  # lands on the thread running the retrieval

    seen.on_query = ctrl_c

    async def cell():
        retriever.invoke(INPUT)

    notebook_loop = asyncio.new_event_loop()
    try:
        with pytest.raises(KeyboardInterrupt):
            notebook_loop.run_until_complete(cell())
        waited = time.monotonic() - raised_at[0]
    finally:
        notebook_loop.close()
    assert waited < 5  # the retrieval would have gone on for 30 s
    for _ in range(500):  # the helper's run ends soon after (at once unless the machine is busy)
        if not new_threads(threads_before):
            break
        time.sleep(0.01)
    assert not new_threads(threads_before)
    if kind != "langchain":
        assert seen.cancelled == [True] and seen.loops[0].is_closed()
