"""What each hold-back mode of qorCogsift's streams keeps waiting, and what
it costs.

Streams (chunk texts, wrapped into AIMessageChunk objects before each run):

* maths: a reasoning of about 2,000 characters full of comparisons
  ("n^2 < 50", "if (n*n < 50) { count++; }"), in chunks of 2 to 6 characters;
* code: a reasoning about C++ and Java code ("i < n", "std::vector<int>",
  "x << 2", "Map<String, List<Integer>>") and an answer with a code block;
* html: a short reasoning and an answer written in HTML markup;
* realistic: the realistic stream of the benchmark suite (bench/streams.py,
  20,000 characters of reasoning, 5,000 of answer, chunks of 1 to 8).

Per stream and mode:

* held: characters received but not yet handed on, after each chunk (tag
  text already removed does not count): mean, 99th percentile, maximum. A
  chunk that emits nothing counts too: that is where a consumer waits;
* early: the share of the reasoning's characters handed on before the chunk
  bringing the first character of "</think>" arrives;
* ns/chunk: the split as qorCogsift.transform runs it (``_split_chunks``: the
  split, the text kept for the usage step, the usage step against the
  in-process session store), CPU time of this process, median over runs,
  and its ratio to the default mode in the same process. Handing on a chunk
  (its two texts written, the item yielded) costs more than holding it, so a
  mode that hands on more chunks costs more per chunk;
* items: how many items the stream hands on (the end-of-input item
  included), and for "tag_prefix" the cost of each item it hands on beyond
  the default's: (its cost - the default's cost) * chunks / (its items - the
  default's items).

The table is printed and written into docs/streaming-modes.md between its
markers (--no-write leaves the file alone).

    TIKTOKEN_CACHE_DIR=../shared/tiktoken .venv/bin/python bench/holdback.py
"""
import argparse
import random
import re
import statistics
import sys
import time
from pathlib import Path

import common  # noqa: F401 - paths and tokenizer data
from langchain_core.messages import AIMessageChunk

import streams
from community.models import cogsift
from utils import dbs

DOC = common.ROOT / "docs" / "streaming-modes.md"
BEGIN, END = "<!-- holdback table: written by bench/holdback.py -->", "<!-- end of holdback table -->"
MODES = ["candidate", "tag_prefix"]
CONFIG = {"input": {"session_id": "bench"}, "metadata": {"model_name": "bench", "prompt": "question"}}

MATHS = ["We need all n with n^2 < 50.", "Check n = 7: 49 < 50, so it counts.", "For n = 8, 64 > 50 fails.",
         "In code: if (n*n < 50) { count++; }", "So 0 <= n < 8 holds.", "If x < y and y < z then x < z.",
         "Since 2^k < 100 for k <= 6, the bound is k < 7.", "Then a<b<c gives a<c."]
CODE = ["for (int i = 0; i < n; ++i) sum += v[i];", "std::vector<int> v; v.reserve(n);", "if (a <= b && b < c)",
        "the shift x << 2 multiplies by four", "template <typename T> T max(T a, T b)",
        "Map<String, List<Integer>> index = new HashMap<>();", "while (lo < hi) { mid = (lo + hi) / 2; }"]
HTML = ["<p>The answer has <b>three</b> parts.</p>", "<ul><li>first</li><li>second</li></ul>",
        '<a href="https://example.org/a?b=1&c=2">link</a>', "<br/>", "<table><tr><td>1</td><td>2</td></tr></table>",
        "<code>a &lt; b</code>"]


def mixed(rng, length, snippets, share):
    """About `length` characters of prose with `snippets` mixed in."""
    out, size = [], 0
    while size < length:
        part = rng.choice(snippets) if rng.random() < share else streams.prose(rng, rng.randint(20, 60))
        out.append(part)
        size += len(part) + 1
    return " ".join(out)[:length]


def build_streams(seed):
    rng = random.Random(seed)
    maths = "<think>" + mixed(rng, 2040, MATHS, 0.5) + "</think>" + mixed(rng, 300, MATHS, 0.2)
    code = ("<think>" + mixed(rng, 4000, CODE, 0.5) + "</think>Use this:\n```cpp\n" + "\n".join(CODE) + "\n```\n"
            + mixed(rng, 300, CODE, 0.1))
    html = "<think>" + streams.prose(rng, 800) + "</think>" + mixed(rng, 3000, HTML, 0.6)
    return {"maths": streams.cut(maths, rng, 2, 6), "code": streams.cut(code, rng, 2, 6),
            "html": streams.cut(html, rng, 2, 6), "realistic": streams.realistic()}


def tag_ends(text):
    """Where each removed tag ends in `text` (the stream starts outside)."""
    ends, pos, inside = [], 0, False
    while True:
        tag = "</think>" if inside else "<think>"
        at = text.find(tag, pos)
        if at < 0:
            return ends
        pos = at + len(tag)
        ends.append((pos, len(tag), inside))
        inside = not inside


def emissions(pieces, mode):
    """(held after each chunk, early share, items handed on) of one stream in
    one mode."""
    chunks = [AIMessageChunk(content=p) for p in pieces]
    index = {id(c): i for i, c in enumerate(chunks)}
    text = "".join(pieces)
    ends = tag_ends(text)
    close_start = next(end - size for end, size, closing in ends if closing)
    handed, early, reasoning, items = [0] * len(pieces), 0, 0, 0
    received = 0
    for i, p in enumerate(pieces):
        received += len(p)
        if received > close_start:
            close_chunk = i  # the first chunk holding a character of "</think>"
            break
    for item in cogsift._split_chunks(iter(chunks), cogsift.qorCogsift(hold_back=mode), CONFIG):
        at = index.get(id(item), len(pieces) - 1)  # the flush of an emitted chunk is a copy
        items += 1
        handed[at] += len(item.content) + len(item.reasoning_content)
        reasoning += len(item.reasoning_content)
        if at < close_chunk:
            early += len(item.reasoning_content)
    held, received, out = [], 0, 0
    for i, p in enumerate(pieces):
        received += len(p)
        out += handed[i]
        held.append(received - out - sum(size for end, size, _ in ends if end <= received))
    return held, early / reasoning, items


def cost(pieces, mode, runs):
    """Median CPU seconds per chunk of the split of qorCogsift.transform (the
    process's CPU time: on a shared machine wall time mostly measures the
    neighbours)."""
    parser = cogsift.qorCogsift(hold_back=mode)
    times = []
    for _ in range(runs + 1):
        chunks = [AIMessageChunk(content=p) for p in pieces]
        start = time.process_time()
        for _ in cogsift._split_chunks(iter(chunks), parser, CONFIG):
            pass
        times.append(time.process_time() - start)
    return statistics.median(times[1:]) / len(pieces)


def p99(values):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(0.99 * len(ordered)))]


def table(all_streams, runs):
    lines = ["| stream | chunks | mode | held mean | held p99 | held max | reasoning before `</think>` | ns/chunk "
             "| cost vs default | items | ns per extra item |",
             "|---|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for name, pieces in all_streams.items():
        costs = {m: [] for m in MODES}
        for _ in range(runs):  # the modes in turns, so that drift hits both
            for mode in MODES:
                costs[mode].append(cost(pieces, mode, 3))
        base = statistics.median(costs["candidate"])
        base_items = None
        for mode in MODES:
            held, early, items = emissions(pieces, mode)
            ns = statistics.median(costs[mode])
            extra = "" if base_items in (None, items) else (
                f"{(ns - base) * 1e9 * len(pieces) / (items - base_items):.0f}")
            base_items = items if base_items is None else base_items
            lines.append(f"| {name} | {len(pieces)} | {mode} | {statistics.mean(held):.1f} | {p99(held)} | "
                         f"{max(held)} | {100 * early:.1f}% | {ns * 1e9:.0f} | {ns / base:.3f} | {items} | {extra} |")
    return "\n".join(lines)


def write_doc(text):
    doc = DOC.read_text()
    pattern = re.compile(re.escape(BEGIN) + ".*?" + re.escape(END), re.S)
    if not pattern.search(doc):
        sys.exit(f"{DOC}: markers not found")
    DOC.write_text(pattern.sub(lambda _: f"{BEGIN}\n{text}\n{END}", doc))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--runs", type=int, default=7, help="timed rounds per stream and mode (median)")
    ap.add_argument("--seed", type=int, default=23)
    ap.add_argument("--no-write", action="store_true", help="do not update docs/streaming-modes.md")
    args = ap.parse_args()
    dbs.set_session_store(dbs.MemorySessionStore())
    text = table(build_streams(args.seed), args.runs)
    command = "bench/holdback.py" + ("" if args.runs == 7 else f" --runs {args.runs}") + (
        "" if args.seed == 23 else f" --seed {args.seed}")
    text += f"\n\nPrinted by `{command}` (Python {sys.version.split()[0]})."
    print(text)
    if not args.no_write:
        write_doc(text)


if __name__ == "__main__":
    main()
