"""The compiled streaming split against the literal Python model, on random
streams rich in "<", ">", "/", tag letters and whole tags, cut at random
places, with pass-through chunks, for all three entry points, in both
hold-back modes and for outputs that start inside the reasoning.

The one intended difference: when the end-of-input flush falls on a chunk
that was already emitted, the module emits a copy and leaves the emitted
object as it was; the literal model rewrites and re-emits it."""
import asyncio
import os
import random

import pytest
from langchain_core.messages import AIMessageChunk

from community.models import cogsift

from .literal_split import literal_atransform, literal_transform

# Random streams per entry: 1,000 keeps the unit set quick; CI's whole suite
# runs 3,000 (dev.sh check), a long hunt more.
STREAMS = int(os.environ.get("COGSIFT_EQUIV_STREAMS", "1000"))
ATOMS = ["<", ">", "/", "t", "h", "i", "n", "k", "<think>", "</think>", "<th", "</t", "hink>", "a", " ", "\n",
         "你", "\ud800", "<b>", "x"]


class Plain:
    """A message object that is not a pydantic model."""

    def __init__(self, content, ident, reasoning=None):
        self.content, self.id = content, ident
        if reasoning is not None:
            self.reasoning_content = reasoning


def random_layout(rng):
    text = "".join(rng.choice(ATOMS) for _ in range(rng.randint(0, 40)))
    layout, i = [], 0
    while i < len(text) or (not layout and rng.random() < 0.5):
        step = rng.randint(0, 9)
        layout.append((text[i:i + step], None))
        i += step
        if rng.random() < 0.1:  # pass-through chunk, sometimes with empty content
            layout.append((rng.choice(["", "<th", "p"]), rng.choice(["", "r", "</think>"])))
        if i >= len(text):
            break
    return layout


def build(layout, plain):
    out = []
    for i, (content, reasoning) in enumerate(layout):
        if plain:
            out.append(Plain(content, str(i), reasoning))
        elif reasoning is None:
            out.append(AIMessageChunk(content=content, id=str(i)))
        else:
            out.append(AIMessageChunk(content=content, id=str(i), reasoning_content=reasoning))
    return out


def state(chunk):
    return chunk.content, getattr(chunk, "reasoning_content", None)


def check(layout, got, got_chunks, want, want_chunks):
    """`got`/`want`: (item, content, reasoning) at emission."""
    index = {id(c): i for i, c in enumerate(want_chunks)}
    got_index = {id(c): i for i, c in enumerate(got_chunks)}
    assert len(got) == len(want), layout
    seen = set()
    first_emission = {}
    for (g, g_content, g_think), (w, w_content, w_think) in zip(got, want):
        assert (g_content, g_think) == (w_content, w_think), layout
        i = index[id(w)]
        if i in seen:  # the flush of an emitted chunk
            assert id(g) not in got_index and g.id == str(i) and type(g) is type(got_chunks[i]), layout
        else:
            assert got_index.get(id(g)) == i, layout
            seen.add(i)
            first_emission[i] = (w_content, w_think)
    for i, (g, w) in enumerate(zip(got_chunks, want_chunks)):
        assert state(g) == first_emission.get(i, state(w)), layout


@pytest.fixture
def counted(monkeypatch):
    """Stand-ins for counting and the store: records the text the usage step counts."""
    texts = []
    monkeypatch.setattr(cogsift, "get_input_len", lambda prompt: 0)
    monkeypatch.setattr(cogsift, "get_text_token_len", lambda text: texts.append(text) or len(text))
    monkeypatch.setattr(cogsift, "get_redis_data", lambda name, key: None)
    monkeypatch.setattr(cogsift, "hset_redis_data", lambda name, key, value, ttl: None)
    return texts


CONFIG = {"metadata": {"prompt": "p"}}


def snapshot(items):
    return [(c, c.content, c.reasoning_content) for c in items]


def random_options(rng):
    """Hold-back mode and start state of one stream, as run configuration entries."""
    return {"hold_back": rng.choice(["candidate", "tag_prefix"]), "starts_in_reasoning": rng.random() < 0.3}


@pytest.mark.parametrize("entry", ["transform", "module", "transform-options"])
def test_sync_entries_match_the_literal_model(entry, counted):
    rng = random.Random({"transform": 1234, "module": 4321}.get(entry, 5678))
    for n in range(STREAMS):
        layout = random_layout(rng)
        plain = n % 3 == 0
        got_chunks, want_chunks = build(layout, plain), build(layout, plain)
        answers = []
        if entry.startswith("transform"):
            options = random_options(rng) if entry == "transform-options" else {}
            got = snapshot(cogsift.qorCogsift().transform(iter(got_chunks), {**CONFIG, "configurable": options}))
            want = snapshot(literal_transform(want_chunks, answers.append, **options))
            assert counted[-1] == answers[-1], layout
        else:
            got = snapshot(cogsift.atransform(got_chunks))
            want = snapshot(literal_transform(want_chunks))
        check(layout, got, got_chunks, want, want_chunks)
    assert entry == "module" or len(counted) == STREAMS


def test_async_entry_matches_the_literal_model(counted):
    rng = random.Random(99)

    async def source(chunks, pause):
        for c in chunks:
            if pause.random() < 0.5:
                await asyncio.sleep(0)
            yield c

    async def main():
        for n in range(STREAMS):
            layout = random_layout(rng)
            got_chunks, want_chunks = build(layout, n % 3 == 0), build(layout, n % 3 == 0)
            answers = []
            options = random_options(rng) if n % 2 else {}
            got = [(c, c.content, c.reasoning_content) async for c in
                   cogsift.qorCogsift().atransform(source(got_chunks, random.Random(n)), {**CONFIG, **options})]
            want = [(c, c.content, c.reasoning_content) async for c in
                    literal_atransform(source(want_chunks, random.Random(n)), answers.append, **options)]
            check(layout, got, got_chunks, want, want_chunks)
            assert counted[-1] == answers[-1], layout

    asyncio.run(main())
    assert len(counted) == STREAMS


@pytest.mark.test_hooks
def test_generic_attribute_path_matches_too(counted):
    """The same streams with the direct attribute paths switched off."""
    rng = random.Random(7)
    assert cogsift._fast_attributes() == {"extra": True, "field": True}
    cogsift._fast_attributes(False)
    try:
        for _ in range(STREAMS // 10):
            layout = random_layout(rng)
            got_chunks, want_chunks = build(layout, False), build(layout, False)
            check(layout, snapshot(cogsift.atransform(got_chunks)), got_chunks,
                  snapshot(literal_transform(want_chunks)), want_chunks)
    finally:
        cogsift._fast_attributes(True)
