"""Fixtures of the parser module: session stores (in-process and a private
Redis on loopback) and run configurations."""
import pytest

from utils import dbs


def make_config(session="s1", model="m1", prompt="How many tokens?", **extra):
    config = {"input": {"session_id": session}, "metadata": {"model_name": model, "prompt": prompt}}
    config.update(extra)
    return config


@pytest.fixture
def memory_store():
    previous = dbs.set_session_store(dbs.MemorySessionStore())
    yield dbs.session_store()
    dbs.set_session_store(previous)


@pytest.fixture(params=["memory", pytest.param("redis", marks=pytest.mark.integration)])
def store(request):
    """The session store of the host stand-ins, in-process and on Redis."""
    if request.param == "memory":
        new = dbs.MemorySessionStore()
    else:
        new = dbs.RedisSessionStore(request.getfixturevalue("redis_url"))
        new._redis.flushdb()
    previous = dbs.set_session_store(new)
    yield new
    dbs.set_session_store(previous)
    new.close()


def stored(session="s1", model="m1"):
    return dbs.get_redis_data("usage:" + session, key=model)
