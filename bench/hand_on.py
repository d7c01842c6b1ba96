"""What hand_on="copy" costs per chunk next to the default "received".

The stream is the suite's realistic one (bench/streams.py: 20,000 characters
of reasoning, 5,000 of answer, chunks of 1 to 8 characters), wrapped into
fresh AIMessageChunk objects before each run. Per hold-back mode and entry:

* split: ``_split_chunks``, the split as qorCogsift.transform runs it (the
  text kept for the usage step and the usage step against the in-process
  session store included), without LangChain's run;
* transform: qorCogsift.transform, with the parser's own run.

CPU time of this process per chunk (on a shared machine wall time mostly
measures the neighbours), median over rounds in which the two values take
turns, and the ratio copy / received of the same process.

    TIKTOKEN_CACHE_DIR=../shared/tiktoken .venv/bin/python bench/hand_on.py [--write-docs]
"""
import argparse
import statistics
import sys
import time

from common import write_docs  # also sets the paths and the tokenizer data
from langchain_core.messages import AIMessageChunk

import streams
from community.models import cogsift
from utils import dbs

CONFIG = {"input": {"session_id": "bench"}, "metadata": {"model_name": "bench", "prompt": "question"}}
VALUES = ["received", "copy"]


def entry_of(name, parser):
    if name == "split":
        return lambda chunks, config: cogsift._split_chunks(chunks, parser, config)
    return parser.transform


def cost(pieces, entry, hold_back, hand_on):
    """CPU seconds per chunk of one run."""
    run = entry_of(entry, cogsift.qorCogsift(hold_back=hold_back))
    config = {**CONFIG, "hand_on": hand_on}
    chunks = [AIMessageChunk(content=p) for p in pieces]
    start = time.process_time()
    for _ in run(iter(chunks), config):
        pass
    return (time.process_time() - start) / len(pieces)


def table(pieces, runs):
    lines = ["| entry | hold_back | received ns/chunk | copy ns/chunk | copy / received |", "|---|---|---:|---:|---:|"]
    for entry in ("split", "transform"):
        for hold_back in ("candidate", "tag_prefix"):
            costs = {v: [] for v in VALUES}
            for value in VALUES:  # warm-up
                cost(pieces, entry, hold_back, value)
            for _ in range(runs):  # the two values in turns, so that drift hits both
                for value in VALUES:
                    costs[value].append(cost(pieces, entry, hold_back, value))
            received, copy = (statistics.median(costs[v]) for v in VALUES)
            lines.append(f"| {entry} | {hold_back} | {received * 1e9:.0f} | {copy * 1e9:.0f} | {copy / received:.2f} |")
    return "\n".join(lines)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--runs", type=int, default=9, help="timed rounds per entry, mode and value (median)")
    ap.add_argument("--write-docs", action="store_true", help="also write the table into docs/benchmarks.md")
    args = ap.parse_args()
    dbs.set_session_store(dbs.MemorySessionStore())
    pieces = streams.realistic()
    text = f"Realistic stream, {len(pieces)} chunks, {args.runs} rounds, Python {sys.version.split()[0]}.\n\n" + \
        table(pieces, args.runs)
    print(text)
    if args.write_docs:
        write_docs(text)


if __name__ == "__main__":
    main()
