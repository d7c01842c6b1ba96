"""Usage updates while a worker process holding the lock is stopped past
the lock's expiry, on a Redis and on a Redis Cluster.

3 worker processes x 2 threads update one session and model (whole
responses, usage 1/2/3); the lock expiry is short. Half-way through its
calls, one worker stops itself (SIGSTOP) right after it read the record
under the lock, and is continued after the stall. Printed per case: the
updates that completed without error, the ones that failed (a writer that
lost its lock gets SessionLockLost), and the increments lost: what the completed updates added against the
stored total. (A store restarted without persistence is covered by the
tests: tests/models/test_usage_locks.py.)

    .venv/bin/python bench/usage_fencing.py [--calls 400] [--expiry 1] [--stall 1.5] [--write-docs]

The lost count must be 0 in every row.
"""
import argparse
import json
import sys
import tempfile
from collections import Counter
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT / "tests"), str(ROOT / "tests" / "models"), str(ROOT / "service"), str(ROOT)]

import redis  # noqa: E402

from common import tables_into_docs  # noqa: E402
from redis_servers import RedisServer, start_cluster  # noqa: E402
from usage_workers import MODEL, SESSION, run_workers  # noqa: E402


def row(label, report, stored):
    errors = Counter(e.split("(")[0] for e in report["errors"])
    lost = report["added"]["prompt_tokens"] - stored["prompt_tokens"]
    print("| %s | %d | %s | %d |" % (label, report["updates"], ", ".join("%s %d" % kv for kv in errors.items()) or "0",
                                    lost), flush=True)
    return lost


def stalled(label, client, env, args):
    client.flushall()
    report = run_workers(3, 2, args.calls, "invoke", env, stall=(args.calls // 2, args.stall))
    return row(label, report, json.loads(client.hget("usage:" + SESSION, MODEL)))


def main():
    cli = argparse.ArgumentParser()
    cli.add_argument("--calls", type=int, default=400, help="updates per thread")
    cli.add_argument("--expiry", type=float, default=1.0, help="lock expiry, seconds")
    cli.add_argument("--stall", type=float, default=1.5, help="how long the first worker is stopped, seconds")
    cli.add_argument("--write-docs", action="store_true", help="also write the table into docs/benchmarks.md")
    args = cli.parse_args()
    with tables_into_docs(args.write_docs):
        cases(args)


def cases(args):
    print("| Case | Completed | Failed | Lost |")
    print("|---|---|---|---|")
    bad = []
    server = RedisServer().start()
    client = redis.Redis.from_url(server.url, decode_responses=True)
    try:
        env = {"REDIS_URL": server.url, "QOR_CONF__service__redis_lock__expiry": str(args.expiry)}
        bad.append(stalled("Redis, a holder stopped %g s (expiry %g s)" % (args.stall, args.expiry), client, env,
                           args))
    finally:
        client.close()
        server.stop()
    with tempfile.TemporaryDirectory() as tmp:
        servers = start_cluster(Path(tmp))
        url = "redis://127.0.0.1:%d/0" % servers[0].port
        client = redis.RedisCluster.from_url(url, decode_responses=True)
        try:
            env = {"REDIS_CLUSTER_URL": url, "QOR_CONF__service__redis_lock__expiry": str(args.expiry)}
            bad.append(stalled("Cluster, a holder stopped %g s (expiry %g s)" % (args.stall, args.expiry),
                               client, env, args))
        finally:
            client.close()
            for s in servers:
                s.stop()
    if any(bad):
        print("LOST INCREMENTS")
        sys.exit(1)


if __name__ == "__main__":
    main()
