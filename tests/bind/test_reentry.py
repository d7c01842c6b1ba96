"""Re-entry into a running driver, compared call for call with the
interpreter's own coroutines, generators and asynchronous generators."""
import gc

import pytest

# What a hook does to the driver from inside the awaited (or iterated) object.
CALLS = {
    "send": lambda d: d.send(None),
    "throw": lambda d: d.throw(KeyError("in")),
    "close": lambda d: d.close(),
    "next": lambda d: next(d),
    "asend": lambda d: d.asend(None).send(None),
    "athrow": lambda d: d.athrow(KeyError("in")).send(None),
    "aclose": lambda d: d.aclose().send(None),
    "anext": lambda d: d.__anext__().send(None),
}


def outcome(fn, *args):
    try:
        r = fn(*args)
    except StopIteration as e:
        return ("StopIteration", repr(e.value))
    except BaseException as e:  # noqa: BLE001 - every kind is compared
        return (type(e).__name__, str(e))
    return ("value", repr(r))


class Hook:
    """An awaitable whose iterator runs `action` on the driver inside `where`."""

    def __init__(self, where, action):
        self.where, self.action, self.driver, self.log = where, action, None, []

    def __await__(self):
        return self

    def __iter__(self):
        return self

    def _maybe(self, where):
        if where == self.where and self.driver is not None:
            self.log.append(outcome(CALLS[self.action], self.driver))

    def __next__(self):
        return self.send(None)

    def send(self, value):
        self._maybe("send")
        if value == "done":
            raise StopIteration("result")
        return "tick"

    def throw(self, *exc):
        self._maybe("throw")
        raise exc[0]

    def close(self):
        self._maybe("close")


async def py_gather(awaitables):
    results = []
    for a in awaitables:
        results.append(await a)
    return results


async def py_relay(source):
    async for item in source:
        yield item


class Source:
    """An async iterable whose every `__anext__` is the given awaitable."""

    def __init__(self, awaitable):
        self.awaitable = awaitable

    def __aiter__(self):
        return self

    def __anext__(self):
        return self.awaitable


def drive_coroutine(make, where, action):
    hook = Hook(where, action)
    d = make([hook])
    hook.driver = d
    steps = [outcome(d.send, None), outcome(d.send, 1)]
    steps.append(outcome(d.throw, ValueError("out")) if where == "throw" else outcome(d.close))
    steps.append(outcome(d.send, "done"))
    return steps + unique(hook.log)


def unique(log):
    # The interpreter's close() delegates to the awaited iterator even while
    # the frame runs, so a close that re-enters close recurses to the limit,
    # refused at every level: the refusals are compared, not their count.
    return list(dict.fromkeys(log))


def drive_async_generator(make, where, action):
    hook = Hook(where, action)
    d = make(Source(hook))
    hook.driver = d
    step = d.asend(None)
    steps = [outcome(step.send, None), outcome(step.send, 1)]
    if where == "throw":
        steps.append(outcome(step.throw, ValueError("out")))
    else:
        steps.append(outcome(d.aclose().send, None))
    steps.append(outcome(step.send, "done"))
    return steps + unique(hook.log)


@pytest.mark.parametrize("where", ["send", "throw", "close"])
@pytest.mark.parametrize("action", ["send", "throw", "close"])
def test_coroutine_refuses_reentry_like_python(probe, where, action):
    # The interpreter (3.11) itself crashes when the awaited iterator's throw
    # re-enters throw; it refuses that like a re-entering send.
    reference = ("throw", "send") if (where, action) == ("throw", "throw") else (where, action)
    assert drive_coroutine(probe.gather_in_order, where, action) == drive_coroutine(py_gather, *reference)


@pytest.mark.parametrize("where", ["send", "throw", "close"])
@pytest.mark.parametrize("action", ["asend", "athrow", "aclose", "anext"])
def test_async_generator_refuses_reentry_like_python(probe, where, action):
    assert drive_async_generator(probe.relay, where, action) == drive_async_generator(py_relay, where, action)


@pytest.mark.parametrize("action", ["send", "throw", "close", "next"])
def test_generator_refuses_reentry_from_its_iterable_like_python(probe, action):
    def run(make):
        log = []

        class Items:
            def __iter__(self):
                return self

            def __next__(self):
                log.append(outcome(CALLS[action], gen))
                raise StopIteration

        gen = make(Items())
        return [outcome(next, gen)] + log

    def py_yield_each(items):
        yield from iter(items)

    assert run(probe.yield_each) == run(py_yield_each)


@pytest.mark.parametrize("action", ["send", "throw", "close"])
def test_finalizers_reentering_a_closing_or_collected_coroutine(probe, action):
    """A local whose `__del__` calls back into the driver while the frame is
    torn down (by close, by dropping the driver, by the collector)."""

    def run(make, how):
        log = []

        class Calls:
            def __del__(self):
                log.append(outcome(CALLS[action], box[0]))

        class Pending:
            def __await__(self):
                yield "tick"

        box = [None]
        d = make(Calls(), Pending())
        box[0] = d
        d.send(None)
        if how == "close":
            d.close()
        else:
            del d
            gc.collect()  # the driver, its frame and the box form a cycle
        return log

    async def py_hold(resource, awaitable):
        keep = resource
        del resource
        return keep, await awaitable

    for how in ("close", "collect"):
        got = run(probe.hold_and_await, how)
        assert all(kind in ("ValueError", "RuntimeError", "KeyError", "value", "StopIteration")
                           for kind, _ in got), got
        if how == "close":
            assert got and got == run(py_hold, how)
