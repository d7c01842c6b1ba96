"""What suspended compiled frames hold is visible to the cyclic garbage
collector: abandoned coroutines, generators and asynchronous generators in
reference cycles are collected as the interpreter's own are, and nothing a
live frame holds is ever freed under it."""
import gc
import weakref

import pytest


class Resource:
    """Something a frame holds; `ref` closes the cycle back to the driver."""

    ref = None


class Pending:
    def __await__(self):
        yield "tick"
        return "done"


class Items:
    """An iterable (sync and async) over `values`, holding whatever `ref` is set to."""

    ref = None

    def __init__(self, *values):
        self.values = list(values)

    def __iter__(self):
        return iter(self.values)

    def __aiter__(self):
        return self

    def __anext__(self):
        return self._next()

    async def _next(self):
        if not self.values:
            raise StopAsyncIteration
        return self.values.pop(0)


def start(kind, probe):
    """A suspended driver whose frame holds the returned object (through a
    parameter, and a local or iterator of the frame), plus how to resume it."""
    if kind == "coroutine":
        held = Resource()
        d = probe.hold_and_await(held, Pending())
        assert d.send(None) == "tick"
        return d, held, lambda: _finish_coroutine(d)
    if kind == "coroutine-not-started":
        held = Resource()
        d = probe.hold_and_await(held, Pending())
        return d, held, lambda: _finish_coroutine(d, started=False)
    if kind == "generator":
        held = Items("a", "b")
        d = probe.yield_each(held)
        assert next(d) == "a"
        return d, held, lambda: list(d)
    if kind == "async-generator":
        held = Items("a", "b")
        d = probe.relay(held)
        _run(d.__anext__())
        return d, held, lambda: _run(d.__anext__())
    raise AssertionError(kind)


def _run(awaitable):
    try:
        awaitable.send(None)
    except StopIteration as e:
        return e.value
    raise AssertionError("suspended")


def _finish_coroutine(d, started=True):
    if not started:
        d.send(None)
    try:
        d.send(None)
    except StopIteration as e:
        return e.value
    raise AssertionError("suspended")


KINDS = ["coroutine", "coroutine-not-started", "generator", "async-generator"]


@pytest.mark.parametrize("kind", KINDS)
def test_abandoned_driver_in_a_cycle_through_its_frame_is_collected(probe, kind):
    d, held, resume = start(kind, probe)
    del resume
    held.ref = d  # held -> driver -> frame -> held
    alive = weakref.ref(held)
    del d, held
    gc.collect()
    assert alive() is None


@pytest.mark.parametrize("kind", KINDS)
def test_collection_leaves_what_a_live_frame_holds(probe, kind):
    """The frame's references are counted as the driver's only while the
    driver is reachable from them: a frame that lives on keeps everything."""
    d, held, resume = start(kind, probe)
    held.ref = d
    alive = weakref.ref(held)
    del held
    for _ in range(3):
        gc.collect()
    assert alive() is not None
    result = resume()
    assert result == ((alive(), "done") if kind.startswith("coroutine") else "b" if kind == "async-generator"
                      else ["b"])


def test_collection_from_inside_a_running_frame(probe):
    """gc.collect() while the frame runs (from the iterable it reads), the
    frame in a cycle: the running frame is left as it is and finishes."""
    seen = []

    class Source:
        def __init__(self):
            self.items = iter(["a", "b"])

        def __iter__(self):
            return self

        def __next__(self):
            gc.collect()
            return next(self.items)

    src = Source()
    src.ref = probe.yield_each(src)
    seen.append(next(src.ref))
    alive = weakref.ref(src)
    driver = src.ref
    del src
    seen.extend(driver)
    assert seen == ["a", "b"]
    del driver
    gc.collect()
    assert alive() is None
