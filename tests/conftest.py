"""Test-suite set-up shared by every test directory.

The package's modules import the host service's modules (`configs`,
`utils.*`, `oxa_vector_client`); the stand-ins for them live in `service/`.
"""
import os
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
for entry in (ROOT / "service", ROOT, ROOT / "tests"):
    if str(entry) not in sys.path:
        sys.path.insert(0, str(entry))

from redis_servers import RedisServer, start_cluster, wait_for_redis  # noqa: E402

# tiktoken must never download its encoding: use the checked copy beside the
# project unless the environment already names one.
_shared = ROOT.parent / "shared" / "tiktoken"
if "TIKTOKEN_CACHE_DIR" not in os.environ and _shared.is_dir():
    os.environ["TIKTOKEN_CACHE_DIR"] = str(_shared)


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


# Unit tests run in this process alone; a test that starts a server, a
# subprocess or a compiler is an integration test (`-m "not integration"`
# leaves those out). Tests using these fixtures are marked here; any other
# test that starts one without the mark fails, so the split stays true.
# Redis and Redis Cluster, the compiled probe of the binding layer, and the
# HTTP servers of the external retriever's tests.
INTEGRATION_FIXTURES = frozenset({"redis_url", "redis_cluster_url", "probe", "server", "other_server", "tls_server"})
STARTING_EVENTS = frozenset({"subprocess.Popen", "os.fork", "os.forkpty", "os.posix_spawn", "os.system",
                             "socket.bind"})
_started = None  # the events seen while an unmarked test runs, else None


def _record_start(event, args):
    if _started is not None and event in STARTING_EVENTS:
        _started.append(event)


sys.addaudithook(_record_start)


def pytest_collection_modifyitems(items):
    for item in items:
        if INTEGRATION_FIXTURES.intersection(item.fixturenames):
            item.add_marker(pytest.mark.integration)


@pytest.fixture(autouse=True)
def _unit_tests_stay_in_process(request):
    global _started
    if request.node.get_closest_marker("integration"):
        yield
        return
    _started = []
    try:
        yield
    finally:
        started, _started = _started, None
    if started:
        pytest.fail("started %s without the integration mark" % ", ".join(sorted(set(started))))
