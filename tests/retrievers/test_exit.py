"""Interpreter exit while daemon threads are blocked inside the entries of
both modules (the retriever's store call, its HTTP call, `aquery` under an
event loop, the token counter, the parser's streams waiting on their
source) and while compiled coroutines and generators
are suspended in globals: the exit status and output of plain Python."""
import subprocess
import sys
import textwrap

import pytest

from models.usage_workers import worker_env
from subprocess_env import CWD

pytestmark = pytest.mark.integration

PROGRAM = textwrap.dedent("""
    import asyncio, logging, socket, threading, time
    from langchain_core.documents import Document
    from langchain_core.embeddings import Embeddings
    from langchain_core.vectorstores import VectorStore
    from community.retrievers import qor
    from oxa_vector_client.http import models
    from community.models import cogsift
    from utils import dbs

    logging.disable(logging.CRITICAL)  # the HTTP call logs its request; the plain twin would not
    entered = threading.Semaphore(0)

    def sleepy(*args, **kwargs):
        entered.release()
        while True:
            time.sleep(0.0005)  # wakes again and again while the interpreter shuts down

    async def sleepy_aquery(*args):
        entered.release()
        while True:
            await asyncio.sleep(0.0005)

    def source():  # a model stream that stops answering
        yield cogsift.AIMessageChunk(content="<think>r")
        sleepy()

    async def asource():
        yield cogsift.AIMessageChunk(content="<think>r")
        sleepy()

    async def drain(stream):
        async for _ in stream:
            pass

    class Tokens:
        def encode_ordinary(self, text):
            sleepy()

    class Embed(Embeddings):
        def embed_query(self, text):
            return [1.0, 0.0]

        def embed_documents(self, texts):
            return [[1.0, 0.0] for _ in texts]

    class Store(VectorStore):
        collection_name, vector_name, embeddings = "kb", "dense", Embed()
        add_texts = similarity_search = from_texts = None

    retriever = qor.VectorStoreRetriever(vectorstore=Store(), search_kwargs={"filter": models.Filter(must=[]), "k": 2, "score_threshold": 0.0}, post_process_kwargs={"weight": 0.5})
    qor.get_collection = lambda name: {"config": {"params": {}}}

    # Compiled frames suspended in globals at exit.
    class Tick:
        def __await__(self):
            yield "tick"

    async def pending_aquery(*args):
        await Tick()

    qor.aquery = pending_aquery
    suspended_coroutine = retriever.ainvoke({"query": "q"})
    suspended_coroutine.send(None)
    dbs.set_session_store(dbs.MemorySessionStore())
    config = {"input": {"session_id": "s"}, "metadata": {"model_name": "m", "prompt": "p"}}
    suspended_stream = cogsift.qorCogsift().transform(
        iter([cogsift.AIMessageChunk(content="<think>r"), cogsift.AIMessageChunk(content="a")]), config)
    next(suspended_stream)

    {setup}

    calls = {calls}
    for call in calls:
        threading.Thread(target=call, daemon=True).start()
    for _ in calls:
        entered.acquire()
    print("bye", flush=True)
""")

# entry -> (set-up, call in its daemon thread)
ENTRIES = {
    "store call": ("qor.get_collection = sleepy", "lambda: retriever.invoke({'query': 'q'})"),
    "aquery": ("qor.aquery = sleepy_aquery", "lambda: asyncio.run(retriever.ainvoke({'query': 'q'}))"),
    "http call": (
        # a loopback server that accepts and never answers
        "listener = socket.create_server(('127.0.0.1', 0)); held = []\n"
        "threading.Thread(target=lambda: [held.append(listener.accept()), entered.release()], daemon=True).start()\n"
        "section = {'qor_service': {'qor_host': 'http://127.0.0.1:%d' % listener.getsockname()[1],\n"
        "           'external_retrieve_url': '/kb/{}/retrieve', 'default_token': 'secret-token'}}\n"
        "qor.get_configs = lambda *a, **k: section",
        "lambda: qor.ExternalRetriever(search_kwargs={'kb_id': 'kb1', 'api_timeout': 3600}).invoke({'query': 'q'})"),
    "tokenizer": ("cogsift.tokenizer = Tokens()", "lambda: cogsift.get_text_token_len('some text')"),
    "transform": ("", "lambda: list(cogsift.qorCogsift().transform(source(), config))"),
    "atransform": ("", "lambda: asyncio.run(drain(cogsift.qorCogsift().atransform(asource(), config)))"),
    "module atransform": ("", "lambda: list(cogsift.atransform(source()))"),
}


def program(entries):
    setups = "\n".join(ENTRIES[e][0] for e in entries)
    calls = "[" + ", ".join(ENTRIES[e][1] for e in entries) + "]" if entries else "[sleepy]"
    return PROGRAM.replace("{setup}", setups).replace("{calls}", calls)


@pytest.mark.parametrize("entries", [list(ENTRIES), []], ids=["compiled", "plain"])
def test_exit_with_daemon_threads_inside_every_entry(entries):
    # One thread blocked in each entry at once ("plain": one thread in plain
    # Python code instead); the compiled frames suspended in globals in both.
    source = program(entries)
    for _ in range(3 if entries else 1):  # a thread must wake during finalisation: a few tries at most
        done = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True, timeout=60,
                              cwd=CWD, env=worker_env({}))
        assert (done.returncode, done.stdout, done.stderr) == (0, "bye\n", ""), source
