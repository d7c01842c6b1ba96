"""Do the embedded engine's queries run in parallel on threads?

Two collections of --size synthetic passages (the scale benchmark's
generator) are written to two engine clients, each in a directory of its
own.  Then the dense query the retrievers send (nearest --limit hits) is run
on the shard directly, --calls times per thread: on one thread, on two
threads sharing one shard and on two threads with a shard each.  Printed per
run: queries per second, its ratio to one thread, and the process's CPU time
over wall time (near 2 when two queries compute at once on this 2-core
machine, near 1 when they take turns).

    .venv/bin/python bench/engine_threads.py [--size 10000] [--limit 300] [--calls 300]
"""
import argparse
import random
import threading
import time

import common  # noqa: F401  (sets up sys.path)
from common import using

import qdrant_edge as qe

from hostkit import HashingEmbeddings, QorVectorStore, synthetic
from utils.logger import logger
from utils.vector_engine import EngineClient


def build(size, encoder):
    client = EngineClient()
    with using(client, "engine"):
        store = QorVectorStore(collection_name="threads", embeddings=HashingEmbeddings(), create=False)
        store.ensure_collection(recreate=True)
        synthetic.load(store, size, encoder, seed=size)
    return client, client._get("threads").shard


def run(shards, requests, calls):
    def work(shard):
        for i in range(calls):
            shard.query(requests[i % len(requests)])

    threads = [threading.Thread(target=work, args=(shard,)) for shard in shards]
    wall, cpu = time.perf_counter(), time.process_time()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    return calls * len(shards) / wall, cpu / wall


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=10000)
    parser.add_argument("--limit", type=int, default=300)
    parser.add_argument("--calls", type=int, default=300)
    args = parser.parse_args()
    logger.setLevel("WARNING")
    encoder = synthetic.WordEncoder(synthetic.vocabulary())
    built = [build(args.size, encoder) for _ in range(2)]
    embed = HashingEmbeddings()
    rnd = random.Random(1)
    words = list(encoder.term_ids)
    requests = [qe.QueryRequest(limit=args.limit, query=qe.Query.Nearest(
        embed.embed_query(" ".join(rnd.choice(words) for _ in range(5))), using="dense"), with_payload=False)
        for _ in range(20)]
    (_, one), (_, other) = built
    run([one], requests, 20)  # warm both shards' pages
    run([other], requests, 20)
    print("| threads | queries/s | vs one thread | CPU / wall |")
    print("|---|---:|---:|---:|")
    base = None
    for label, shards in (("1", [one]), ("2, one shard", [one, one]), ("2, a shard each", [one, other])):
        rate, load = run(shards, requests, args.calls)
        base = base or rate
        print(f"| {label} | {rate:.0f} | {rate / base:.2f}x | {load:.2f} |")
    print(f"\n{args.size} passages per shard, nearest {args.limit} hits, {args.calls} queries per thread.")
    for client, _ in built:
        client.close()


if __name__ == "__main__":
    main()
