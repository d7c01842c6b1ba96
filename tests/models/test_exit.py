"""Interpreter exit while a daemon thread is inside a parser call whose
session store, or a stream whose source, keeps releasing and retaking the
GIL, and while a compiled stream is suspended: the exit status and output of
plain Python."""
import subprocess
import sys
import textwrap

import pytest

from subprocess_env import CWD

from .usage_workers import worker_env

pytestmark = pytest.mark.integration

PROGRAM = textwrap.dedent("""
    import asyncio, threading, time
    from langchain_core.messages import AIMessage, AIMessageChunk
    from community.models import cogsift
    from utils import dbs

    dbs.set_session_store(dbs.MemorySessionStore())
    started = threading.Event()

    def slow_store(*args, **kwargs):
        started.set()
        while True:
            time.sleep(0.0005)  # wakes again and again while the interpreter shuts down

    def source():  # a model stream that stops answering
        yield AIMessageChunk(content="<think>r")
        slow_store()

    async def asource():
        yield AIMessageChunk(content="<think>r")
        slow_store()

    async def drain(stream):
        async for _ in stream:
            pass

    cogsift.get_redis_data = slow_store
    parser = cogsift.qorCogsift()
    config = {"input": {"session_id": "s"}, "metadata": {"model_name": "m", "prompt": "p"}}

    def run():
        message = AIMessage(content="<think>r</think>a")
        message.usage = {"prompt_tokens": 1, "completion_tokens": 2, "total_tokens": 3}
        {call}

    suspended = parser.transform(iter([AIMessageChunk(content="<think>r"), AIMessageChunk(content="a")]), config)
    next(suspended)
    threading.Thread(target=run, daemon=True).start()
    started.wait()
    print("bye", flush=True)
""")


CALLS = {
    "compiled": "parser.invoke(message, config)",
    "plain": "slow_store()",
    # streams waiting on their source
    "transform": "list(parser.transform(source(), config))",
    "atransform": "asyncio.run(drain(parser.atransform(asource(), config)))",
    "module atransform": "list(cogsift.atransform(source()))",
    "plain stream": "list(source())",
}


@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
def test_exit_with_a_daemon_thread_inside_a_store_call_or_a_stream(call):
    for _ in range(3):  # the thread must wake during finalisation, which takes a few tries at most
        done = subprocess.run([sys.executable, "-c", PROGRAM.replace("{call}", call)], capture_output=True,
                              text=True, timeout=60, cwd=CWD, env=worker_env({}))
        assert (done.returncode, done.stdout, done.stderr) == (0, "bye\n", "")
