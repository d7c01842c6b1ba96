"""Synchronous retrieval calls made where an event loop is running, against
the same calls made where none is, in one process:

    .venv/bin/python bench/sync_entry.py [--calls N] [--interrupts N]

Prints the time per `invoke` (a vector retrieval over a store that answers at
once) without a running loop (asyncio.run in place, the baseline) and from
inside a running loop (asyncio.run on a helper thread), their ratio, and how
long a Ctrl-C raised while the store is being queried takes to reach the
waiting caller as KeyboardInterrupt.
"""
import argparse
import asyncio
import signal
import statistics
import sys
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT / "service"), str(ROOT), str(ROOT / "tests")]

from community.retrievers import qor  # noqa: E402
from oxa_vector_client.http import models  # noqa: E402
from retrievers.conftest import StubStore  # noqa: E402

INPUT = {"query": "q", "embedding": [0.1, 0.2]}
raised_at = []


async def answer(*args):
    return []


async def interrupted(*args):
    raised_at.append(time.monotonic())
    signal.raise_signal(signal.SIGINT)  # lands on the helper thread
    await asyncio.sleep(30)


def per_call(retriever, calls, inside_loop):
    def run():
        start = time.perf_counter()
        for _ in range(calls):
            retriever.invoke(INPUT)
        return (time.perf_counter() - start) / calls

    async def cell():
        return run()
    return asyncio.run(cell()) if inside_loop else run()


def interrupt_latency(retriever):
    async def cell():
        retriever.invoke(INPUT)
    loop = asyncio.new_event_loop()
    try:
        loop.run_until_complete(cell())
    except KeyboardInterrupt:
        return time.monotonic() - raised_at[-1]
    finally:
        loop.close()
    raise AssertionError("the call was not interrupted")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=500)
    parser.add_argument("--interrupts", type=int, default=20)
    args = parser.parse_args()
    qor.get_collection = lambda name: {"config": {"params": {}}}
    retriever = qor.VectorStoreRetriever(vectorstore=StubStore(), post_process_kwargs={},
                                         search_kwargs={"filter": models.Filter(must=[]), "k": 5, "score_threshold": None})
    qor.aquery = answer
    base = statistics.median(per_call(retriever, args.calls, False) for _ in range(3))
    beside = statistics.median(per_call(retriever, args.calls, True) for _ in range(3))
    print(f"invoke, no loop running:     {base * 1e6:8.0f} us")
    print(f"invoke, inside running loop: {beside * 1e6:8.0f} us  (ratio {beside / base:.2f})")
    qor.aquery = interrupted
    latencies = sorted(interrupt_latency(retriever) for _ in range(args.interrupts))
    print(f"Ctrl-C to KeyboardInterrupt in the caller: median {statistics.median(latencies) * 1e3:.0f} ms, "
          f"max {latencies[-1] * 1e3:.0f} ms over {len(latencies)}; threads left: {threading.active_count() - 1}")


if __name__ == "__main__":
    main()
