"""Whole-response split and usage accounting: the table of cases, the usage
attribute, configuration defaults and the session found under
"configurable", failure order, and the stored record in both stores."""
import asyncio
import threading
import time

import pydantic
import pytest
import tiktoken
from langchain_core.messages import AIMessage

from community.models import cogsift
from utils import dbs

from .conftest import make_config, stored

ENC = tiktoken.get_encoding("cl100k_base")
PARSER = cogsift.qorCogsift()


@pytest.mark.parametrize("content, think, answer", [
    ("<think>abc</think>\n\nHello", "abc", "\n\nHello"),
    ("Hello", "", "Hello"),
    ("<think>abc", "", "<think>abc"),
    ("abc</think>Hello", "", "Hello"),
    ("pre<think>a</think>post", "a", "post"),
    ("<think>a</think>x<think>b</think>y", "a", "y"),
    ("<think>line1\nline2</think>ok", "line1\nline2", "ok"),
    ("<think></think>Hi", "", "Hi"),
    ("<think>x<think>y</think>z</think>w", "x<think>y", "w"),
    ("<think>\ud800</think>\ud801 <|endoftext|>", "\ud800", "\ud801 <|endoftext|>"),
])
def test_split_and_record(content, think, answer, store):
    message = AIMessage(content=content)
    assert PARSER.invoke(message, make_config(prompt="q")) is message
    assert (message.content, message.reasoning_content) == (answer, think)
    completion = len(ENC.encode_ordinary(answer))  # the reasoning is not counted
    assert stored() == {"prompt_tokens": 1, "completion_tokens": completion, "total_tokens": 1 + completion}


def test_accumulation(store):
    def call(usage, model="m1", config=None):
        message = AIMessage(content="x")
        message.usage = usage  # the message's own usage replaces counting; no prompt is needed
        PARSER.invoke(message, config or {"input": {"session_id": "s1"}, "metadata": {"model_name": model}})

    call({"prompt_tokens": 10, "completion_tokens": 5, "total_tokens": 15})
    assert stored() == {"prompt_tokens": 10, "completion_tokens": 5, "total_tokens": 15}
    call({"prompt_tokens": 3, "completion_tokens": 2, "total_tokens": 5})
    call({"prompt_tokens": 7})
    assert stored() == {"prompt_tokens": 20, "completion_tokens": 7, "total_tokens": 20}
    call({"prompt_tokens": 1, "completion_tokens": 1, "total_tokens": 9}, model="m2")
    assert stored(model="m2") == {"prompt_tokens": 1, "completion_tokens": 1, "total_tokens": 9}
    dbs.hset_redis_data("usage:s1", key="m1", value={}, ttl=600)  # an empty record counts as none
    call({"completion_tokens": 4})
    assert stored() == {"prompt_tokens": 0, "completion_tokens": 4, "total_tokens": 0}
    call({"prompt_tokens": 2}, config={"metadata": {"model_name": "m3"}})
    assert stored("default_session_id", "m3") == {"prompt_tokens": 2, "completion_tokens": 0, "total_tokens": 0}


@pytest.mark.parametrize("config, session, model", [
    ({"metadata": {"prompt": "q"}}, "default_session_id", "unknown_model"),
    # Inside a chain the session arrives under "configurable".
    ({"configurable": {"input": {"session_id": "c1"}}, "metadata": {"prompt": "q"}}, "c1", "unknown_model"),
    ({"input": {"session_id": "own"}, "configurable": {"input": {"session_id": "c1"}}, "metadata": {"prompt": "q"}},
     "own", "unknown_model"),
    ({"input": {}, "configurable": {"input": {"session_id": "c1"}}, "metadata": {"prompt": "q", "model_name": "m"}},
     "default_session_id", "m"),
    ({"configurable": {}, "metadata": {"prompt": "q"}}, "default_session_id", "unknown_model"),
])
def test_session_and_model_lookup(config, session, model, memory_store):
    PARSER.invoke(AIMessage(content="ok"), config)
    assert stored(session, model) == {"prompt_tokens": 1, "completion_tokens": 1, "total_tokens": 2}


class Forbidding(pydantic.BaseModel):
    model_config = pydantic.ConfigDict(extra="forbid")
    content: str


class Slotted:
    __slots__ = ("content",)

    def __init__(self, content):
        self.content = content


@pytest.mark.parametrize("message, config, error, after", [
    # Configuration errors come before the message is touched ...
    (AIMessage(content="<think>a</think>b"), None, TypeError, ("<think>a</think>b", None)),
    (AIMessage(content="<think>a</think>b"), {"input": "s"}, TypeError, ("<think>a</think>b", None)),
    (AIMessage(content="<think>a</think>b"), {"metadata": 3}, TypeError, ("<think>a</think>b", None)),
    # ... a message that refuses the attribute fails before its content changes ...
    (Forbidding(content="<think>a</think>b"), make_config(), ValueError, ("<think>a</think>b", None)),
    (Slotted("<think>a</think>b"), make_config(), AttributeError, ("<think>a</think>b", None)),
    # ... and counting or storing fails after it changed.
    (AIMessage(content="<think>a</think>b"), {}, KeyError, ("b", "a")),
    (AIMessage(content="<think>a</think>b"), {"metadata": {}}, KeyError, ("b", "a")),
    (AIMessage(content="<think>a</think>b"), make_config(session=5), TypeError, ("b", "a")),
])
def test_failure_order(message, config, error, after, memory_store):
    with pytest.raises(error):
        PARSER.invoke(message, config)
    assert (message.content, getattr(message, "reasoning_content", None)) == after
    assert dbs.get_redis_data("usage:s1") is None and dbs.get_redis_data("usage:default_session_id") is None


def test_malformed_stored_record_writes_nothing(memory_store):
    dbs.hset_redis_data("usage:s1", key="m1", value={"prompt_tokens": 1}, ttl=600)
    with pytest.raises(KeyError, match="completion_tokens"):
        PARSER.invoke(AIMessage(content="x"), make_config())
    assert stored() == {"prompt_tokens": 1}


def test_non_text_content_fails():
    with pytest.raises((TypeError, AttributeError)):
        PARSER.invoke(AIMessage(content=[{"type": "text", "text": "x"}]), make_config())


def test_calling_conventions(memory_store):
    message = AIMessage(content="<think>a</think>b")
    assert PARSER.invoke(input=message, config=make_config()) is message
    with pytest.raises(TypeError, match=r"invoke\(\) missing 1 required positional argument: 'config'"):
        PARSER.invoke(message)
    with pytest.raises(TypeError, match="unexpected keyword argument 'stop'"):
        PARSER.invoke(message, make_config(), stop=None)


def test_ainvoke_splits_and_stores_on_the_loop_thread(memory_store, monkeypatch):
    """Nothing runs before the coroutine is awaited; the split and the store
    calls then run on the event loop's own thread (no executor), the message
    changed before the store is written."""
    message = AIMessage(content="<think>a</think>b")
    coroutine = PARSER.ainvoke(message, make_config())
    assert message.content == "<think>a</think>b"
    writes, real_set = [], dbs.hset_redis_data

    def hset(name, key, value, ttl):
        writes.append((threading.current_thread(), message.content, message.reasoning_content))
        real_set(name, key=key, value=value, ttl=ttl)

    monkeypatch.setattr(cogsift, "hset_redis_data", hset)
    assert asyncio.run(coroutine) is message and (message.content, message.reasoning_content) == ("b", "a")
    assert writes == [(threading.main_thread(), "b", "a")]
    assert asyncio.run(PARSER.ainvoke(AIMessage(content="c"), config=make_config())).content == "c"
    assert stored()["prompt_tokens"] == 2 * len(ENC.encode("How many tokens?"))


def test_concurrent_updates_lose_nothing(store, monkeypatch):
    """The read and the write of one record are not interleaved by another
    thread; different records proceed side by side."""
    active, overlap, lock = {}, [0], threading.Lock()
    real_get, real_set = dbs.get_redis_data, dbs.hset_redis_data

    def get(name, key):
        with lock:
            active[name, key] = active.get((name, key), 0) + 1
            assert active[name, key] == 1, "two updates of one record overlap"
            overlap[0] = max(overlap[0], sum(active.values()))
        time.sleep(0.0005)  # widen the window between the read and the write
        return real_get(name, key=key)

    def hset(name, key, value, ttl):
        real_set(name, key=key, value=value, ttl=ttl)
        with lock:
            active[name, key] -= 1

    monkeypatch.setattr(cogsift, "get_redis_data", get)
    monkeypatch.setattr(cogsift, "hset_redis_data", hset)

    def worker(model):
        for _ in range(25):
            message = AIMessage(content="x")
            message.usage = {"prompt_tokens": 1, "completion_tokens": 2, "total_tokens": 3}
            PARSER.invoke(message, make_config(model=model))

    threads = [threading.Thread(target=worker, args=(f"m{i % 2}",)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for model in ("m0", "m1"):
        assert stored(model=model) == {"prompt_tokens": 100, "completion_tokens": 200, "total_tokens": 300}
    assert overlap[0] == 2  # the two records were updated concurrently
