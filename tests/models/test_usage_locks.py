"""Usage accounting shared by many threads, event loops, processes and hosts:
nothing is lost on the in-process store, a real Redis and a real Redis
Cluster, and the store's lock survives the failures an operator meets."""
import asyncio
import json
import os
import signal
import subprocess
import sys
import threading
import time

import pytest
import redis
from langchain_core.messages import AIMessage, AIMessageChunk

from community.models import cogsift
from redis_servers import RedisServer
from utils import dbs

from .conftest import make_config
from .usage_workers import KEYS, run_workers, worker_env

PARSER = cogsift.qorCogsift()
USAGE = {"prompt_tokens": 1, "completion_tokens": 2, "total_tokens": 3}


def _message():
    message = AIMessage(content="<think>r</think>a")
    message.usage = dict(USAGE)
    return message


def _stream_usage():
    prompt = len(cogsift.tokenizer.encode_ordinary("How many tokens?"))
    completion = len(cogsift.tokenizer.encode_ordinary("<think>r</think>a"))
    return {"prompt_tokens": prompt, "completion_tokens": completion, "total_tokens": prompt + completion}


def _chunks():
    return [AIMessageChunk(content=t) for t in ("<thi", "nk>r</th", "ink>", "a")]


async def _achunks():
    for chunk in _chunks():
        yield chunk


async def _drain(config):
    async for _ in PARSER.atransform(_achunks(), config):
        pass


async def _ticking(awaitable):
    """What `awaitable` gives, and the longest the event loop went without
    running a ticker task meanwhile."""
    gaps, last = [], time.perf_counter()

    async def ticker():
        nonlocal last
        while True:
            await asyncio.sleep(0.005)
            now = time.perf_counter()
            gaps.append(now - last)
            last = now

    tick = asyncio.create_task(ticker())
    try:
        result = await awaitable
        return result, max(gaps + [time.perf_counter() - last])
    finally:
        tick.cancel()


def _lock_keys(client):
    return [k for k in client.scan_iter(match="lock:*")]


@pytest.fixture(params=["memory", pytest.param("redis", marks=pytest.mark.integration),
                        pytest.param("cluster", marks=pytest.mark.integration)])
def any_store(request):
    if request.param == "memory":
        new = dbs.MemorySessionStore()
    elif request.param == "redis":
        new = dbs.RedisSessionStore(request.getfixturevalue("redis_url"))
    else:
        new = dbs.RedisClusterSessionStore(request.getfixturevalue("redis_cluster_url"))
    if request.param != "memory":
        new._redis.flushall()
    previous = dbs.set_session_store(new)
    yield new
    dbs.set_session_store(previous)
    new.close()


def test_threads_and_event_loops_mixed_lose_nothing(any_store):
    """16 threads, each alternating invoke, transform and a loop of
    concurrent atransform streams, on one record."""
    stream = _stream_usage()
    rounds, tasks = 6, 3

    def worker(index):
        config = make_config(session="mix")
        for i in range(rounds):
            kind = (index + i) % 3
            if kind == 0:
                PARSER.invoke(_message(), config)
            elif kind == 1:
                for _ in PARSER.transform(iter(_chunks()), config):
                    pass
            else:
                async def several():
                    await asyncio.gather(*(_drain(config) for _ in range(tasks)))

                asyncio.run(several())

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(16)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    counts = [0, 0, 0]
    for index in range(16):
        for i in range(rounds):
            counts[(index + i) % 3] += 1
    expected = {k: counts[0] * USAGE[k] + (counts[1] + counts[2] * tasks) * stream[k] for k in KEYS}
    assert dbs.get_redis_data("usage:mix", key="m1") == expected


@pytest.mark.integration
@pytest.mark.parametrize("processes, threads, calls, mode", [(4, 4, 40, "invoke"), (8, 1, 60, "mixed")])
@pytest.mark.parametrize("kind", ["redis", "cluster"])
def test_worker_processes_lose_nothing(request, kind, processes, threads, calls, mode):
    if kind == "redis":
        url = request.getfixturevalue("redis_url")
        client, env = redis.Redis.from_url(url, decode_responses=True), {"REDIS_URL": url}
        client.flushdb()
    else:
        url = request.getfixturevalue("redis_cluster_url")
        client, env = redis.RedisCluster.from_url(url, decode_responses=True), {"REDIS_CLUSTER_URL": url}
        client.flushall()
    try:
        report = run_workers(processes, threads, calls, mode, env)
        assert report["errors"] == []
        assert report["updates"] == processes * threads * calls
        assert json.loads(client.hget("usage:usage-workers", "m")) == report["added"]
        assert _lock_keys(client) == []
    finally:
        client.close()


class FakeLock:
    """A store lock that records how it is used."""

    def __init__(self, log, exit_error=None):
        self.log, self.exit_error = log, exit_error

    def __enter__(self):
        self.log.append("enter")

    def __exit__(self, *exc):
        self.log.append(("exit", exc[0]))
        if self.exit_error:
            raise self.exit_error

    async def __aenter__(self):
        await asyncio.sleep(0)
        self.log.append("enter")

    async def __aexit__(self, *exc):
        self.log.append(("exit", exc[0]))
        if self.exit_error:
            raise self.exit_error


def _run(entry, config):
    if entry == "invoke":
        PARSER.invoke(_message(), config)
    elif entry == "ainvoke":
        asyncio.run(PARSER.ainvoke(_message(), config))
    elif entry == "transform":
        list(PARSER.transform(iter(_chunks()), config))
    else:
        asyncio.run(_drain(config))


@pytest.mark.parametrize("entry", ["invoke", "ainvoke", "transform", "atransform"])
@pytest.mark.parametrize("stored, exit_error, raised, context", [
    (None, None, None, None),
    ("bad", None, TypeError, None),
    ("bad", RuntimeError("unlock failed"), RuntimeError, TypeError),
    (None, RuntimeError("unlock failed"), RuntimeError, None),
])
def test_store_lock_wraps_the_read_and_the_write(memory_store, monkeypatch, entry, stored, exit_error, raised,
                                                 context):
    """The lock is entered before the read and left after the write, or
    after the failure with its details; an error of the exit replaces the
    failure with it as context, as a `with` statement does."""
    log = []
    real_get, real_set = dbs.get_redis_data, dbs.hset_redis_data
    monkeypatch.setattr(cogsift, "lock_redis_data", lambda name, key: (log.append(("lock", name, key)),
                                                                        FakeLock(log, exit_error))[1])
    monkeypatch.setattr(cogsift, "get_redis_data", lambda name, key: (log.append("get"), real_get(name, key=key))[1])
    monkeypatch.setattr(cogsift, "hset_redis_data",
                        lambda name, key, value, ttl: (log.append("set"), real_set(name, key=key, value=value, ttl=ttl)))
    if stored is not None:
        memory_store.hset("usage:s1", "m1", json.dumps(stored))
    if raised is None:
        _run(entry, make_config())
    else:
        with pytest.raises(raised) as info:
            _run(entry, make_config())
        assert type(info.value.__context__) is (context or type(None))
    failed_update = stored is not None
    assert log == [("lock", "usage:s1", "m1"), "enter", "get"] + ([] if failed_update else ["set"]) + [
        ("exit", TypeError if failed_update else None)]


def test_store_without_lock_keeps_the_in_process_lock(memory_store, monkeypatch):
    monkeypatch.setattr(cogsift, "lock_redis_data", None)
    _run("invoke", make_config())
    asyncio.run(_drain(make_config()))
    assert dbs.get_redis_data("usage:s1", key="m1")["total_tokens"] == USAGE["total_tokens"] + \
        _stream_usage()["total_tokens"]


def test_async_stream_waits_for_the_lock_without_holding_the_loop(redis_url):
    store = dbs.RedisSessionStore(redis_url)
    store._redis.flushdb()
    previous = dbs.set_session_store(store)
    try:
        holder = dbs.lock_redis_data("usage:s1", "m1")
        holder.acquire()
        threading.Timer(0.4, holder.release).start()

        async def timed():
            started = time.perf_counter()
            await _drain(make_config())
            return time.perf_counter() - started

        waited, longest_gap = asyncio.run(_ticking(timed()))
        assert waited >= 0.3
        assert longest_gap < 0.2  # the loop kept running while the stream waited
        assert dbs.get_redis_data("usage:s1", key="m1") == _stream_usage()
    finally:
        dbs.set_session_store(previous)
        store.close()


@pytest.mark.parametrize("text, error", [
    ("not a record", json.JSONDecodeError),
    ('"text"', TypeError),
    ("[1, 2, 3]", TypeError),
    ('{"prompt_tokens": 1}', KeyError),
    ('{"prompt_tokens": "1", "completion_tokens": 0, "total_tokens": 0}', TypeError),
])
def test_foreign_field_fails_and_is_left_as_it_was(redis_url, text, error):
    store = dbs.RedisSessionStore(redis_url)
    store._redis.flushdb()
    store._redis.hset("usage:s1", "m1", text)
    previous = dbs.set_session_store(store)
    try:
        for _ in range(2):  # the second call finds the lock free again
            with pytest.raises(error):
                PARSER.invoke(_message(), make_config())
        assert store._redis.hget("usage:s1", "m1") == text
        assert _lock_keys(store._redis) == []
    finally:
        dbs.set_session_store(previous)
        store.close()


@pytest.mark.integration
def test_redis_unreachable_then_restarted(tmp_path):
    server = RedisServer(directory=tmp_path).start()
    store = dbs.RedisSessionStore(server.url)
    previous = dbs.set_session_store(store)
    try:
        PARSER.invoke(_message(), make_config())
        server.stop(save=True)
        with pytest.raises(redis.exceptions.ConnectionError):
            PARSER.invoke(_message(), make_config())
        server.start()
        assert dbs.get_redis_data("usage:s1", key="m1") == USAGE  # nothing half-written
        assert _lock_keys(store._redis) == []
        PARSER.invoke(_message(), make_config())  # the same client works again
        assert dbs.get_redis_data("usage:s1", key="m1") == {k: 2 * v for k, v in USAGE.items()}
    finally:
        dbs.set_session_store(previous)
        store.close()
        server.stop()


HOLDER = """
import sys, time
from langchain_core.messages import AIMessage
from community.models import cogsift
real_get = cogsift.get_redis_data
def stuck(name, key):
    real_get(name, key=key)
    print("holding", flush=True)
    time.sleep(120)
cogsift.get_redis_data = stuck
message = AIMessage(content="x")
message.usage = {"prompt_tokens": 100, "completion_tokens": 100, "total_tokens": 200}
cogsift.qorCogsift().invoke(message, {"input": {"session_id": "s1"}, "metadata": {"model_name": "m1"}})
"""


def test_holder_killed_while_holding_blocks_others_only_until_the_expiry(redis_url):
    client = redis.Redis.from_url(redis_url, decode_responses=True)
    client.flushdb()
    expiry = 1.5
    store = dbs.RedisSessionStore(redis_url, expiry=expiry)
    previous = dbs.set_session_store(store)
    env = worker_env({"REDIS_URL": redis_url, "QOR_CONF__service__redis_lock__expiry": str(expiry)})
    holder = subprocess.Popen([sys.executable, "-c", HOLDER], env=env, stdout=subprocess.PIPE, text=True)
    try:
        PARSER.invoke(_message(), make_config())
        assert holder.stdout.readline().strip() == "holding"
        os.kill(holder.pid, signal.SIGKILL)
        holder.wait()
        assert len(_lock_keys(client)) == 1
        started = time.monotonic()
        PARSER.invoke(_message(), make_config())
        waited = time.monotonic() - started
        assert 0.2 < waited < expiry + 1.0
        # Only the killed holder's own increment is missing.
        assert dbs.get_redis_data("usage:s1", key="m1") == {k: 2 * v for k, v in USAGE.items()}
    finally:
        if holder.poll() is None:
            holder.kill()
            holder.wait()
        holder.stdout.close()
        dbs.set_session_store(previous)
        store.close()
        client.close()


def test_lock_wait_gives_up_with_a_timeout(redis_url):
    store = dbs.RedisSessionStore(redis_url, expiry=30, wait=0.3)
    store._redis.flushdb()
    previous = dbs.set_session_store(store)
    try:
        holder = dbs.lock_redis_data("usage:s1", "m1")
        holder.acquire()
        try:
            with pytest.raises(dbs.SessionLockTimeout):
                PARSER.invoke(_message(), make_config())
            with pytest.raises(dbs.SessionLockTimeout):
                asyncio.run(_drain(make_config()))
        finally:
            holder.release()
        assert dbs.get_redis_data("usage:s1", key="m1") is None
        PARSER.invoke(_message(), make_config())
        assert dbs.get_redis_data("usage:s1", key="m1") == USAGE
    finally:
        dbs.set_session_store(previous)
        store.close()


STALE_HOLDER = """
import sys
from langchain_core.messages import AIMessage
from community.models import cogsift
real_get = cogsift.get_redis_data
def held(name, key):
    record = real_get(name, key=key)
    print("holding", flush=True)
    sys.stdin.readline()  # the lock is lost meanwhile
    return record
cogsift.get_redis_data = held
message = AIMessage(content="x")
message.usage = {"prompt_tokens": 100, "completion_tokens": 100, "total_tokens": 200}
try:
    cogsift.qorCogsift().invoke(message, {"input": {"session_id": "s1"}, "metadata": {"model_name": "m1"}})
    print("wrote", flush=True)
except Exception as exc:
    print(type(exc).__name__, flush=True)
"""


def _wait_until(condition, timeout):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "condition not met within %g s" % timeout
        time.sleep(0.02)


@pytest.mark.integration
@pytest.mark.parametrize("kind, disruption", [("redis", "stall"), ("cluster", "stall"), ("redis", "restart")])
def test_writer_that_lost_its_lock_never_overwrites_a_newer_total(request, tmp_path, kind, disruption):
    """A holder stopped (SIGSTOP) past its lock's expiry, or holding while
    the store restarts without persistence, gets the documented error when
    it resumes and writes nothing; every update that completed is kept."""
    server = None
    if kind == "cluster":
        url, variable, new = request.getfixturevalue("redis_cluster_url"), "REDIS_CLUSTER_URL", \
            dbs.RedisClusterSessionStore
    elif disruption == "restart":
        server = RedisServer().start()
        url, variable, new = server.url, "REDIS_URL", dbs.RedisSessionStore
    else:
        url, variable, new = request.getfixturevalue("redis_url"), "REDIS_URL", dbs.RedisSessionStore
    store = new(url)
    store._redis.flushall()
    previous = dbs.set_session_store(store)
    expiry = 1.0 if disruption == "stall" else 30.0
    env = worker_env({variable: url, "QOR_CONF__service__redis_lock__expiry": str(expiry)})
    PARSER.invoke(_message(), make_config())
    holder = subprocess.Popen([sys.executable, "-c", STALE_HOLDER], env=env, stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline().strip() == "holding"
        if disruption == "stall":
            os.kill(holder.pid, signal.SIGSTOP)
            _wait_until(lambda: _lock_keys(store._redis) == [], expiry + 2)
        else:
            server.stop()
            server.start()
        for _ in range(5):
            PARSER.invoke(_message(), make_config())
        os.kill(holder.pid, signal.SIGCONT)
        holder.stdin.write("go\n")
        holder.stdin.flush()
        assert holder.stdout.readline().strip() == "SessionLockLost"
        assert holder.wait(timeout=30) == 0
        done = 5 if disruption == "restart" else 6
        assert dbs.get_redis_data("usage:s1", key="m1") == {k: done * v for k, v in USAGE.items()}
        assert _lock_keys(store._redis) == []
    finally:
        if holder.poll() is None:
            os.kill(holder.pid, signal.SIGCONT)
            holder.kill()
            holder.wait()
        holder.stdin.close()
        holder.stdout.close()
        dbs.set_session_store(previous)
        store.close()
        if server is not None:
            server.stop()


@pytest.mark.integration
@pytest.mark.parametrize("freezes", ["before the lock", "under the lock"])
def test_frozen_store_never_holds_the_event_loop(monkeypatch, freezes):
    """Four streams and two whole responses ending together against a store
    that stopped answering (before their lock's first try, or once one of
    them holds the lock and reads): each fails with the client's timeout
    while the loop keeps running; the synchronous entry keeps the client's
    timeout and reports its error."""
    server = RedisServer().start()
    store = dbs.RedisSessionStore(server.url + "?socket_timeout=1")
    previous = dbs.set_session_store(store)
    try:
        PARSER.invoke(_message(), make_config())
        if freezes == "before the lock":
            os.kill(server.proc.pid, signal.SIGSTOP)
        else:
            def frozen_read(name, key):
                os.kill(server.proc.pid, signal.SIGSTOP)
                return dbs.get_redis_data(name, key=key)

            monkeypatch.setattr(cogsift, "get_redis_data", frozen_read)

        async def streams():
            calls = [_drain(make_config()) for _ in range(4)]
            calls += [PARSER.ainvoke(_message(), make_config()) for _ in range(2)]
            return await asyncio.gather(*calls, return_exceptions=True)

        outcomes, longest_gap = asyncio.run(_ticking(streams()))
        assert [type(o) for o in outcomes] == [redis.exceptions.TimeoutError] * 6
        assert longest_gap < 0.1
        started = time.monotonic()
        with pytest.raises(redis.exceptions.TimeoutError):
            PARSER.invoke(_message(), make_config())
        assert time.monotonic() - started >= 0.9
    finally:
        os.kill(server.proc.pid, signal.SIGCONT)
        dbs.set_session_store(previous)
        store.close()
        server.stop()


INTERRUPTED = """
import sys, threading, time
from langchain_core.messages import AIMessage
from community.models import cogsift
def invoke():
    message = AIMessage(content="x")
    message.usage = {"prompt_tokens": 1, "completion_tokens": 2, "total_tokens": 3}
    cogsift.qorCogsift().invoke(message, {"input": {"session_id": "s1"}, "metadata": {"model_name": "m1"}})
if sys.argv[1] == "in-process lock":  # a thread of this process waits for the store's lock meanwhile
    threading.Thread(target=invoke, daemon=True).start()
    time.sleep(0.3)
print("waiting", flush=True)
try:
    invoke()
except KeyboardInterrupt:
    print(time.time(), flush=True)
"""


@pytest.mark.integration
@pytest.mark.parametrize("waits_on", ["store lock", "in-process lock", "frozen store"])
def test_ctrl_c_lands_whatever_the_usage_update_waits_on(redis_url, waits_on):
    """SIGINT to a process whose invoke waits for the store's lock (held by
    another process), for its in-process lock (held by a thread waiting for
    the store's lock), or for a store that stopped answering: the
    KeyboardInterrupt lands within 0.5 s and no lock of its own is left."""
    server = RedisServer().start() if waits_on == "frozen store" else None
    url = server.url if server else redis_url
    client = redis.Redis.from_url(url, decode_responses=True)
    client.flushdb()
    holder = dbs.RedisFieldLock(client, "usage:s1", "m1", expiry=60)
    if server:
        os.kill(server.proc.pid, signal.SIGSTOP)
    else:
        holder.acquire()
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED, waits_on], env=worker_env({"REDIS_URL": url}),
                             stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "waiting"
        time.sleep(0.5)
        sent = time.time()
        child.send_signal(signal.SIGINT)
        landed = float(child.stdout.readline())
        assert landed - sent < 0.5
        assert child.wait(timeout=30) == 0
        if not server:
            assert _lock_keys(client) == [holder.name]
            assert client.get(holder.name) == holder._token  # still the holder's, never the child's
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
        child.stdout.close()
        if server:
            os.kill(server.proc.pid, signal.SIGCONT)
            server.stop()
        else:
            holder.release()
        client.close()
