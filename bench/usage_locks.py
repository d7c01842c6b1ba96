"""Usage updates of one session and model from many threads and processes.

For each store (in-process, a private Redis, a private three-master Redis
Cluster, all on loopback) and each shape (threads in one process, worker
processes x threads, streams mixed with whole responses), the workers make
their updates together; printed: updates per second and the increments lost
(stored totals against the sum of what the workers added), for the parser
and for the baseline, the same read and write without any lock.

    .venv/bin/python bench/usage_locks.py [--calls 200] [--only redis cluster] [--write-docs]

The figures depend on the machine's load; the lost counts of the parser must
be 0 in every row.
"""
import argparse
import json
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT / "tests"), str(ROOT / "tests" / "models"), str(ROOT / "service"), str(ROOT / "bench")]

import redis  # noqa: E402

from common import PrintedTables, write_docs  # noqa: E402
from redis_servers import RedisServer, start_cluster  # noqa: E402
from usage_workers import MODEL, SESSION, run_workers  # noqa: E402

SHAPES = [  # (label, processes, threads, parser mode)
    ("16 threads, 1 process", 1, 16, "invoke"),
    ("4 processes x 4 threads", 4, 4, "invoke"),
    ("8 processes x 1 thread", 8, 1, "invoke"),
    ("4 x 4, invoke/transform/atransform mixed", 4, 4, "mixed"),
]


def measure(store, client, env, calls):
    rows = []
    for label, processes, threads, mode in SHAPES:
        if store == "in-process" and processes > 1:
            continue  # one process's memory is not shared
        row = {"store": store, "shape": label}
        for variant, run_mode in (("parser", mode), ("baseline", "unprotected")):
            if client is not None:
                client.flushall()
            report = run_workers(processes, threads, calls, run_mode, env)
            if report["errors"]:
                raise RuntimeError("%s %s: %s" % (store, label, report["errors"][:3]))
            if client is None:
                # The in-process store lives in the worker: it reports what it holds.
                stored = report["stored"]
            else:
                stored = json.loads(client.hget("usage:" + SESSION, MODEL))
            added = report["added"]["prompt_tokens"]
            row[variant] = {"updates_per_s": report["updates"] / report["seconds"],
                            "lost_increments": added - stored["prompt_tokens"],
                            "lost_share": (added - stored["prompt_tokens"]) / added}
        rows.append(row)
        print_row(row)
    return rows


def print_row(row):
    p, b = row["parser"], row["baseline"]
    print("| %s | %s | %.0f | %d | %.0f | %d (%.0f%%) | %.2fx |" % (
        row["store"], row["shape"], p["updates_per_s"], p["lost_increments"], b["updates_per_s"],
        b["lost_increments"], 100 * b["lost_share"], p["updates_per_s"] / b["updates_per_s"]), flush=True)


def main():
    cli = argparse.ArgumentParser()
    cli.add_argument("--calls", type=int, default=200, help="updates per thread")
    cli.add_argument("--only", nargs="*", choices=("memory", "redis", "cluster"))
    cli.add_argument("--write-docs", action="store_true", help="also write the table into docs/benchmarks.md")
    args = cli.parse_args()
    printed = sys.stdout = PrintedTables(sys.stdout)
    only = set(args.only or ("memory", "redis", "cluster"))
    print("| Store | Workers | Parser, updates/s | Parser, lost | Baseline (no lock), updates/s "
          "| Baseline, lost | Parser ÷ baseline |")
    print("|---|---|---|---|---|---|---|")
    rows = []
    if "memory" in only:
        rows += measure("in-process", None, {"QOR_CONF__service__redis_url": "null"}, args.calls)
    if "redis" in only:
        server = RedisServer().start()
        client = redis.Redis.from_url(server.url, decode_responses=True)
        try:
            rows += measure("Redis", client, {"REDIS_URL": server.url}, args.calls)
        finally:
            client.close()
            server.stop()
    if "cluster" in only:
        with tempfile.TemporaryDirectory() as tmp:
            servers = start_cluster(Path(tmp))
            url = "redis://127.0.0.1:%d/0" % servers[0].port
            client = redis.RedisCluster.from_url(url, decode_responses=True)
            try:
                rows += measure("Redis Cluster (3 masters)", client, {"REDIS_CLUSTER_URL": url}, args.calls)
            finally:
                client.close()
                for s in servers:
                    s.stop()
    bad = [r for r in rows if r["parser"]["lost_increments"] != 0]
    if bad:
        print("LOST INCREMENTS in %d rows" % len(bad))
        sys.exit(1)
    if args.write_docs:
        write_docs(printed.copy.getvalue())


if __name__ == "__main__":
    main()
