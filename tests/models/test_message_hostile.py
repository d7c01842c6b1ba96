"""Message objects whose extras keys and hooks fight back: the direct
attribute paths survive them and agree with plain setattr/getattr."""
import pytest
from langchain_core.messages import AIMessageChunk

from community.models import cogsift

from .test_message_attrs import observe, plain_emit


def outcome(action):
    try:
        action()
        return None
    except BaseException as exc:  # noqa: BLE001 - pydantic-core panics on a dict mutated under its dump
        return type(exc), str(exc)


class Key(str):
    """An extras key equal in hash to a tracked name whose comparison runs
    `action` on the message (replacing or emptying its extras)."""

    def __new__(cls, text, target, action):
        self = super().__new__(cls, text)
        self.target, self.action = target, action
        return self

    def __hash__(self):
        return str.__hash__(self)

    def __eq__(self, other):
        self.action(self.target)
        return str.__eq__(self, other)

    __ne__ = lambda self, other: not self.__eq__(other)  # noqa: E731


def replace_extras(msg):
    msg.__pydantic_extra__ = {"n": "replaced"}  # frees the dict being searched


def clear_extras(msg):
    msg.__pydantic_extra__.clear()


def drop_dict_entry(msg):
    msg.__dict__.pop("content", None)


def grow_extras(msg):
    extra = msg.__pydantic_extra__
    if "k0" not in extra:  # once: how often a key is compared is not part of the contract
        for i in range(8):  # resizes the table being searched
            extra[f"k{i}"] = i


ACTIONS = [replace_extras, clear_extras, drop_dict_entry, grow_extras, lambda msg: None]


def hostile(action, name):
    msg = AIMessageChunk(content="<think>a</think>b")
    msg.__pydantic_extra__[Key(name, msg, action)] = "hostile"
    return msg


def run_fast(msg):
    return outcome(lambda: list(cogsift.atransform([msg])))


@pytest.mark.test_hooks
@pytest.mark.parametrize("action", ACTIONS, ids=lambda a: getattr(a, "__name__", "none"))
@pytest.mark.parametrize("name", ["reasoning_content", "content"])
def test_hostile_extras_keys_match_the_plain_path(action, name):
    assert cogsift._fast_attributes()["extra"]
    for _ in range(50):
        ours, twin = hostile(action, name), hostile(action, name)
        assert run_fast(ours) == outcome(lambda: plain_emit(twin))
        assert (outcome(lambda: observe(ours)) or observe(ours)) == (outcome(lambda: observe(twin)) or observe(twin))
