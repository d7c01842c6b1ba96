"""Fixtures of the parser module: session stores (in-process and a private
Redis on loopback) and run configurations."""
import shutil
import socket
import subprocess
import time

import pytest

from utils import dbs


def make_config(session="s1", model="m1", prompt="How many tokens?", **extra):
    config = {"input": {"session_id": session}, "metadata": {"model_name": model, "prompt": prompt}}
    config.update(extra)
    return config


@pytest.fixture(scope="session")
def redis_url():
    binary = shutil.which("redis-server")
    if binary is None:
        pytest.skip("redis-server is not installed")
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    proc = subprocess.Popen([binary, "--port", str(port), "--bind", "127.0.0.1", "--save", "", "--appendonly", "no"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    url = f"redis://127.0.0.1:{port}/0"
    import redis

    client = redis.Redis.from_url(url)
    deadline = time.monotonic() + 10
    while True:
        try:
            client.ping()
            break
        except redis.exceptions.ConnectionError:
            if time.monotonic() > deadline or proc.poll() is not None:
                proc.kill()
                raise
            time.sleep(0.05)
    client.close()
    yield url
    proc.terminate()
    proc.wait(timeout=10)


@pytest.fixture
def memory_store():
    previous = dbs.set_session_store(dbs.MemorySessionStore())
    yield dbs.session_store()
    dbs.set_session_store(previous)


@pytest.fixture(params=["memory", "redis"])
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
