"""Test-suite set-up shared by every test directory.

The package's modules import the host service's modules (`configs`,
`utils.*`, `oxa_vector_client`); the stand-ins for them live in `service/`.
"""
import os
import shutil
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
for entry in (ROOT / "service", ROOT):
    if str(entry) not in sys.path:
        sys.path.insert(0, str(entry))

# tiktoken must never download its encoding: use the checked copy beside the
# project unless the environment already names one.
_shared = ROOT.parent / "shared" / "tiktoken"
if "TIKTOKEN_CACHE_DIR" not in os.environ and _shared.is_dir():
    os.environ["TIKTOKEN_CACHE_DIR"] = str(_shared)


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
