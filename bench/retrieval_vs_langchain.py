"""One retrieval on the embedded vector database, next to LangChain's own
retriever over the same store.

The demonstration corpus is indexed into the embedded database; the
package's VectorStoreRetriever and LangChain's VectorStoreRetriever (the
store's ``as_retriever``) answer the same question with k=3, in one process.
Each figure is the median (min..max) over the samples of one call's time,
each sample `--calls` calls long. The last table splits a hybrid retrieval
into the database's own work (the query call alone, on this thread) and
everything else.

    .venv/bin/python bench/retrieval_vs_langchain.py [--calls 20] [--samples 5]
"""
import argparse
import asyncio
import time

import common  # noqa: F401  (sets up sys.path)
from common import fmt_time, print_table

from community.retrievers import qor
from oxa_vector_client.http import models
from utils import dbs

QUESTION = "How do I install the client on Windows?"


def sample(fn, calls, samples):
    fn()
    runs = []
    for _ in range(samples):
        start = time.perf_counter()
        for _ in range(calls):
            fn()
        runs.append((time.perf_counter() - start) / calls)
    runs.sort()
    return runs[len(runs) // 2], runs[0], runs[-1]


def fmt(stat):
    return "%s (%s..%s)" % tuple(fmt_time(v) for v in stat)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=20)
    parser.add_argument("--samples", type=int, default=5)
    args = parser.parse_args()

    from hostkit.corpus import index_corpus

    store = index_corpus()
    ours = qor.VectorStoreRetriever(
        vectorstore=store, search_kwargs={"filter": models.Filter(must=[]), "k": 3, "score_threshold": None},
        post_process_kwargs={"weight": 1.0})
    theirs = store.as_retriever(search_kwargs={"k": 3})
    dense = store.embeddings.embed_query(QUESTION)
    sparse = store.sparse_encoder.encode_query(QUESTION)
    shapes = {
        "text": {"query": QUESTION},
        "dense": {"query": QUESTION, "embedding": dense},
        "hybrid": {"query": QUESTION, "embedding": dense, "bm25": sparse},
    }
    loop = asyncio.new_event_loop()

    def on_loop(coro_fn):
        return lambda: loop.run_until_complete(coro_fn())

    c, s = args.calls, args.samples
    lc_sync = sample(lambda: theirs.invoke(QUESTION), c, s)
    lc_async = sample(on_loop(lambda: theirs.ainvoke(QUESTION)), c, s)
    rows = []
    for entry, base in (("invoke", lc_sync), ("ainvoke on a running loop", lc_async)):
        for shape, inputs in shapes.items():
            if entry == "invoke":
                stat = sample(lambda: ours.invoke(inputs), c, s)
            else:
                stat = sample(on_loop(lambda: ours.ainvoke(inputs)), c, s)
            rows.append([entry, shape, fmt(stat), fmt(base), "%.2fx" % (stat[0] / base[0])])
    print_table("One retrieval, k=3, embedded database (%d calls per sample, median of %d)" % (c, s),
                ["entry", "input", "this package", "LangChain VectorStoreRetriever", "ratio"], rows)

    # Where a hybrid retrieval's time goes: the database call itself is
    # timed inside the query pool's thread.
    hybrid = shapes["hybrid"]
    spent = []
    query_points = dbs._query_points

    def timed_query(*a, **kw):
        start = time.perf_counter()
        try:
            return query_points(*a, **kw)
        finally:
            spent.append(time.perf_counter() - start)

    rows = []
    for label, fn in (("invoke", lambda: ours.invoke(hybrid)),
                      ("ainvoke on a running loop", on_loop(lambda: ours.ainvoke(hybrid)))):
        dbs._query_points = timed_query
        try:
            spent.clear()
            total = sample(fn, c, s)
            db = sorted(spent)[len(spent) // 2]
        finally:
            dbs._query_points = query_points
        rows.append([label, fmt(total), fmt_time(db), fmt_time(total[0] - db), "%.0f%%" % (100 * db / total[0])])
    print_table("A hybrid retrieval: the database's work and everything else",
                ["entry", "whole call", "database query (median)", "everything else", "database share"], rows)
    parts = [("get_collection", lambda: dbs.get_collection(store.collection_name)),
             ("asyncio.run of a no-op coroutine", lambda: asyncio.run(_noop()))]
    print_table("Per-call set-up", ["step", "time of one call"], [[l, fmt(sample(f, c, s))] for l, f in parts])
    loop.close()


async def _noop():
    return None


if __name__ == "__main__":
    main()
