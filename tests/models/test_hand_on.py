"""hand_on="copy": the parser splits copies of the messages it receives and
hands those on, so the chat model's own run record and its stream events keep
what the model wrote; "received" (the default) splits the received objects in
place, and the model's record loses the reasoning."""
import asyncio
import random

import pytest
from langchain_core.callbacks import BaseCallbackHandler
from langchain_core.language_models.fake_chat_models import FakeListChatModel
from langchain_core.messages import AIMessage
from langchain_core.outputs import ChatGeneration
from langchain_core.tracers.context import collect_runs

from community.models import cogsift

from .conftest import make_config, stored
from .test_hold_back import layouts
from .test_stream_equivalence import CONFIG, build, counted  # noqa: F401 - fixture

WHOLE = "<think>why</think>answer"
# The model's record when its chunks are split in place: the chunks that
# carried the tags keep them, those of the reasoning and answer hold the answer.
LOST = "<think></think>answer"


class ModelChunks(BaseCallbackHandler):
    """The chunk objects the chat model streamed, as its callbacks get them."""

    def __init__(self):
        self.chunks = []

    def on_llm_new_token(self, token, *, chunk=None, **kwargs):
        self.chunks.append(chunk.message)


async def events_of(chain, config):
    return [event async for event in chain.astream_events("q", config, version="v2")]


@pytest.mark.parametrize("entry", ["stream", "astream_events"])
@pytest.mark.parametrize("mode, model_record", [("received", LOST), ("copy", WHOLE)])
def test_model_record_and_stream_events(entry, mode, model_record, memory_store):
    # The fake model streams one character per chunk, so the tags are cut everywhere.
    chain = FakeListChatModel(responses=[WHOLE]) | cogsift.qorCogsift()
    seen = ModelChunks()
    config = make_config(hand_on=mode, callbacks=[seen])
    with collect_runs() as tracer:
        if entry == "stream":
            items = list(chain.stream("q", config))
        else:
            events = asyncio.run(events_of(chain, config))
            items = [e["data"]["chunk"] for e in events if e["event"] == "on_parser_stream"]
            streamed = [e["data"]["chunk"] for e in events if e["event"] == "on_chat_model_stream"]
            assert "".join(c.content for c in streamed) == model_record
            (end,) = [e["data"]["output"] for e in events if e["event"] == "on_chat_model_end"]
            assert end.content == model_record
    (model_run,) = [r for r in tracer.traced_runs[0].child_runs if r.run_type == "llm"]
    generation = model_run.outputs["generations"][0][0]
    assert generation["text"] == generation["message"]["kwargs"]["content"] == model_record
    assert "".join(c.content for c in seen.chunks) == model_record
    (parser_run,) = [r for r in tracer.traced_runs[0].child_runs if r.name == "qorCogsift"]
    assert parser_run.inputs["input"].content == model_record  # the parser's run records the model's chunks
    # The parser's output and usage are the same either way; only the objects differ.
    assert ("".join(c.content for c in items), "".join(c.reasoning_content for c in items)) == ("answer", "why")
    assert stored()["completion_tokens"] == cogsift.get_text_token_len(WHOLE)
    model_objects = {id(c) for c in seen.chunks}
    assert all((id(item) in model_objects) == (mode == "received") for item in items)


@pytest.mark.parametrize("field, entry, copies", [
    ("received", {}, False),
    ("copy", {}, True),
    ("received", {"hand_on": "copy"}, True),
    ("copy", {"configurable": {"hand_on": "received"}}, False),  # the call wins
    ("copy", {"hand_on": None}, True),
])
def test_whole_responses(field, entry, copies, memory_store):
    parser = cogsift.qorCogsift(hand_on=field)
    config = make_config(**entry)
    for call in ("invoke", "ainvoke", "parse_result"):
        message = AIMessage(content="<think>b</think>c", additional_kwargs={"reasoning_content": "a"})
        if call == "invoke":
            got = parser.invoke(message, config)
        elif call == "ainvoke":
            got = asyncio.run(parser.ainvoke(message, config))
        else:
            if entry:
                continue  # no run configuration: the field decides
            got = parser.parse_result([ChatGeneration(message=message)])
        assert (got.content, got.reasoning_content, got.additional_kwargs) == ("c", "ab", {"reasoning_content": "ab"})
        assert (got is not message) == copies
        if copies:
            assert message.content == "<think>b</think>c" and message.additional_kwargs == {"reasoning_content": "a"}
            assert not hasattr(message, "reasoning_content")


@pytest.mark.parametrize("plain", [False, True])
def test_copies_hand_on_what_the_split_in_place_does(plain, counted):  # noqa: F811 - fixture
    """Item by item the same text as the default, hold-back modes, pass-through
    chunks and the end-of-input item included, the same counted text, and the
    received chunks left as they came."""
    rng = random.Random(61 + plain)
    for n, layout in enumerate(layouts(rng)):
        options = {"hold_back": "tag_prefix" if n % 2 else "candidate", "starts_in_reasoning": n % 5 == 0}
        parser = cogsift.qorCogsift(**options)
        want = [(c.content, c.reasoning_content) for c in parser.transform(iter(build(layout, plain)), CONFIG)]
        want_counted = counted[-1]
        chunks = build(layout, plain)
        before = [vars(c).copy() if plain else c.model_dump() for c in chunks]
        items = list(parser.transform(iter(chunks), {**CONFIG, "hand_on": "copy"}))
        assert [(c.content, c.reasoning_content) for c in items] == want, layout
        assert counted[-1] == want_counted
        assert [vars(c) if plain else c.model_dump() for c in chunks] == before, layout
        assert not {id(c) for c in chunks} & {id(c) for c in items}


@pytest.mark.parametrize("entry", ["invoke", "transform", "atransform"])
def test_bad_values(entry, memory_store):
    parser = cogsift.qorCogsift()
    message = AIMessage(content="<think>a</think>b")
    for bad, error, text in (
        ({"hand_on": 7}, TypeError, "hand_on in the run configuration must be 'received' or 'copy', not int"),
        ({"configurable": {"hand_on": "clone"}}, ValueError,
         "hand_on in the run configuration must be 'received' or 'copy', not 'clone'"),
    ):
        async def source():
            yield message

        with pytest.raises(error, match=text):
            if entry == "invoke":
                parser.invoke(message, make_config(**bad))
            elif entry == "transform":
                next(parser.transform(iter([message]), make_config(**bad)))
            else:
                asyncio.run(parser.atransform(source(), make_config(**bad)).__anext__())
        assert message.content == "<think>a</think>b"
    with pytest.raises(ValueError, match="hand_on"):  # pydantic's validation of the field
        cogsift.qorCogsift(hand_on="clone")
