"""The shared binding layer, exercised through a small probe extension."""
import asyncio
import gc
import inspect
import sys
import weakref

import pydantic
import pytest


class Resource:
    """An object whose release the tests can observe."""


def released(ref):
    gc.collect()
    return ref() is None


# --- calling convention ------------------------------------------------------


def test_arguments_bind_like_a_python_function(probe):
    assert probe.echo(1) == (1, "b-default", None, {})
    assert probe.echo(1, 2, c=3, x=4) == (1, 2, 3, {"x": 4})
    assert probe.echo(b=2, a=1) == (1, 2, None, {})
    assert probe.echo(*[1], **{"c": 5}) == (1, "b-default", 5, {})


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda f: f(), "echo() missing 1 required positional argument: 'a'"),
        (lambda f: f(1, 2, 3), "echo() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda f: f(1, a=2), "echo() got multiple values for argument 'a'"),
    ],
)
def test_argument_errors_use_the_interpreters_wording(probe, call, message):
    with pytest.raises(TypeError) as info:
        call(probe.echo)
    assert str(info.value) == message


def test_unexpected_keyword_without_var_keyword(probe):
    with pytest.raises(TypeError, match=r"^raise_cpp\(\) got an unexpected keyword argument 'other'$"):
        probe.raise_cpp("runtime", other=1)


def test_function_metadata_and_signature(probe):
    f = probe.echo
    assert (f.__name__, f.__qualname__, f.__module__, f.__doc__) == ("echo", "echo", "bindprobe", "Returns its arguments.")
    assert str(inspect.signature(f)) == "(a, b='b-default', *, c=None, **rest)"
    assert inspect.signature(probe.method_self).parameters.keys() == {"self", "x"}
    f.__dict__["extra"] = 1  # functions carry a __dict__, as functools.update_wrapper expects
    assert f.extra == 1
    with pytest.raises(TypeError):
        type(f)()  # cannot be created empty from Python


def test_binds_self_on_classes_and_instances(probe):
    class Host:
        method = probe.method_self
        cmethod = classmethod(probe.method_self)

    host = Host()
    assert host.method(1) == (host, 1)
    assert Host.method is probe.method_self  # plain function when read from the class
    assert Host.method(host, 2) == (host, 2)
    assert Host.cmethod(3) == (Host, 3)
    assert str(inspect.signature(host.method)) == "(x)"


@pytest.mark.parametrize(
    "kind, exc_type, message",
    [
        ("runtime", RuntimeError, "boom"),
        ("range", IndexError, "out of range"),
        ("value", ValueError, "bad value"),
        ("alloc", MemoryError, ""),
        ("python", KeyError, "'missing'"),
        ("other", RuntimeError, "unknown C++ exception"),
    ],
)
def test_cpp_errors_become_python_exceptions(probe, kind, exc_type, message):
    with pytest.raises(exc_type) as info:
        probe.raise_cpp(kind)
    assert type(info.value) is exc_type
    assert str(info.value) == message


# --- coroutines ----------------------------------------------------------------


async def value_after(delay, value):
    await asyncio.sleep(delay)
    return value


def test_coroutine_awaits_coroutines_futures_and_tasks(probe):
    async def main():
        loop = asyncio.get_running_loop()
        future = loop.create_future()
        loop.call_later(0.01, future.set_result, "future")
        task = asyncio.ensure_future(value_after(0, "task"))
        return await probe.gather_in_order([value_after(0.01, "coroutine"), future, task, asyncio.sleep(0, "sleep")])

    assert asyncio.run(main()) == ["coroutine", "future", "task", "sleep"]


def test_coroutines_interleave_on_one_loop(probe):
    async def main():
        slow = probe.gather_in_order([value_after(0.05, "slow")])
        fast = probe.gather_in_order([value_after(0.0, "fast")])
        order = []
        for finished in asyncio.as_completed([slow, fast]):
            order.append((await finished)[0])
        return order

    assert asyncio.run(main()) == ["fast", "slow"]


def test_awaited_exception_arrives_as_the_same_object(probe):
    error = LookupError("from python")

    async def failing():
        await asyncio.sleep(0)
        raise error

    async def main():
        with pytest.raises(LookupError) as info:
            await probe.gather_in_order([failing()])
        assert info.value is error
        caught = await probe.catch_from(failing())
        assert caught == ("caught", error) and caught[1] is error
        assert await probe.catch_from(value_after(0, 5)) == ("value", 5)

    asyncio.run(main())


@pytest.mark.parametrize(
    "call, exc_type, message",
    [
        (lambda p: p.await_then_fail(asyncio.sleep(0), "runtime"), RuntimeError, "boom"),
        (lambda p: p.raise_stop_iteration(1), RuntimeError, "coroutine raised StopIteration"),
        (lambda p: p.gather_in_order([42]), TypeError, "object int can't be used in 'await' expression"),
    ],
)
def test_coroutine_failures(probe, call, exc_type, message):
    async def main():
        return await call(probe)

    with pytest.raises(exc_type) as info:
        asyncio.run(main())
    assert str(info.value) == message


def test_coroutine_is_recognised_by_asyncio(probe):
    coro = probe.gather_in_order([])
    assert asyncio.iscoroutine(coro) and inspect.isawaitable(coro)
    assert asyncio.iscoroutinefunction(probe.gather_in_order)
    assert asyncio.run(coro) == []
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.send(None)


def test_cancellation_reaches_the_awaited_future_and_releases_the_frame(probe):
    resource = Resource()
    ref = weakref.ref(resource)

    async def main(held):
        task = asyncio.ensure_future(probe.hold_and_await(held, asyncio.sleep(10)))
        await asyncio.sleep(0.01)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    asyncio.run(main(resource))
    del resource
    assert released(ref)


def test_coroutine_protocol_without_an_event_loop(probe):
    class Pinger:
        """An awaitable whose iterator yields twice and returns what it was sent."""

        def __await__(self):
            first = yield "ping-1"
            second = yield "ping-2"
            return (first, second)

    coro = probe.gather_in_order([Pinger()])
    with pytest.raises(TypeError, match="just-started"):
        coro.send("too early")
    coro = probe.gather_in_order([Pinger()])
    assert coro.send(None) == "ping-1"
    assert coro.send("a") == "ping-2"
    with pytest.raises(StopIteration) as info:
        coro.send("b")
    assert info.value.value == [("a", "b")]

    coro = probe.catch_from(Pinger())
    assert coro.send(None) == "ping-1"
    error = ValueError("thrown")
    with pytest.raises(StopIteration) as info:
        coro.throw(error)  # raised inside Pinger.__await__, caught by the C++ body
    assert info.value.value == ("caught", error)

    resource = Resource()
    ref = weakref.ref(resource)
    coro = probe.hold_and_await(resource, Pinger())
    assert coro.send(None) == "ping-1"
    del resource
    coro.close()
    assert released(ref)


# --- generators ---------------------------------------------------------------


def test_generator_yields_lazily_and_fails_after_its_items(probe):
    seen = []

    def source():
        for i in range(3):
            seen.append(i)
            yield i

    gen = probe.yield_each(source())
    assert seen == []  # nothing runs before the first request
    assert next(gen) == 0 and seen == [0]
    assert list(gen) == [1, 2]
    assert list(gen) == []

    gen = probe.yield_then_fail([1, 2], "value")
    assert next(gen) == 1 and next(gen) == 2
    with pytest.raises(ValueError, match="bad value"):
        next(gen)
    with pytest.raises(StopIteration):
        next(gen)


def test_generator_close_and_throw(probe):
    resource = Resource()
    ref = weakref.ref(resource)
    gen = probe.yield_each([resource, 2, 3])
    assert next(gen) is resource
    gen.close()
    del resource
    assert released(ref)
    with pytest.raises(StopIteration):
        next(gen)

    gen = probe.yield_each([1, 2])
    next(gen)
    error = KeyError("into the frame")
    with pytest.raises(KeyError) as info:
        gen.throw(error)
    assert info.value is error
    with pytest.raises(ValueError, match="raised at once"):
        probe.yield_each([1]).throw(ValueError("raised at once"))


def test_generator_reentry_is_refused(probe):
    def source():
        yield next(gen)

    gen = probe.yield_each(source())
    with pytest.raises(ValueError, match="generator already executing"):
        next(gen)


# --- asynchronous generators ------------------------------------------------------


async def numbers(n, delay=0.0, error=None):
    for i in range(n):
        await asyncio.sleep(delay)
        yield i
    if error is not None:
        raise error


def test_async_generator_relays_items_and_errors(probe):
    error = OSError("source failed")

    async def main():
        assert [x async for x in probe.relay(numbers(3))] == [0, 1, 2]
        got = []
        with pytest.raises(OSError) as info:
            async for x in probe.relay(numbers(2, error=error)):
                got.append(x)
        assert got == [0, 1] and info.value is error
        gen = probe.relay(numbers(2))
        assert await anext(gen) == 0
        assert await gen.asend(None) == 1
        with pytest.raises(StopAsyncIteration):
            await anext(gen)
        with pytest.raises(StopAsyncIteration):
            await anext(gen)

    asyncio.run(main())


def test_async_generator_refuses_overlapping_steps_and_closes(probe):
    async def main():
        gen = probe.relay(numbers(5, delay=0.01))
        first = asyncio.ensure_future(anext(gen))
        await asyncio.sleep(0)
        with pytest.raises(RuntimeError, match="already running"):
            await anext(gen)
        assert await first == 0
        await gen.aclose()
        with pytest.raises(StopAsyncIteration):
            await anext(gen)

        gen = probe.relay(numbers(5))
        await anext(gen)
        error = ValueError("thrown")
        with pytest.raises(ValueError) as info:
            await gen.athrow(error)
        assert info.value is error

    asyncio.run(main())


def test_async_generator_cancelled_while_awaiting(probe):
    async def main():
        gen = probe.relay(numbers(5, delay=10))
        task = asyncio.ensure_future(anext(gen))
        await asyncio.sleep(0.01)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        with pytest.raises(StopAsyncIteration):
            await anext(gen)  # the cancellation ended the generator

    asyncio.run(main())


# --- classes ------------------------------------------------------------------------


def test_pydantic_model_defined_from_cpp(probe):
    Probe = probe.make_model(pydantic.BaseModel)
    assert (Probe.__name__, Probe.__qualname__, Probe.__module__, Probe.__doc__) == (
        "Probe", "Probe", "bindprobe", "A probe model.")
    assert list(Probe.model_fields) == ["required", "optional"]
    assert Probe.CONSTANT == ("a", "b")
    item = Probe(required=1)
    assert item.optional == "default"
    assert item.public_method(5) == (item, 5)
    assert item._private_method(6) == (item, 6)
    assert not Probe.__private_attributes__
    assert str(inspect.signature(Probe.public_method)) == "(self, x)"
    assert str(inspect.signature(item.public_method)) == "(x)"
    with pytest.raises(pydantic.ValidationError):
        Probe()
    assert asyncio.run(Probe.gather([value_after(0, 1)])) == [1]  # read from the class: unbound


def test_plain_class_defined_from_cpp(probe):
    class Base:
        pass

    Probe = probe.make_model(Base)
    assert Probe.__mro__[1] is Base
    assert Probe.optional == "default"
    instance = Probe()
    assert instance.public_method(1) == (instance, 1)


# --- references -------------------------------------------------------------------------


def test_reference_counts_are_exact_over_a_million_calls(probe):
    arg, kw = object(), object()
    before = (sys.getrefcount(arg), sys.getrefcount(kw))
    echo = probe.echo
    for _ in range(1_000_000):
        echo(arg, c=kw)
    assert (sys.getrefcount(arg), sys.getrefcount(kw)) == before

    for _ in range(100_000):
        coro = probe.gather_in_order([arg])
        with pytest.raises(TypeError):
            coro.send(None)
        assert list(probe.yield_each((arg,))) == [arg]
        with pytest.raises(KeyError):
            probe.raise_cpp("python")
    del coro
    assert (sys.getrefcount(arg), sys.getrefcount(kw)) == before
