"""The parser's attribute writes and reads on message objects look exactly
like plain setattr/hasattr: each object is compared with a twin written by
plain Python, for LangChain messages (the direct path) and for every kind of
object that must take the interpreter's own path."""
import copy
import types

import pydantic
import pytest
from langchain_core.messages import AIMessage, AIMessageChunk, HumanMessage

from community.models import cogsift


class Allow(pydantic.BaseModel):
    model_config = pydantic.ConfigDict(extra="allow")
    content: str
    note: str = ""


class ChunkSubclass(AIMessageChunk):
    pass


class DeclaredField(pydantic.BaseModel):
    content: str
    reasoning_content: str = "declared"


class Forbid(pydantic.BaseModel):
    model_config = pydantic.ConfigDict(extra="forbid")
    content: str


class Ignore(pydantic.BaseModel):
    content: str


class Frozen(pydantic.BaseModel):
    model_config = pydantic.ConfigDict(extra="allow", frozen=True)
    content: str


class Validated(pydantic.BaseModel):
    model_config = pydantic.ConfigDict(extra="allow", validate_assignment=True)
    content: str


class WithProperty(pydantic.BaseModel):
    model_config = pydantic.ConfigDict(extra="allow")
    content: str
    _store: dict = pydantic.PrivateAttr(default_factory=dict)

    @property
    def reasoning_content(self):
        try:
            return self._store["rc"]
        except KeyError:
            raise AttributeError("reasoning_content") from None

    @reasoning_content.setter
    def reasoning_content(self, value):
        self._store["rc"] = value.upper()


class Recording(pydantic.BaseModel):
    model_config = pydantic.ConfigDict(extra="allow")
    content: str
    calls: list = []

    def __setattr__(self, name, value):
        self.calls.append(name)
        super().__setattr__(name, value)


class Plain:
    def __init__(self, content):
        self.content = content


class Slots:
    __slots__ = ("content",)

    def __init__(self, content):
        self.content = content


class SlotsWithReasoning:
    __slots__ = ("content", "reasoning_content")

    def __init__(self, content):
        self.content = content


FACTORIES = [AIMessageChunk, AIMessage, HumanMessage, ChunkSubclass, Allow, DeclaredField, Forbid, Ignore, Frozen,
             Validated, WithProperty, Recording, Plain, Slots, SlotsWithReasoning, types.SimpleNamespace]


def make(factory, content="<think>a</think>b"):
    return factory(content=content)


def outcome(action):
    try:
        action()
        return None
    except Exception as exc:  # compared by type and text
        return type(exc), str(exc)


def observe(obj):
    view = {"content": outcome(lambda: obj.content) or obj.content,
            "reasoning": outcome(lambda: obj.reasoning_content) or obj.reasoning_content,
            "has": hasattr(obj, "reasoning_content")}
    if isinstance(obj, pydantic.BaseModel):
        view.update(dump=obj.model_dump(), unset=obj.model_dump(exclude_unset=True), dict=dict(obj.__dict__),
                    extra=obj.__pydantic_extra__, fields_set=obj.__pydantic_fields_set__)
    elif hasattr(obj, "__dict__"):
        view["dict"] = dict(vars(obj))
    return view


def plain_emit(obj):
    """What the stream does to a chunk it splits, written with setattr."""
    if hasattr(obj, "reasoning_content"):
        return
    obj.content = "b"
    obj.reasoning_content = "a"


@pytest.mark.parametrize("factory", FACTORIES, ids=lambda f: f.__name__)
def test_writes_and_reads_match_plain_setattr(factory):
    ours, twin = make(factory), make(factory)
    got = outcome(lambda: list(cogsift.atransform([ours])))
    assert got == outcome(lambda: plain_emit(twin))
    assert observe(ours) == observe(twin)
    if isinstance(ours, pydantic.BaseModel):
        assert ours == twin and copy.copy(ours) == copy.copy(twin) and ours.model_copy() == twin.model_copy()
    if got is None:  # a second pass finds the attribute: the chunk passes through unchanged
        before = observe(ours)
        assert [c is ours for c in cogsift.atransform([ours])] == [True]
        assert observe(ours) == before


@pytest.mark.test_hooks
def test_messages_take_the_direct_path():
    assert cogsift._fast_attributes() == {"extra": True, "field": True}


def test_class_changes_after_first_use_are_seen():
    class Dynamic(pydantic.BaseModel):
        model_config = pydantic.ConfigDict(extra="allow")
        content: str

    list(cogsift.atransform([make(Dynamic)]))  # cached as a plain extra-allowing model
    seen = []
    Dynamic.reasoning_content = property(lambda self: seen[-1] if seen else (_ for _ in ()).throw(AttributeError()),
                                         lambda self, value: seen.append(value))
    chunk = make(Dynamic)
    list(cogsift.atransform([chunk]))
    assert seen == ["a"] and "reasoning_content" not in chunk.__pydantic_extra__

    class Later(pydantic.BaseModel):
        model_config = pydantic.ConfigDict(extra="allow")
        content: str

    list(cogsift.atransform([make(Later)]))
    Later.model_config["extra"] = "forbid"  # changed in place: pydantic reads it on every setattr
    ours, twin = make(Later), make(Later)
    assert outcome(lambda: list(cogsift.atransform([ours]))) == outcome(lambda: plain_emit(twin))
    assert observe(ours) == observe(twin)
