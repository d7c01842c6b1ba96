"""One retrieval on the embedded vector database, next to LangChain's own
retriever over the same store.

The demonstration corpus is indexed into the embedded database; the
package's VectorStoreRetriever and LangChain's VectorStoreRetriever (the
store's ``as_retriever``) answer the same question with k=3, in one process.
Each figure is the median (min..max) over the samples of one call's time,
each sample `--calls` calls long. The last table splits a hybrid retrieval
into the database's own work (the query call alone, on this thread) and
everything else.

    .venv/bin/python bench/retrieval_vs_langchain.py [--calls 20] [--samples 9]
"""
import argparse
import asyncio
import sys
import time

import common  # noqa: F401  (sets up sys.path)
from common import PrintedTables, fmt_time, print_table, write_docs

from community.retrievers import qor
from oxa_vector_client.http import models
from utils import dbs

QUESTION = "How do I install the client on Windows?"


def timed(fn, calls):
    start = time.perf_counter()
    for _ in range(calls):
        fn()
    return (time.perf_counter() - start) / calls


def stat(runs):
    runs = sorted(runs)
    return runs[len(runs) // 2], runs[0], runs[-1]


def sample(fn, calls, samples):
    fn()
    return stat([timed(fn, calls) for _ in range(samples)])


def side_by_side(ours, theirs, calls, samples):
    """Samples of the two taken in turn, so that a slow spell of the machine
    falls on both: (our stat, their stat, median of the per-pair ratios)."""
    ours(), theirs()
    a, b = [], []
    for _ in range(samples):
        a.append(timed(ours, calls))
        b.append(timed(theirs, calls))
    return stat(a), stat(b), stat([x / y for x, y in zip(a, b)])[0]


def fmt(stat):
    return "%s (%s..%s)" % tuple(fmt_time(v) for v in stat)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=20)
    parser.add_argument("--samples", type=int, default=9)
    parser.add_argument("--write-docs", action="store_true", help="also write the tables into docs/benchmarks.md")
    args = parser.parse_args()
    printed = sys.stdout = PrintedTables(sys.stdout)

    from hostkit.corpus import index_corpus

    store = index_corpus()
    # The same search on both sides: three hits, the same (empty) filter.
    ours = qor.VectorStoreRetriever(
        vectorstore=store, search_kwargs={"filter": models.Filter(must=[]), "k": 3, "score_threshold": None},
        post_process_kwargs={"weight": 1.0})
    theirs = store.as_retriever(search_kwargs={"k": 3, "filter": models.Filter(must=[])})
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
    rows = []
    for entry in ("invoke", "ainvoke on a running loop"):
        for shape, inputs in shapes.items():
            if entry == "invoke":
                mine, base = (lambda: ours.invoke(inputs)), (lambda: theirs.invoke(QUESTION))
            else:
                mine, base = on_loop(lambda: ours.ainvoke(inputs)), on_loop(lambda: theirs.ainvoke(QUESTION))
            a, b, ratio = side_by_side(mine, base, c, s)
            rows.append([entry, shape, fmt(a), fmt(b), "%.2fx" % ratio])
    print_table("One retrieval, k=3, embedded database (%d calls per sample, median of %d)" % (c, s),
                ["entry", "input", "this package", "LangChain VectorStoreRetriever", "ratio"], rows)
    print_hybrid_steps(ours, shapes["hybrid"], on_loop, c, s)
    parts = [("get_collection", lambda: dbs.get_collection(store.collection_name)),
             ("asyncio.run of a no-op coroutine", lambda: asyncio.run(_noop()))]
    print_table("Per-call set-up", ["step", "time of one call"], [[l, fmt(sample(f, c, s))] for l, f in parts])
    loop.close()
    if args.write_docs:
        write_docs(printed.copy.getvalue())


def print_hybrid_steps(ours, hybrid, on_loop, c, s):
    """Where a hybrid retrieval's time goes: the database call itself is
    timed inside the query pool's thread."""
    query_points = dbs._query_points
    build, to_document = dbs.build_query_request, dbs.point_to_document
    steps = {"database query": [], "request building": [], "hits to documents": []}

    def timing(fn, into):
        def wrapper(*a, **kw):
            start = time.perf_counter()
            try:
                return fn(*a, **kw)
            finally:
                into.append(time.perf_counter() - start)
        return wrapper

    rows = []
    for label, fn in (("invoke", lambda: ours.invoke(hybrid)),
                      ("ainvoke on a running loop", on_loop(lambda: ours.ainvoke(hybrid)))):
        for spent in steps.values():
            spent.clear()
        dbs._query_points = timing(query_points, steps["database query"])
        dbs.build_query_request = timing(build, steps["request building"])
        dbs.point_to_document = timing(to_document, steps["hits to documents"])
        try:
            total = sample(fn, c, s)
        finally:
            dbs._query_points, dbs.build_query_request, dbs.point_to_document = query_points, build, to_document
        # Per retrieval: the median of each step's time, times its calls per retrieval.
        per_call = {k: sorted(v)[len(v) // 2] * len(v) / (c * s + 1) for k, v in steps.items()}
        rest = total[0] - sum(per_call.values())
        rows.append([label, fmt(total)] + [fmt_time(v) for v in per_call.values()] +
                    [fmt_time(rest), "%.0f%%" % (100 * per_call["database query"] / total[0])])
    print_table("A hybrid retrieval: the database's work and everything else",
                ["entry", "whole call"] + list(steps) + ["everything else", "database share"], rows)


async def _noop():
    return None


if __name__ == "__main__":
    main()
