"""The embedded vector database at scale: the in-process engine against the
client's local mode, with the retrievers on top.

For each collection size, synthetic passages are made from the vocabulary of
the demonstration corpus (40 words each), embedded by the host kit's hashing
embedding and encoded by its BM25 encoder (computed word by word, which gives
the same vectors as the whole-text encoders for text made of whole words:
checked on a sample), written to the database and indexed as the engine
indexes for production (``optimize``).  Then every query shape of the vector
retriever (single question, k=5) is timed: the store call alone (``aquery``
with the arguments the retriever sends), and the whole ``invoke`` and
``ainvoke``; p50 and p99 over the calls; and the throughput of 8 concurrent
``ainvoke``s against one at a time.  The local mode is the baseline column;
it stops at the first size where one of its queries passes --local-limit
seconds.  The package's own share (whole call minus store call, p50) is a
table of its own.  Output: markdown on standard output and in --out.

    .venv/bin/python bench/vector_scale.py [--sizes 1000,10000,100000] [--calls 200] [--out docs/vector-engine-scale.md]
"""
import argparse
import asyncio
import copy
import math
import os
import random
import statistics
import sys
import time
from pathlib import Path

import common  # noqa: F401  (sets up sys.path)
from common import fmt_time, using

from langchain_core.retrievers import BaseRetriever
from qdrant_client import QdrantClient

from community.retrievers import qor
from hostkit import HashingEmbeddings, QorVectorStore, synthetic
from oxa_vector_client.http import models
from utils import dbs
from utils.logger import logger

SHAPES = ("hybrid", "dense", "sparse", "text")
K = 5


def rss_mb():
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024.0
    return float("nan")


def build(store, size, encoder, progress):
    """Write ``size`` passages; (seconds, RSS growth in MB)."""
    before, start = rss_mb(), time.perf_counter()
    store.ensure_collection(recreate=True)
    synthetic.load(store, size, encoder, seed=size, progress=progress)
    return time.perf_counter() - start, rss_mb() - before


# ---------------------------------------------------------------------------
# Timing


def percentiles(samples):
    samples = sorted(samples)
    p99 = samples[min(len(samples) - 1, int(math.ceil(0.99 * len(samples))) - 1)]
    return statistics.median(samples), p99


class Case:
    """One query shape: the retriever, its inputs and the store call it makes."""

    def __init__(self, store, shape, question, encoder):
        flt = models.Filter(must=[])
        self.retriever = qor.VectorStoreRetriever(
            vectorstore=store, search_kwargs={"filter": flt, "k": K, "score_threshold": None},
            post_process_kwargs={})
        self.inputs = {"query": " ".join(question)}
        if shape in ("hybrid", "dense"):
            self.inputs["embedding"] = encoder.dense(question)
        if shape in ("hybrid", "sparse"):
            self.inputs["bm25"] = encoder.sparse_query(question)
        self.store_args = self._store_args()

    def _store_args(self):
        seen, real = [], qor.aquery

        async def record(*args):
            seen.append(args)
            return await real(*args)

        qor.aquery = record
        try:
            self.retriever.invoke(self.inputs)
        finally:
            qor.aquery = real
        return seen[0]


def time_calls(fn, calls, budget):
    samples, spent = [], 0.0
    while len(samples) < calls and (spent < budget or not samples):
        start = time.perf_counter()
        fn()
        samples.append(time.perf_counter() - start)
        spent += samples[-1]
    return samples


def measure_case(case, calls, budget):
    """{"store", "invoke", "ainvoke": samples}."""
    loop = asyncio.new_event_loop()
    try:
        out = {
            "store": time_calls(lambda: loop.run_until_complete(dbs.aquery(*case.store_args)), calls, budget),
            "invoke": time_calls(lambda: case.retriever.invoke(case.inputs), calls, budget),
            "ainvoke": time_calls(lambda: loop.run_until_complete(case.retriever.ainvoke(case.inputs)),
                                  calls, budget),
        }
    finally:
        loop.close()
    return out


def throughput_ratio(cases, calls, concurrency=8):
    """Calls per second with ``concurrency`` ainvokes in flight over one at a time."""
    async def one_at_a_time():
        for i in range(calls):
            case = cases[i % len(cases)]
            await case.retriever.ainvoke(case.inputs)

    async def together():
        queue = list(range(calls))

        async def worker():
            while queue:
                case = cases[queue.pop() % len(cases)]
                await case.retriever.ainvoke(case.inputs)
        await asyncio.gather(*(worker() for _ in range(concurrency)))

    rates = []
    for run in (one_at_a_time, together):
        start = time.perf_counter()
        asyncio.run(run())
        rates.append(calls / (time.perf_counter() - start))
    return rates[1] / rates[0], rates[0], rates[1]


def floors(case, calls):
    """What any call pays before the package's own work, in this process
    (p50 seconds): LangChain's run of a retriever that returns at once
    ("invoke", "ainvoke", the latter without the event loop's own turn, as
    the share table subtracts a store call that took one), a fresh event
    loop per call over running on one (what the synchronous entry adds:
    ``asyncio.run``), and ``copy.deepcopy`` of the retriever's search
    arguments (done once per call)."""
    class Empty(BaseRetriever):
        def _get_relevant_documents(self, query, *, run_manager):
            return []

        async def _aget_relevant_documents(self, query, *, run_manager):
            return []

    async def nothing():
        return []

    empty, loop = Empty(), asyncio.new_event_loop()
    try:
        turn = statistics.median(time_calls(lambda: loop.run_until_complete(nothing()), calls, 10.0))
        lc_ainvoke = statistics.median(time_calls(lambda: loop.run_until_complete(empty.ainvoke("q")), calls, 10.0))
    finally:
        loop.close()
    fresh = statistics.median(time_calls(lambda: asyncio.run(nothing()), calls, 10.0))
    search_kwargs = case.retriever.search_kwargs
    return {
        "invoke": statistics.median(time_calls(lambda: empty.invoke("q"), calls, 10.0)),
        "ainvoke": lc_ainvoke - turn,
        "fresh loop": fresh - turn,
        "deepcopy": statistics.median(time_calls(lambda: copy.deepcopy(search_kwargs), calls, 10.0)),
    }


# ---------------------------------------------------------------------------
# Report


def ms(seconds):
    # A share below the noise can come out negative: shown with its sign.
    return ("-" + fmt_time(-seconds)) if seconds < 0 else fmt_time(seconds)


def run_engine(kind, client, size, args, encoder, report):
    rnd = random.Random(size)
    store = QorVectorStore(collection_name="scale_%s_%d" % (kind, size), embeddings=HashingEmbeddings(),
                           create=False)
    with using(client, kind):
        progress = synthetic.progress_bar("  %s, %d passages" % (kind, size), sys.stderr)
        seconds, grown = build(store, size, encoder, progress)
        report["build"][(kind, size)] = (size / seconds, grown)
        words = list(encoder.term_ids)
        questions = [[rnd.choice(words) for _ in range(5)] for _ in range(20)]
        slowest = 0.0
        for shape in SHAPES:
            cases = [Case(store, shape, q, encoder) for q in questions]
            first = time.perf_counter()
            cases[0].retriever.invoke(cases[0].inputs)
            single = time.perf_counter() - first
            slowest = max(slowest, single)
            if kind == "local" and single > args.local_limit:
                report["times"][(kind, size, shape)] = {"invoke": [single]}
                continue
            merged = {"store": [], "invoke": [], "ainvoke": []}
            per_case = max(1, args.calls // len(cases))
            for case in cases:
                for key, samples in measure_case(case, per_case, args.budget / len(cases)).items():
                    merged[key] += samples
            report["times"][(kind, size, shape)] = merged
            if kind == "engine":
                report["throughput"][(size, shape)] = throughput_ratio(cases, args.throughput_calls)
                if shape == "hybrid" and size == max(args.sizes):
                    report["floors"] = floors(cases[0], args.calls)
        with dbs.client_session() as c:
            c.delete_collection(store.collection_name)
    return slowest


def cell(times, key):
    if not times or key not in times:
        return "—"
    p50, p99 = percentiles(times[key])
    if len(times[key]) == 1:
        return "%s (1 call)" % ms(p50)
    return "%s / %s" % (ms(p50), ms(p99))


def render(report, args, agreement, elapsed):
    lines = ["# The embedded vector database at scale", "",
             "Printed by `.venv/bin/python bench/vector_scale.py --sizes %s --calls %d` on %d cores "
             "(load average %.1f at the end; the machine is shared, so figures are upper bounds). "
             "Run time %.0f s. Word-by-word encoding matched the host kit's encoders on %d%% of a sample."
             % (",".join(map(str, args.sizes)), args.calls, os.cpu_count(), os.getloadavg()[0], elapsed,
                round(agreement * 100)), "",
             "## Build", "", "| passages | engine: passages/s | engine: RSS growth | local: passages/s "
             "| local: RSS growth |", "|---|---|---|---|---|"]
    for size in args.sizes:
        row = ["%d" % size]
        for kind in ("engine", "local"):
            rate = report["build"].get((kind, size))
            row += ["%.0f" % rate[0], "%.0f MB" % rate[1]] if rate else ["—", "—"]
        lines.append("| " + " | ".join(row) + " |")
    lines += ["", "## Latency, p50 / p99 (k=%d, single question)" % K, "",
              "Store call: `aquery` with the retriever's arguments; invoke/ainvoke: the whole retrieval. "
              "The local mode stops at the first size where one query passes %g s." % args.local_limit, "",
              "| passages | shape | engine: store | engine: invoke | engine: ainvoke | local: store "
              "| local: invoke | local: ainvoke |", "|---|---|---|---|---|---|---|---|"]
    for size in args.sizes:
        for shape in SHAPES:
            e = report["times"].get(("engine", size, shape))
            loc = report["times"].get(("local", size, shape))
            lines.append("| %d | %s | %s |" % (size, shape, " | ".join(
                [cell(e, k) for k in ("store", "invoke", "ainvoke")]
                + [cell(loc, k) for k in ("store", "invoke", "ainvoke")])))
    lines += ["", "## Throughput of 8 concurrent `ainvoke`s (engine)", "",
              "| passages | shape | one at a time | 8 concurrent | ratio |", "|---|---|---|---|---|"]
    for (size, shape), (ratio, one, eight) in sorted(report["throughput"].items()):
        lines.append("| %d | %s | %.0f/s | %.0f/s | %.2fx |" % (size, shape, one, eight, ratio))
    lines += ["", "## The package's own share (engine, p50 of whole call minus p50 of store call)", "",
              "The text shape's share includes embedding the question (the host kit's pure-Python "
              "embedding).", "", "| passages | shape | invoke | ainvoke |", "|---|---|---|---|"]
    for size in args.sizes:
        for shape in SHAPES:
            t = report["times"].get(("engine", size, shape))
            if t and t.get("store"):
                store = percentiles(t["store"])[0]
                lines.append("| %d | %s | %s | %s |" % (size, shape, ms(percentiles(t["invoke"])[0] - store),
                                                      ms(percentiles(t["ainvoke"])[0] - store)))
    f = report.get("floors")
    if f:
        lines += ["", "What every call pays before the package's own work, measured in the same process (p50): "
                  "LangChain's `invoke` of a retriever that returns at once %s and its `ainvoke` %s; the "
                  "synchronous entry's fresh event loop per call (`asyncio.run` against a turn of a running "
                  "loop) %s more; `copy.deepcopy` of the search arguments, once per call, %s. The floor of "
                  "the share: %s for `invoke`, %s for `ainvoke`."
                  % (ms(f["invoke"]), ms(f["ainvoke"]), ms(f["fresh loop"]), ms(f["deepcopy"]),
                     ms(f["invoke"] + f["fresh loop"] + f["deepcopy"]), ms(f["ainvoke"] + f["deepcopy"]))]
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=lambda s: [int(x) for x in s.split(",")], default=[1000, 10000, 100000])
    parser.add_argument("--calls", type=int, default=200, help="calls per shape and entry")
    parser.add_argument("--budget", type=float, default=10.0, help="seconds per shape and entry at most")
    parser.add_argument("--throughput-calls", type=int, default=160)
    parser.add_argument("--local-limit", type=float, default=2.0)
    parser.add_argument("--out", default=str(common.ROOT / "docs" / "vector-engine-scale.md"))
    args = parser.parse_args()
    logger.setLevel("WARNING")
    started = time.perf_counter()
    encoder = synthetic.WordEncoder(synthetic.vocabulary())
    agreement = encoder.agreement(random.Random(1))
    if dbs.client_kind() != "engine":
        sys.exit("the vector engine is not the embedded default here: nothing to measure")
    engine = dbs.get_client()
    report = {"build": {}, "times": {}, "throughput": {}}
    local = QdrantClient(location=":memory:")
    local_on = True
    for size in args.sizes:
        run_engine("engine", engine, size, args, encoder, report)
        if local_on:
            local_on = run_engine("local", local, size, args, encoder, report) <= args.local_limit
    text = render(report, args, agreement, time.perf_counter() - started)
    print(text)
    Path(args.out).parent.mkdir(parents=True, exist_ok=True)
    Path(args.out).write_text(text, encoding="utf-8")


if __name__ == "__main__":
    main()
