"""Cost per chunk of a parser's traced stream against the stream's length.

The run of a stream records its input and its output as the sums of their
chunks. qorCogsift.transform / atransform (the run kept by the parser,
summing once at the end) next to StrOutputParser.transform (LangChain's run
helpers) and the split alone (no run), on streams of 4-character
AIMessageChunks (a reasoning, then an answer, of prose), made lazily while
the stream runs. The usage step runs against the in-process session store.

    TIKTOKEN_CACHE_DIR=../shared/tiktoken .venv/bin/python bench/stream_run_cost.py [--sizes 10000 100000 1000000]
"""
import argparse
import asyncio
import random
import time

import common  # noqa: F401  (paths and the tokenizer cache)
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


def run_sync(make, count):
    start = time.perf_counter()
    n = sum(1 for _ in make(chunks(count)))
    return (time.perf_counter() - start) / count, n


def run_async(count):
    async def source():
        for c in chunks(count):
            yield c

    async def drain():
        start = time.perf_counter()
        async for _ in cogsift.qorCogsift().atransform(source(), CONFIG):
            pass
        return time.perf_counter() - start
    return asyncio.run(drain()) / count, 0


RUNS = {
    "split alone": lambda count: run_sync(lambda s: cogsift._split_chunks(s, cogsift.qorCogsift(), CONFIG), count),
    "qorCogsift.transform": lambda count: run_sync(lambda s: cogsift.qorCogsift().transform(s, CONFIG), count),
    "qorCogsift.atransform": run_async,
    "StrOutputParser.transform": lambda count: run_sync(lambda s: StrOutputParser().transform(s, CONFIG), count),
}


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", type=int, nargs="+", default=[10000, 100000, 1000000])
    ap.add_argument("--str-max", type=int, default=100000, help="largest stream given to StrOutputParser")
    args = ap.parse_args()
    dbs.set_session_store(dbs.MemorySessionStore())
    for name, run in RUNS.items():
        first = None
        for size in args.sizes:
            if name.startswith("Str") and size > args.str_max:
                continue
            per_chunk, _ = run(size)
            first = first or per_chunk
            print(f"{name:27} {size:9d} chunks  {per_chunk * 1e6:7.2f} µs/chunk  {per_chunk / first:5.2f}x the first",
                  flush=True)


if __name__ == "__main__":
    main()
