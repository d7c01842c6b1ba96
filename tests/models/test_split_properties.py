"""Properties of the streaming reasoning split, over generated texts rich in
tags and tag pieces, cut into chunks anywhere, for streams that start outside
and inside the reasoning (`starts_in_reasoning`)."""
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from langchain_core.messages import AIMessage, AIMessageChunk

from community.models import cogsift

START, END = "<think>", "</think>"
PIECES = ["<think>", "</think>", "<", ">", "/", "<th", "</t", "ink>", "t", "h", "k", "a", " ", "\n", "你"]
TAG_FREE = ["a", "b", " ", "\n", "<", ">", "/", "<th", "</t", "ink>", "你"]
CONFIG = {"metadata": {"prompt": "p"}}
BOUNDED = settings(max_examples=150, deadline=None, database=None)

texts = st.lists(st.sampled_from(PIECES), max_size=24).map("".join)
inside = st.booleans()


@st.composite
def chunked(draw, text=texts):
    """A text and the chunks it is cut into (empty chunks included)."""
    text = draw(text)
    cuts = sorted(draw(st.lists(st.integers(0, len(text)), max_size=12)))
    bounds = [0, *cuts, len(text)]
    return text, [text[a:b] for a, b in zip(bounds, bounds[1:])]


def split_whole_text(text, in_reasoning):
    """(answer, reasoning) of a text whose tags are all taken where they stand:
    outside the reasoning "<think>" opens it, inside "</think>" closes it; a
    text that starts inside the reasoning may still open with "<think>", which
    is dropped."""
    parts = ([], [])
    at = len(START) if in_reasoning and text.startswith(START) else 0
    while True:
        tag = END if in_reasoning else START
        found = text.find(tag, at)
        parts[in_reasoning].append(text[at:] if found == -1 else text[at:found])
        if found == -1:
            return "".join(parts[0]), "".join(parts[1])
        at, in_reasoning = found + len(tag), not in_reasoning


@pytest.fixture(scope="module", autouse=True)
def no_usage_store():
    """The usage step counts nothing and stores nowhere: only the split is under test."""
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(cogsift, "get_input_len", lambda prompt: 0)
        patch.setattr(cogsift, "get_text_token_len", len)
        patch.setattr(cogsift, "get_redis_data", lambda name, key: None)
        patch.setattr(cogsift, "hset_redis_data", lambda name, key, value, ttl: None)
        yield


def stream(chunks, in_reasoning):
    """The parser's transform over `chunks`: the emitted (content, reasoning)
    pairs, and for each chunk the text read and the emissions made before it
    was read (all the emissions of the chunks before it)."""
    emitted, checkpoints = [], []

    def source():
        read = ""
        for piece in chunks:
            checkpoints.append((read, len(emitted)))
            read += piece
            yield AIMessageChunk(content=piece)
        checkpoints.append((read, None))

    parser = cogsift.qorCogsift(starts_in_reasoning=in_reasoning)
    for chunk in parser.transform(source(), CONFIG):
        emitted.append((chunk.content, chunk.reasoning_content))
    return emitted, checkpoints[:-1]


def joined(emitted):
    return "".join(c for c, _ in emitted), "".join(r for _, r in emitted)


@BOUNDED
@given(chunked(), inside)
def test_joined_output_is_the_input_without_its_tags(case, in_reasoning):
    text, chunks = case
    emitted, _ = stream(chunks, in_reasoning)
    assert joined(emitted) == split_whole_text(text, in_reasoning)


@BOUNDED
@given(chunked(), inside)
def test_output_does_not_depend_on_the_chunking(case, in_reasoning):
    text, chunks = case
    assert joined(stream(chunks, in_reasoning)[0]) == joined(stream([text], in_reasoning)[0])


def held_back(read, emitted, in_reasoning):
    """What the split holds after reading `read` and emitting `emitted`, and
    whether it is held inside the reasoning. Everything emitted must already
    be settled: a prefix of what the text read so far gives when it ends."""
    answer, reasoning = split_whole_text(read, in_reasoning)
    said, thought = joined(emitted)
    assert answer.startswith(said) and reasoning.startswith(thought), (read, emitted)
    held_answer, held_reasoning = answer[len(said):], reasoning[len(thought):]
    assert not (held_answer and held_reasoning), (read, emitted)
    return held_answer + held_reasoning, bool(held_reasoning)


@BOUNDED
@given(chunked(), inside)
def test_no_tag_fragment_is_emitted_before_it_is_settled(case, in_reasoning):
    """Text that may still become part of a tag stays held: every emission is
    final, whatever the chunks after it."""
    text, chunks = case
    emitted, checkpoints = stream(chunks, in_reasoning)
    for read, count in checkpoints:
        held, _ = held_back(read, emitted[:count], in_reasoning)
        assert read.endswith(held)


@BOUNDED
@given(chunked(), inside)
def test_default_mode_holds_back_from_a_possible_tag_start_only(case, in_reasoning):
    """The held text starts at a "<"; outside the reasoning a ">" after it
    settles it, so it never holds one."""
    _, chunks = case
    emitted, checkpoints = stream(chunks, in_reasoning)
    for read, count in checkpoints:
        held, in_reason = held_back(read, emitted[:count], in_reasoning)
        assert held == "" or held.startswith("<"), (read, held)
        assert in_reason or ">" not in held, (read, held)


tag_free = st.lists(st.sampled_from(TAG_FREE), max_size=10).map("".join).filter(
    lambda t: START not in t and END not in t)


@st.composite
def one_block(draw, in_reasoning):
    """A response with at most one reasoning block, at its start, and an
    answer without tags: where a whole response and a stream split alike."""
    reasoning, answer = draw(tag_free), draw(tag_free)
    if in_reasoning:
        return reasoning + END + answer
    return draw(st.sampled_from(["", START + reasoning + END])) + answer


@BOUNDED
@given(st.data(), inside)
def test_whole_response_splits_as_its_stream(data, in_reasoning):
    text, chunks = data.draw(chunked(one_block(in_reasoning)))
    message = cogsift.qorCogsift(starts_in_reasoning=in_reasoning).invoke(AIMessage(content=text), CONFIG)
    assert (message.content, message.reasoning_content) == joined(stream(chunks, in_reasoning)[0])
