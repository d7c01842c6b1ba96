import json
import threading
import time
import uuid

import pytest
import redis

from utils import dbs
from utils.dbs import MemorySessionStore, RedisSessionStore, get_redis_data, hset_redis_data


@pytest.fixture(params=["memory", pytest.param("redis", marks=pytest.mark.integration)])
def store(request):
    if request.param == "redis":
        backend = RedisSessionStore(request.getfixturevalue("redis_url"))
    else:
        backend = MemorySessionStore()
    previous = dbs.set_session_store(backend)
    yield backend
    dbs.set_session_store(previous)
    backend.close()


@pytest.fixture
def name():
    return "usage:test-" + uuid.uuid4().hex


def test_round_trip_fields_and_fresh_mappings(store, name):
    assert get_redis_data(name, key="model-a") is None
    record = {"prompt_tokens": 10, "completion_tokens": 5, "total_tokens": 15}
    hset_redis_data(name, key="model-a", value=record, ttl=600)
    hset_redis_data(name, key="模型-b", value={"名": "值"}, ttl=600)
    record["prompt_tokens"] = 99
    got = get_redis_data(name, key="model-a")
    assert got == {"prompt_tokens": 10, "completion_tokens": 5, "total_tokens": 15}
    got["prompt_tokens"] += 3
    assert get_redis_data(name, key="model-a")["prompt_tokens"] == 10
    assert get_redis_data(name) == {"model-a": {"prompt_tokens": 10, "completion_tokens": 5, "total_tokens": 15},
                                    "模型-b": {"名": "值"}}
    assert get_redis_data(name, key="model-c") is None


def test_ttl_expires_the_whole_entry(store, name):
    hset_redis_data(name, key="a", value={"n": 1}, ttl=600)
    hset_redis_data(name, key="b", value={"n": 2}, ttl=0.3)  # the latest TTL wins for the entry
    assert get_redis_data(name, key="a") == {"n": 1}
    time.sleep(0.6)
    assert get_redis_data(name, key="a") is None and get_redis_data(name) is None


def test_memory_store_ttl_sweep_and_threads():
    now = [100.0]
    s = MemorySessionStore(clock=lambda: now[0])
    s.hset("e", "f", "1", ttl=600)
    now[0] += 599
    s.hset("e", "g", "2", ttl=600)  # refreshes the whole entry
    now[0] += 599
    assert s.hget("e", "f") == "1"
    now[0] += 1
    assert s.hget("e", "f") is None and s.hgetall("e") == {}
    s.hset("keep", "f", "1", ttl=None)
    s.hset("gone", "f", "1", ttl=0)
    assert s.hget("gone", "f") is None
    for i in range(100):
        s.hset("short-%d" % i, "f", "1", ttl=1)
    now[0] += 10 ** 6
    s.hset("new", "f", "1", ttl=600)  # expired entries are purged even if never read
    assert sorted(s._entries) == ["keep", "new"]

    def write(t):
        for i in range(200):
            s.hset("e", "%d-%d" % (t, i), str(i), ttl=600)

    threads = [threading.Thread(target=write, args=(t,)) for t in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(s.hgetall("e")) == 1600


def test_redis_layout_and_selection(redis_url, name, monkeypatch):
    previous = dbs.set_session_store(None)
    raw = redis.Redis.from_url(redis_url, decode_responses=True)
    try:
        monkeypatch.setenv("QOR_CONF__service__redis_url", "null")
        monkeypatch.delenv("REDIS_URL", raising=False)
        assert isinstance(dbs.session_store(), MemorySessionStore)
        dbs.set_session_store(None)
        monkeypatch.setenv("REDIS_URL", redis_url)
        hset_redis_data(name, key="gpt", value={"prompt_tokens": 3}, ttl=600)
        assert isinstance(dbs.session_store(), RedisSessionStore)
        assert raw.type(name) == "hash"
        assert json.loads(raw.hget(name, "gpt")) == {"prompt_tokens": 3}
        assert 590 < raw.ttl(name) <= 600
    finally:
        dbs.session_store().close()
        dbs.set_session_store(previous)
        raw.close()


@pytest.mark.parametrize("env, conf, expected", [
    ({}, {}, (None, False)),
    ({}, {"redis_url": "redis://a"}, ("redis://a", False)),
    ({}, {"redis_url": "redis://a", "redis_cluster_url": "redis://c"}, ("redis://c", True)),
    ({"REDIS_URL": "redis://e"}, {"redis_cluster_url": "redis://c"}, ("redis://e", False)),
    ({"REDIS_URL": "redis://e", "REDIS_CLUSTER_URL": "redis://ec"}, {}, ("redis://ec", True)),
])
def test_store_target_environment_before_configuration_cluster_before_single(monkeypatch, env, conf, expected):
    for var in ("REDIS_URL", "REDIS_CLUSTER_URL"):
        monkeypatch.delenv(var, raising=False)
    for var, value in env.items():
        monkeypatch.setenv(var, value)
    for key in ("redis_url", "redis_cluster_url"):
        monkeypatch.setenv("QOR_CONF__service__" + key, json.dumps(conf.get(key)))
    assert dbs._redis_target() == expected


def test_cluster_store_selected_with_its_lock_settings(redis_cluster_url, monkeypatch, name):
    previous = dbs.set_session_store(None)
    try:
        monkeypatch.delenv("REDIS_URL", raising=False)
        monkeypatch.setenv("REDIS_CLUSTER_URL", redis_cluster_url)
        monkeypatch.setenv("QOR_CONF__service__redis_lock__expiry", "2.5")
        hset_redis_data(name, key="m", value={"n": 1}, ttl=600)
        store = dbs.session_store()
        assert isinstance(store, dbs.RedisClusterSessionStore)
        assert get_redis_data(name, key="m") == {"n": 1}
        lock = dbs.lock_redis_data(name, key="m")
        assert lock.expiry == 2.5
        with lock:
            assert 0 < store._redis.pttl(lock.name) <= 2500
        assert store._redis.exists(lock.name) == 0
        dbs.set_session_store(MemorySessionStore())
        assert dbs.lock_redis_data(name, key="m") is None  # one process needs no store lock
    finally:
        dbs.session_store().close()
        dbs.set_session_store(previous)
