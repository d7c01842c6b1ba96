"""Memory kept by abandoned streams in reference cycles after gc.collect().

Each stream reads its first chunk and is then dropped while suspended, its
chunk source pointing back at it (``source.ref = stream``), so only the
cyclic garbage collector can free it. Streams:

* compiled: ``qorCogsift().transform`` (LangChain's run around the split)
  and the module-level ``atransform`` (the split alone);
* Python: LangChain's own ``StrOutputParser().transform`` (the same run
  machinery) and the tests' literal model of the split, a plain generator.

Memory kept, each stream kind in a fresh process: everything allocated
(with PYTHONMALLOC=malloc, so that Python objects and the compiled frames
all come from the C allocator, read by glibc's mallinfo2) and the Python
allocations alone (tracemalloc), after gc.collect(), against the figures
before the streams were made.

    TIKTOKEN_CACHE_DIR=../shared/tiktoken .venv/bin/python bench/abandoned_streams.py [--streams N]
"""
import argparse
import ctypes
import ctypes.util
import gc
import os
import subprocess
import sys
import tracemalloc
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))
import common  # noqa: E402,F401  (paths and the tokenizer cache)

sys.path.insert(0, str(ROOT / "tests" / "models"))
from langchain_core.messages import AIMessageChunk  # noqa: E402
from langchain_core.output_parsers import StrOutputParser  # noqa: E402

from community.models import cogsift  # noqa: E402
from literal_split import literal_transform  # noqa: E402
from utils import dbs  # noqa: E402

CONFIG = {"input": {"session_id": "bench"}, "metadata": {"model_name": "bench", "prompt": "p"}}


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def malloc_reader():
    try:
        fn = ctypes.CDLL(ctypes.util.find_library("c")).mallinfo2
    except (OSError, AttributeError, TypeError):
        return lambda: 0
    fn.restype = MallInfo2

    def read():
        info = fn()
        return info.uordblks + info.hblkhd

    return read


class Source:
    """Three chunks; `ref` closes the cycle back to the stream reading them."""

    ref = None

    def __init__(self):
        self.items = [AIMessageChunk(content="<think>why"), AIMessageChunk(content="</think>"),
                      AIMessageChunk(content="answer")]

    def __iter__(self):
        return iter(self.items)


def entries():
    parser = cogsift.qorCogsift()
    str_parser = StrOutputParser()
    return [
        ("compiled qorCogsift.transform", lambda s: parser.transform(s, CONFIG)),
        ("compiled module atransform", cogsift.atransform),
        ("Python StrOutputParser.transform", lambda s: str_parser.transform(s, CONFIG)),
        ("Python generator (literal split)", literal_transform),
    ]


def kept(make, streams, measure):
    """Bytes still allocated after `streams` abandoned cycles and gc.collect()."""
    gc.collect()
    if measure == "tracemalloc":
        tracemalloc.start()
        read = lambda: tracemalloc.get_traced_memory()[0]  # noqa: E731
    else:
        read = malloc_reader()
    before = read()
    for _ in range(streams):
        source = Source()
        stream = make(source)
        next(stream)
        source.ref = stream
    del source, stream
    gc.collect()
    return read() - before


def child(name, streams, measure):
    dbs.set_session_store(dbs.MemorySessionStore())
    make = dict(entries())[name]
    kept(make, 200, "malloc")  # warm-up: imports, caches, interned names
    print(kept(make, streams, measure))


def run_child(name, streams, measure):
    env = dict(os.environ)
    if measure == "malloc":
        env["PYTHONMALLOC"] = "malloc"
    done = subprocess.run([sys.executable, __file__, "--child", name, "--streams", str(streams), "--measure", measure],
                          capture_output=True, text=True, env=env, check=True)
    return int(done.stdout.split()[-1])


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--streams", type=int, default=20000)
    ap.add_argument("--child", help=argparse.SUPPRESS)
    ap.add_argument("--measure", choices=["malloc", "tracemalloc"], help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        child(args.child, args.streams, args.measure)
        return
    rows = [(name, run_child(name, args.streams, "malloc"), run_child(name, args.streams, "tracemalloc"))
            for name, _ in entries()]
    # After collection the Python streams keep next to nothing (allocator
    # noise): the compiled ones are set against the larger of the two.
    python_most = max(max(total for name, total, _ in rows if name.startswith("Python")), 1)
    print("%d abandoned streams, each in a cycle through its source; memory kept after gc.collect()\n"
          % args.streams)
    print("| Stream | All allocations | Per stream | Python allocations | Against the Python streams' most |")
    print("|---|---|---|---|---|")
    for name, total, python in rows:
        print("| %s | %.1f KB | %.0f B | %.1f KB | %.2fx |"
              % (name, total / 1024, total / args.streams, python / 1024, total / python_most))


if __name__ == "__main__":
    main()
