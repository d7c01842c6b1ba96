"""Test-suite set-up shared by every test directory.

The package's modules import the host service's modules (`configs`,
`utils.*`, `oxa_vector_client`); the stand-ins for them live in `service/`.
"""
import os
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
from checkout import guard_installed, path_entries  # noqa: E402

for entry in reversed(path_entries()):
    if entry not in sys.path:
        sys.path.insert(0, entry)

from redis_servers import RedisServer, start_cluster, wait_for_redis  # noqa: E402

# tiktoken must never download its encoding: use the checked copy beside the
# project unless the environment already names one.
_shared = ROOT.parent / "shared" / "tiktoken"
if "TIKTOKEN_CACHE_DIR" not in os.environ and _shared.is_dir():
    os.environ["TIKTOKEN_CACHE_DIR"] = str(_shared)

guard_installed()


@pytest.fixture(scope="session")
def redis_url():
    """URL of a live Redis: $REDIS_URL, else a private redis-server on loopback."""
    url = os.environ.get("REDIS_URL")
    if url:
        wait_for_redis(url, timeout=2.0)
        yield url
        return
    server = RedisServer().start()
    try:
        yield server.url
    finally:
        server.stop()


@pytest.fixture(scope="session")
def redis_cluster_url(tmp_path_factory):
    """URL of one node of a live Redis Cluster: $REDIS_CLUSTER_URL, else three
    private masters on loopback."""
    url = os.environ.get("REDIS_CLUSTER_URL")
    if url:
        yield url
        return
    servers = start_cluster(tmp_path_factory.mktemp("redis-cluster"))
    try:
        yield "redis://127.0.0.1:%d/0" % servers[0].port
    finally:
        for server in servers:
            server.stop()
