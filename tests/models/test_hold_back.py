"""The two hold-back modes of the streams hand on the same text: over the
documented streams, random streams and real outputs cut at random places,
the split text of each kind joined (flush included) and the text the usage
step counts are the same in both, whether the output starts inside the reasoning or not. Also
the option's values and the leading opening tag of an output that starts
inside the reasoning."""
import random

import pytest
from langchain_core.messages import AIMessage, AIMessageChunk

from community.models import cogsift

from .conftest import make_config
from .test_langchain import OUTPUT
from .test_stream import CASES, P
from .test_stream_equivalence import CONFIG, build, counted, random_layout  # noqa: F401 - fixture

REAL = [OUTPUT, "<think>We need n with n^2 < 50: if (n*n < 50) { count++; }</think>The count is <b>7</b>.",
        "<think>a</think>b<think>c</t", "</think><thi"]


def layouts(rng):
    """The documented streams, random ones, and real outputs cut anywhere."""
    for layout, _ in CASES.values():
        yield [(piece[1], piece[2]) if isinstance(piece, tuple) and piece[0] is P else (piece, None)
               for piece in layout]
    for _ in range(1500):
        yield random_layout(rng)
    for text in REAL:
        for _ in range(100):
            cuts = sorted(rng.sample(range(1, len(text)), rng.randint(0, min(30, len(text) - 1))))
            yield [(text[a:b], None) for a, b in zip([0, *cuts], [*cuts, len(text)])]


def joined(parser, layout, config):
    """The split text joined, each kind, and the number of items. Chunks that
    arrive with their reasoning split already are handed on as they are, in
    their place, whatever waits around them; they are left out here."""
    chunks = build(layout, False)
    passed = {id(c) for c, (_, reasoning) in zip(chunks, layout) if reasoning is not None}
    items = [(c.content, c.reasoning_content) for c in parser.transform(iter(chunks), config) if id(c) not in passed]
    return "".join(c for c, _ in items), "".join(r for _, r in items), len(items)


@pytest.mark.parametrize("starts_in_reasoning", [False, True])
def test_modes_hand_on_the_same_text(starts_in_reasoning, counted):  # noqa: F811 - fixture
    rng = random.Random(23 + starts_in_reasoning)
    parser = cogsift.qorCogsift(starts_in_reasoning=starts_in_reasoning)
    streams = more_items = 0
    for layout in layouts(rng):
        default = joined(parser, layout, CONFIG)
        counted_default = counted[-1]
        prefix = joined(parser, layout, {**CONFIG, "configurable": {"hold_back": "tag_prefix"}})
        assert prefix[:2] == default[:2], layout
        assert counted[-1] == counted_default, layout
        streams += 1
        more_items += prefix[2] > default[2]
    assert streams > 1900 and more_items > streams // 10  # the modes do cut differently


def test_option_values():
    assert cogsift.qorCogsift().hold_back == "candidate"
    assert cogsift.qorCogsift(hold_back="tag_prefix").hold_back == "tag_prefix"
    with pytest.raises(ValueError):
        cogsift.qorCogsift(hold_back="suffix")
    chunk = AIMessageChunk(content="x")
    for bad, error in (({"hold_back": 7}, TypeError), ({"configurable": {"hold_back": "none"}}, ValueError)):
        with pytest.raises(error, match="hold_back in the run configuration must be 'candidate' or 'tag_prefix'"):
            next(cogsift.qorCogsift().transform(iter([chunk]), make_config(**bad)))
        assert chunk.content == "x"  # nothing touched
    # The call wins over the field, a None entry leaves the field in force.
    parser = cogsift.qorCogsift(hold_back="tag_prefix")
    for config, first in ((CONFIG, "a < b"), ({**CONFIG, "hold_back": "candidate"}, "a "),
                          ({**CONFIG, "hold_back": None}, "a < b")):
        stream = parser.transform(iter([AIMessageChunk(content="<think>a < b"), AIMessageChunk(content="c")]),
                                  config)
        assert next(stream).reasoning_content == first


LEAD = ["<think>abc</think>x", "<think></think>x", "<think>a<think>b</think>c", "<thinkabc</think>x",
        " <think>a</think>x", "<think>abc", "<thi"]


@pytest.mark.parametrize("text", LEAD)
def test_leading_opening_tag_when_starting_in_reasoning(text, memory_store):
    """Removed at the very start only, the same for a whole response and a
    stream however it is cut, in both hold-back modes."""
    parser = cogsift.qorCogsift(starts_in_reasoning=True)
    whole = parser.invoke(AIMessage(content=text), make_config())
    if "</think>" in text:
        body, answer = text.split("</think>", 1)[0], text.rsplit("</think>", 1)[1]
        want = (answer, body[7:] if body.startswith("<think>") else body)
        assert (whole.content, whole.reasoning_content) == want
    else:  # never closed: the whole response keeps its text as the answer, a stream is all reasoning
        assert (whole.content, whole.reasoning_content) == (text, "")
        want = ("", text[7:] if text.startswith("<think>") else text)
    rng = random.Random(text)
    for n in range(60):
        cuts = sorted(rng.sample(range(1, len(text)), rng.randint(0, len(text) - 1)))
        pieces = [text[a:b] for a, b in zip([0, *cuts], [*cuts, len(text)])]
        config = make_config(hold_back="tag_prefix" if n % 2 else "candidate")
        items = list(parser.transform(iter([AIMessageChunk(content=p) for p in pieces]), config))
        assert ("".join(c.content for c in items), "".join(c.reasoning_content for c in items)) == want, pieces
    off = cogsift.qorCogsift().invoke(AIMessage(content="<think>abc</think>x"), make_config())
    assert (off.content, off.reasoning_content) == ("x", "abc")  # the default parse is unchanged
