"""A child forked while another thread is inside a usage update (holding the
in-process lock of that session and model) updates the same key and streams."""
import subprocess
import sys
import textwrap

import pytest
from subprocess_env import CWD

from .usage_workers import worker_env

pytestmark = pytest.mark.integration

CHILD = textwrap.dedent("""
    import os, signal, sys, threading
    from langchain_core.messages import AIMessage, AIMessageChunk
    from community.models import cogsift
    from utils import dbs

    store = dbs.MemorySessionStore()
    dbs.set_session_store(store)
    inside, release = threading.Event(), threading.Event()
    plain_get = dbs.get_redis_data

    def blocking_get(*args, **kwargs):
        if threading.current_thread().name == "holder":
            inside.set()
            release.wait()
        return plain_get(*args, **kwargs)

    cogsift.get_redis_data = blocking_get
    parser = cogsift.qorCogsift()
    config = {"input": {"session_id": "s"}, "metadata": {"model_name": "m", "prompt": "p"}}

    def update():
        message = AIMessage(content="<think>r</think>a")
        message.usage = {"prompt_tokens": 1, "completion_tokens": 2, "total_tokens": 3}
        parser.invoke(message, config)

    stream = parser.transform(iter([AIMessageChunk(content="<think>r"), AIMessageChunk(content="</think>a")]), config)
    first = next(stream)  # suspended across the fork
    holder = threading.Thread(target=update, name="holder")
    holder.start()
    inside.wait()
    pid = os.fork()
    if pid == 0:
        signal.alarm(20)  # a child stuck on an inherited lock ends instead of lingering
        try:
            update()
            rest = [c.content for c in stream]
            print("child", dbs.get_redis_data("usage:s", key="m"), first.content, rest, flush=True)
        finally:
            os._exit(0)
    release.set()
    holder.join()
    _, status = os.waitpid(pid, 0)
    print("parent", os.waitstatus_to_exitcode(status), flush=True)
""")


def test_forked_child_updates_usage_and_streams(tmp_path):
    env = worker_env({})
    done = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True, timeout=60, cwd=CWD,
                          env=env)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[-1] == "parent 0", done.stdout + done.stderr
    assert lines[0].startswith("child {"), done.stdout


STREAMS_CHILD = textwrap.dedent("""
    import asyncio, gc, os, signal, threading, weakref
    from langchain_core.messages import AIMessage, AIMessageChunk
    from community.models import cogsift
    from utils import dbs

    dbs.set_session_store(dbs.MemorySessionStore())
    inside, release = threading.Event(), threading.Event()
    plain_get = dbs.get_redis_data

    def blocking_get(*args, **kwargs):
        if threading.current_thread().name == "holder":
            inside.set()
            release.wait()
        return plain_get(*args, **kwargs)

    cogsift.get_redis_data = blocking_get
    parser = cogsift.qorCogsift()
    config = {"input": {"session_id": "s"}, "metadata": {"model_name": "m", "prompt": "p"}}

    def chunks():
        return [AIMessageChunk(content="<think>r"), AIMessageChunk(content="</think>a"), AIMessageChunk(content="b")]

    class Source:
        def __init__(self):
            self.items = chunks()
        def __iter__(self):
            return iter(self.items)
        def __aiter__(self):
            return self
        async def __anext__(self):
            if not self.items:
                raise StopAsyncIteration
            return self.items.pop(0)

    async def drain(stream):
        return [c.content async for c in stream]

    def update():
        message = AIMessage(content="<think>r</think>a")
        message.usage = {"prompt_tokens": 1, "completion_tokens": 2, "total_tokens": 3}
        parser.invoke(message, config)

    sync_stream = parser.transform(Source(), config)
    async_stream = parser.atransform(Source(), config)
    loop = asyncio.new_event_loop()
    firsts = [next(sync_stream).content, loop.run_until_complete(async_stream.__anext__()).content]
    abandoned = Source()
    abandoned.ref = parser.transform(abandoned, config)
    next(abandoned.ref)
    abandoned = weakref.ref(abandoned)  # only a cycle holds it now
    holder = threading.Thread(target=update, name="holder")
    holder.start()
    inside.wait()
    pid = os.fork()
    if pid == 0:
        signal.alarm(20)  # a child stuck on an inherited lock ends instead of lingering
        try:
            gc.collect()
            collected = abandoned() is None
            rest = [c.content for c in sync_stream], asyncio.run(drain(async_stream))
            update()
            print("child", collected, firsts, rest, dbs.get_redis_data("usage:s", key="m"), flush=True)
        finally:
            os._exit(0)
    release.set()
    holder.join()
    _, status = os.waitpid(pid, 0)
    print("parent", os.waitstatus_to_exitcode(status), flush=True)
""")


def test_forked_child_finishes_suspended_streams_and_collects_abandoned_ones():
    done = subprocess.run([sys.executable, "-c", STREAMS_CHILD], capture_output=True, text=True, timeout=60, cwd=CWD,
                          env=worker_env({}))
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        # Both finished streams' usage (1 prompt token, 7 for the whole
        # text each) and the child's own invoke (1/2/3), nothing lost.
        "child True ['', ''] (['a', 'b'], ['a', 'b']) "
        "{'prompt_tokens': 3, 'completion_tokens': 16, 'total_tokens': 19}",
        "parent 0",
    ], done.stdout + done.stderr
