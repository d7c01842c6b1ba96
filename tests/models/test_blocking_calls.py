"""The parser's streaming paths on a running event loop make no blocking call
beyond the session-store calls of the usage update (BLOCKING_ALLOWED in
tests/conftest.py)."""
import asyncio

from langchain_core.messages import AIMessageChunk

from community.models import cogsift

from .conftest import make_config, stored

PIECES = ["<think>ab", "c</th", "ink>ans", "wer"]


def test_streaming_paths_make_no_unlisted_blocking_call(memory_store, blockbuster):
    async def chunks():
        for piece in PIECES:
            await asyncio.sleep(0)
            yield AIMessageChunk(content=piece)

    async def consume():
        parsed = [c.content async for c in cogsift.qorCogsift().atransform(chunks(), make_config())]
        module_level = [c.content for c in cogsift.atransform([AIMessageChunk(content=p) for p in PIECES])]
        return parsed, module_level

    assert asyncio.run(consume()) == (["", "", "ans", "wer"],) * 2
    assert stored()["completion_tokens"] > 0  # the usage update ran, on the loop
