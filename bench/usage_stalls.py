"""How long a usage update holds its caller when the session store stops
answering, and how fast Ctrl-C lands while an update waits.

1. A private Redis (socket_timeout 1 s in the URL) is frozen (SIGSTOP); 4
   concurrent ``atransform`` streams end together, then 4 concurrent
   ``ainvoke`` calls run; printed, for each: the longest time
   the event loop went without running a 5 ms ticker, and how each stream
   ended; then how long ``invoke`` took to report the store's error.
2. A child process's ``invoke`` waits for the usage lock, held by this
   process (directly, or through another thread of the child waiting for
   it); printed: seconds from SIGINT to the child's KeyboardInterrupt.

    .venv/bin/python bench/usage_stalls.py [--write-docs]
"""
import asyncio
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT / "tests"), str(ROOT / "service"), str(ROOT)]
os.environ.setdefault("TIKTOKEN_CACHE_DIR", str(ROOT.parent / "shared" / "tiktoken"))

import redis  # noqa: E402

from common import tables_into_docs  # noqa: E402
from models.test_usage_locks import INTERRUPTED, PARSER, _drain, _message, _ticking  # noqa: E402
from models.conftest import make_config  # noqa: E402
from models.usage_workers import worker_env  # noqa: E402
from redis_servers import RedisServer  # noqa: E402
from utils import dbs  # noqa: E402


def frozen_store():
    server = RedisServer().start()
    store = dbs.RedisSessionStore(server.url + "?socket_timeout=1")
    dbs.set_session_store(store)
    try:
        PARSER.invoke(_message(), make_config())
        os.kill(server.proc.pid, signal.SIGSTOP)

        async def streams():
            return await asyncio.gather(*(_drain(make_config()) for _ in range(4)), return_exceptions=True)

        async def whole_responses():
            return await asyncio.gather(*(PARSER.ainvoke(_message(), make_config()) for _ in range(4)),
                                        return_exceptions=True)

        for label, calls in (("4 atransform streams", streams), ("4 ainvoke calls", whole_responses)):
            started = time.perf_counter()
            outcomes, gap = asyncio.run(_ticking(calls()))
            print("| frozen store, %s | longest event-loop stall %.3f s; the calls ended after %.2f s with %s |"
                  % (label, gap, time.perf_counter() - started, ", ".join(sorted({type(o).__name__ for o in outcomes}))))
        started = time.perf_counter()
        try:
            PARSER.invoke(_message(), make_config())
        except redis.exceptions.TimeoutError:
            print("| frozen store, invoke | TimeoutError after %.2f s |" % (time.perf_counter() - started))
    finally:
        os.kill(server.proc.pid, signal.SIGCONT)
        store.close()
        server.stop()


def ctrl_c(waits_on):
    server = RedisServer().start()
    client = redis.Redis.from_url(server.url, decode_responses=True)
    holder = dbs.RedisFieldLock(client, "usage:s1", "m1", expiry=60)
    holder.acquire()
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED, waits_on], env=worker_env({"REDIS_URL": server.url}),
                             stdout=subprocess.PIPE, text=True)
    try:
        child.stdout.readline()
        time.sleep(0.5)
        sent = time.time()
        child.send_signal(signal.SIGINT)
        landed = float(child.stdout.readline())
        print("| Ctrl-C while invoke waits for the %s | KeyboardInterrupt after %.3f s; lock keys left: %s |" % (
            waits_on, landed - sent, [k for k in client.scan_iter(match="lock:*") if k != holder.name]))
    finally:
        child.kill()
        child.wait()
        holder.release()
        client.close()
        server.stop()


if __name__ == "__main__":
    with tables_into_docs("--write-docs" in sys.argv[1:]):
        print("Private Redis, socket_timeout 1 s.\n\n| case | result |\n|---|---|")
        frozen_store()
        ctrl_c("store lock")
        ctrl_c("in-process lock")
