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


# Calls that may block the event loop on the asynchronous paths because they
# are synchronous by design: each (file, functions) entry lets anything made
# inside those functions block. The external retriever's HTTP exchange needs
# no entry: its asynchronous entry makes it on a worker of its own pool.
BLOCKING_ALLOWED = [
    # The collection description is a synchronous call of the vector
    # database; a server-backed store answers it over the network.
    ("utils/dbs.py", {"get_collection"}),
    # The question is embedded by the vector store's own (synchronous) model.
    ("hostkit/embeddings.py", {"embed_query"}),
    # The usage update at the end of a stream is a read and a write of the
    # session store, both synchronous calls, made on the event loop.
    ("utils/dbs.py", {"get_redis_data", "hset_redis_data"}),
]


@pytest.fixture
def blockbuster():
    """Fails any blocking call made on a running event loop (file and socket
    I/O, sleeps, waits on held locks) outside BLOCKING_ALLOWED."""
    from blockbuster import blockbuster_ctx

    with blockbuster_ctx() as detector:
        for function in detector.functions.values():
            for filename, names in BLOCKING_ALLOWED:
                function.can_block_in(filename, names)
        yield detector
