import os
import shutil
import socket
import subprocess
import sys
import time
import uuid
from pathlib import Path

import pytest

SERVICE_DIR = Path(__file__).resolve().parents[2] / "service"
if str(SERVICE_DIR) not in sys.path:
    sys.path.insert(0, str(SERVICE_DIR))


def _free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _wait_for_redis(url, proc=None, timeout=10.0):
    import redis

    client = redis.Redis.from_url(url)
    deadline = time.monotonic() + timeout
    try:
        while True:
            try:
                if client.ping():
                    return
            except redis.exceptions.ConnectionError:
                if proc is not None and proc.poll() is not None:
                    raise RuntimeError("redis-server exited with status %s" % proc.returncode)
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)
    finally:
        client.close()


@pytest.fixture(scope="session")
def redis_url():
    """URL of a live Redis: $REDIS_URL, else a private redis-server on loopback."""
    url = os.environ.get("REDIS_URL")
    if url:
        _wait_for_redis(url, timeout=2.0)
        yield url
        return
    binary = shutil.which("redis-server")
    if binary is None:
        pytest.fail("redis-server not found on PATH: install it (Debian package redis-server) "
                    "or set REDIS_URL to a running Redis", pytrace=False)
    port = _free_port()
    proc = subprocess.Popen(
        [binary, "--port", str(port), "--bind", "127.0.0.1", "--save", "", "--appendonly", "no"],
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
    )
    url = "redis://127.0.0.1:%d/0" % port
    try:
        _wait_for_redis(url, proc)
        yield url
    finally:
        proc.terminate()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


@pytest.fixture(scope="session")
def corpus_store():
    """The demonstration corpus indexed into a collection of its own."""
    from hostkit import index_corpus

    return index_corpus(collection_name="test_corpus_" + uuid.uuid4().hex[:8])


@pytest.fixture
def collection_name():
    """A fresh collection name; the collection is dropped afterwards."""
    from utils import dbs

    name = "test_tmp_" + uuid.uuid4().hex[:8]
    yield name
    with dbs.client_session() as client:
        if client.collection_exists(name):
            client.delete_collection(name)
