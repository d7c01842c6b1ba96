"""Cost per chunk of a parser's traced stream against the stream's length.

The run of a stream records its input and its output as the sums of their
chunks. qorCogsift.transform / atransform (the run kept by the parser,
summing once at the end) next to StrOutputParser.transform (LangChain's run
helpers) and the split alone (no run), on streams of 4-character
AIMessageChunks (a reasoning, then an answer, of prose), made lazily while
the stream runs. The usage step runs against the in-process session store.

Each figure is the CPU time of one stream in a fresh process (the process's
CPU time: on a shared machine wall time mostly measures the neighbours; a
fresh process: the cyclic collector's thresholds and the heap left behind by
a longer stream run earlier would change the cost of the next one), the
median over --repeat rounds that take the sizes in turns. Next to it: the
share of that time spent in the cyclic collector, how many full collections
ran, and the process's peak memory.

    TIKTOKEN_CACHE_DIR=../shared/tiktoken .venv/bin/python bench/stream_run_cost.py [--sizes 10000 100000 1000000] [--write-docs]
"""
import argparse
import asyncio
import gc
import json
import os
import random
import resource
import statistics
import subprocess
import sys
import time

from common import tables_into_docs  # also sets the paths and the tokenizer cache
from langchain_core.messages import AIMessageChunk
from langchain_core.output_parsers import StrOutputParser

from community.models import cogsift
from streams import prose
from utils import dbs

CONFIG = {"input": {"session_id": "bench"}, "metadata": {"model_name": "bench", "prompt": "question"}}


def chunks(count, seed=1):
    rng = random.Random(seed)
    text = "<think>" + prose(rng, count * 2) + "</think>" + prose(rng, count * 2)
    for i in range(0, len(text), 4):
        yield AIMessageChunk(content=text[i:i + 4])


class CollectorClock:
    """CPU time spent in the cyclic collector, and its full collections."""

    def __init__(self):
        self.seconds, self.full, self._start = 0.0, 0, 0.0
        gc.callbacks.append(self._event)

    def _event(self, phase, info):
        if phase == "start":
            self._start = time.process_time()
            return
        self.seconds += time.process_time() - self._start
        self.full += info["generation"] == 2


def run_sync(make, count):
    start = time.process_time()
    for _ in make(chunks(count)):
        pass
    return time.process_time() - start


def run_async(count):
    async def source():
        for c in chunks(count):
            yield c

    async def drain():
        start = time.process_time()
        async for _ in cogsift.qorCogsift().atransform(source(), CONFIG):
            pass
        return time.process_time() - start
    return asyncio.run(drain())


RUNS = {
    "split alone": lambda count: run_sync(lambda s: cogsift._split_chunks(s, cogsift.qorCogsift(), CONFIG), count),
    "qorCogsift.transform": lambda count: run_sync(lambda s: cogsift.qorCogsift().transform(s, CONFIG), count),
    "qorCogsift.atransform": run_async,
    "StrOutputParser.transform": lambda count: run_sync(lambda s: StrOutputParser().transform(s, CONFIG), count),
}


def measure_here(name, count):
    """One stream in this process: per-chunk CPU time, collector share, full
    collections, peak memory in MB."""
    dbs.set_session_store(dbs.MemorySessionStore())
    clock = CollectorClock()
    seconds = RUNS[name](count)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    return {"per_chunk": seconds / count, "gc_share": clock.seconds / seconds, "full": clock.full, "peak": peak}


def measure(name, count):
    out = subprocess.run([sys.executable, __file__, "--one", name, str(count)], check=True, capture_output=True,
                         text=True).stdout
    return json.loads(out.splitlines()[-1])


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", type=int, nargs="+", default=[10000, 100000, 1000000])
    ap.add_argument("--str-max", type=int, default=100000, help="largest stream given to StrOutputParser")
    ap.add_argument("--repeat", type=int, default=3, help="rounds per stream and size (median)")
    ap.add_argument("--write-docs", action="store_true", help="also write the table into docs/benchmarks.md")
    ap.add_argument("--one", nargs=2, metavar=("NAME", "SIZE"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.one:
        print(json.dumps(measure_here(args.one[0], int(args.one[1]))))
        return
    with tables_into_docs(args.write_docs):
        print_table(args)


def print_table(args):
    print(f"Load average at the start: {os.getloadavg()[0]:.1f}. CPU time per chunk, median of {args.repeat} "
          "rounds, each stream in a fresh process.\n")
    print("| stream | chunks | per chunk | against the shortest | collector | full collections | peak memory |")
    print("|---|---:|---:|---:|---:|---:|---:|", flush=True)
    for name in RUNS:
        sizes = [s for s in args.sizes if not (name.startswith("Str") and s > args.str_max)]
        rounds = [[measure(name, size) for size in sizes] for _ in range(args.repeat)]
        first = None
        for i, size in enumerate(sizes):
            runs = [r[i] for r in rounds]
            per_chunk = statistics.median(r["per_chunk"] for r in runs)
            first = first or per_chunk
            print(f"| {name} | {size:,} | {per_chunk * 1e6:.2f} µs | {per_chunk / first:.2f}x"
                  f" | {100 * statistics.median(r['gc_share'] for r in runs):.1f} %"
                  f" | {statistics.median(r['full'] for r in runs):.0f} | {max(r['peak'] for r in runs):.0f} MB |",
                  flush=True)
    print(f"\nLoad average at the end: {os.getloadavg()[0]:.1f}.")


if __name__ == "__main__":
    main()
