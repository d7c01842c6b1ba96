"""Nanoseconds per chunk of the streaming reasoning split.

Streams (LangChain AIMessageChunk objects, built before timing):

* realistic: "<think>", a 20,000-character reasoning, "</think>", a
  5,000-character answer with a little markup, cut into chunks of 1 to 8
  characters;
* adversarial: "<think>", then a "<" early in a 200,000-character reasoning
  that never closes, in 4-character chunks (everything after the "<" stays
  held back until the end of the input).

Runs: the compiled module (module-level `atransform`, and
`qorCogsift.transform` / `atransform` with the usage step against the
in-process session store; that step counts the whole text once, which is
part of their cost per chunk), the same with the direct attribute paths switched off, and the
literal Python model of the algorithm from the tests. The literal model
rescans the held-back text on every chunk, so on the adversarial stream it
is timed on a shorter prefix (--literal-chars) and its cost per chunk grows
with the length.

    TIKTOKEN_CACHE_DIR=../shared/tiktoken .venv/bin/python bench/cogsift_stream.py
"""
import argparse
import asyncio
import os
import random
import string
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
for entry in (ROOT / "service", ROOT, ROOT / "tests" / "models"):
    sys.path.insert(0, str(entry))
os.environ.setdefault("TIKTOKEN_CACHE_DIR", str(ROOT.parent / "shared" / "tiktoken"))

from langchain_core.messages import AIMessageChunk  # noqa: E402

from common import cogsift_with_test_hooks  # noqa: E402
from literal_split import literal_transform  # noqa: E402

# The same text generator as the benchmark suite's streams.
from streams import cut, prose  # noqa: E402

cogsift = cogsift_with_test_hooks()  # switches the direct attribute paths off and on


def realistic(rng):
    text = "<think>" + prose(rng, 20000) + "</think>" + prose(rng, 5000, markup=True)
    return cut(text, rng, 1, 8)


def adversarial(rng, chars=200000):
    body = "let a < b hold; " + "".join(rng.choice(string.ascii_lowercase + " ") for _ in range(chars - 16))
    return cut("<think>" + body, rng, 4, 4)


def chunks_of(pieces):
    return [AIMessageChunk(content=p) for p in pieces]


def run_module(pieces):
    chunks = chunks_of(pieces)
    start = time.perf_counter_ns()
    for _ in cogsift.atransform(chunks):
        pass
    return time.perf_counter_ns() - start


def run_parser(pieces):
    chunks = chunks_of(pieces)
    config = {"input": {"session_id": "bench"}, "metadata": {"model_name": "bench", "prompt": "question"}}
    parser = cogsift.qorCogsift()
    start = time.perf_counter_ns()
    for _ in parser.transform(iter(chunks), config):
        pass
    return time.perf_counter_ns() - start


def run_parser_async(pieces):
    chunks = chunks_of(pieces)
    config = {"input": {"session_id": "bench"}, "metadata": {"model_name": "bench", "prompt": "question"}}
    parser = cogsift.qorCogsift()

    async def source():
        for c in chunks:
            yield c

    async def drain():
        start = time.perf_counter_ns()
        async for _ in parser.atransform(source(), config):
            pass
        return time.perf_counter_ns() - start

    return asyncio.run(drain())


def run_literal(pieces):
    chunks = chunks_of(pieces)
    start = time.perf_counter_ns()
    for _ in literal_transform(chunks):
        pass
    return time.perf_counter_ns() - start


def best(fn, pieces, repeat):
    return min(fn(pieces) for _ in range(repeat)) / len(pieces)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--literal-chars", type=int, default=20000,
                    help="reasoning length of the adversarial stream for the literal model")
    ap.add_argument("--seed", type=int, default=7)
    args = ap.parse_args()
    rng = random.Random(args.seed)
    streams = {"realistic": realistic(rng), "adversarial": adversarial(rng)}
    literal_streams = {"realistic": streams["realistic"],
                       "adversarial": adversarial(random.Random(args.seed), args.literal_chars)}

    print(f"attribute paths: {cogsift._fast_attributes()}")
    rows = []
    for name, pieces in streams.items():
        rows.append((name, "module atransform", len(pieces), best(run_module, pieces, args.repeat)))
        rows.append((name, "qorCogsift.transform (+usage)", len(pieces), best(run_parser, pieces, args.repeat)))
        rows.append((name, "qorCogsift.atransform (+usage)", len(pieces),
                     best(run_parser_async, pieces, args.repeat)))
        cogsift._fast_attributes(False)
        try:
            rows.append((name, "module atransform, plain setattr", len(pieces), best(run_module, pieces, args.repeat)))
        finally:
            cogsift._fast_attributes(True)
        lit = literal_streams[name]
        label = "literal Python model" + ("" if lit is pieces else f" ({args.literal_chars} chars)")
        rows.append((name, label, len(lit), best(run_literal, lit, 1 if name == "adversarial" else args.repeat)))
    width = max(len(r[1]) for r in rows)
    for stream, label, count, ns in rows:
        print(f"{stream:12} {label:{width}}  {count:7d} chunks  {ns:10.0f} ns/chunk")


if __name__ == "__main__":
    main()
