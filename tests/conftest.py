"""Test-suite set-up shared by every test directory.

The package's modules import the host service's modules (`configs`,
`utils.*`, `oxa_vector_client`); the stand-ins for them live in `service/`.
"""
import os
import signal
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
from checkout import guard_installed, path_entries  # noqa: E402

for entry in reversed(path_entries()):
    if entry not in sys.path:
        sys.path.insert(0, entry)

import hooks_build  # noqa: E402
from redis_servers import RedisServer, start_cluster, wait_for_redis  # noqa: E402

# tiktoken must never download its encoding: use the checked copy beside the
# project unless the environment already names one.
_shared = ROOT.parent / "shared" / "tiktoken"
if "TIKTOKEN_CACHE_DIR" not in os.environ and _shared.is_dir():
    os.environ["TIKTOKEN_CACHE_DIR"] = str(_shared)

hooks_build.load_requested()
guard_installed()

# A shell without job control starts its background commands with SIGINT
# ignored, and Python then never installs its KeyboardInterrupt handler; the
# Ctrl-C tests (and the processes they start) need the interpreter's own.
if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


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
        if item.get_closest_marker("test_hooks"):  # built and run in a child (tests/hooks_build.py)
            item.add_marker(pytest.mark.integration)
            item.add_marker(pytest.mark.slow)


@pytest.hookimpl(tryfirst=True)
def pytest_pyfunc_call(pyfuncitem):
    if pyfuncitem.get_closest_marker("test_hooks") and not hooks_build.present():
        hooks_build.run_in_child(pyfuncitem)
        return True
    return None


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
