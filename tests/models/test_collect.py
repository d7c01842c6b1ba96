"""Abandoned parser streams in reference cycles are collected, and a stream
held until the interpreter exits finalises its source, as Python
generators do."""
import asyncio
import gc
import subprocess
import sys
import textwrap
import weakref

import pytest
from langchain_core.messages import AIMessageChunk

from community.models import cogsift
from subprocess_env import CWD

from .conftest import make_config
from .usage_workers import worker_env


class Chunks:
    """A sync and async source of chunks; `ref` closes a cycle through it."""

    ref = None

    def __init__(self):
        self.items = [AIMessageChunk(content="<think>r"), AIMessageChunk(content="</think>a")]

    def __iter__(self):
        return iter(self.items)

    def __aiter__(self):
        return self

    async def __anext__(self):
        if not self.items:
            raise StopAsyncIteration
        return self.items.pop(0)


def abandon_sync(entry):
    source = Chunks()
    stream = entry(source)
    next(stream)
    source.ref = stream  # source -> stream -> ... suspended frames -> source
    return weakref.ref(source)


async def abandon_async(entry):
    source = Chunks()
    stream = entry(source)
    await stream.__anext__()
    source.ref = stream
    return weakref.ref(source)


@pytest.mark.parametrize("entry", ["transform", "module atransform"])
def test_abandoned_sync_stream_in_a_cycle_is_collected(memory_store, entry):
    parser = cogsift.qorCogsift()
    call = {"transform": lambda s: parser.transform(s, make_config()), "module atransform": cogsift.atransform}
    alive = abandon_sync(call[entry])
    gc.collect()
    assert alive() is None


def test_abandoned_async_stream_in_a_cycle_is_collected(memory_store):
    parser = cogsift.qorCogsift()

    async def main():
        alive = await abandon_async(lambda s: parser.atransform(s, make_config()))
        gc.collect()
        for _ in range(5):  # the loop closes what the collector handed it
            await asyncio.sleep(0)
        gc.collect()
        return alive()

    assert asyncio.run(main()) is None


EXIT_PROGRAM = textwrap.dedent("""
    import sys
    from langchain_core.messages import AIMessageChunk
    from community.models import cogsift
    from utils import dbs

    dbs.set_session_store(dbs.MemorySessionStore())
    parser = cogsift.qorCogsift()
    config = {"input": {"session_id": "s"}, "metadata": {"model_name": "m", "prompt": "p"}}

    def source():
        try:
            yield AIMessageChunk(content="<think>r")
            yield AIMessageChunk(content="</think>a")
        finally:
            print("source closed", flush=True)

    def plain(chunks):
        for chunk in chunks:
            yield chunk

    held = {stream}
    next(held)
    print("bye", flush=True)
""")


@pytest.mark.integration
@pytest.mark.parametrize("stream", ["parser.transform(source(), config)", "cogsift.atransform(source())"])
def test_stream_held_at_exit_closes_its_source_as_a_python_generator_does(stream):
    def run(expression):
        done = subprocess.run([sys.executable, "-c", EXIT_PROGRAM.replace("{stream}", expression)],
                              capture_output=True, text=True, timeout=60, cwd=CWD, env=worker_env({}))
        return done.returncode, done.stdout, done.stderr

    expected = run("plain(source())")
    assert expected == (0, "bye\nsource closed\n", "")
    assert run(stream) == expected
