"""Shared helpers of the benchmarks: repeatable timing and result tables."""
import os
import statistics
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
for entry in (ROOT / "service", ROOT, ROOT / "bench"):
    if str(entry) not in sys.path:
        sys.path.insert(0, str(entry))
_shared = ROOT.parent / "shared" / "tiktoken"
if "TIKTOKEN_CACHE_DIR" not in os.environ and _shared.is_dir():
    os.environ["TIKTOKEN_CACHE_DIR"] = str(_shared)


def measure(fn, number, repeat=7):
    """Median and spread (min..max) of the time of one call, in seconds, over
    `repeat` runs of `number` calls each (after one warm-up run)."""
    fn_number(fn, max(1, number // 10))
    runs = [fn_number(fn, number) / number for _ in range(repeat)]
    return statistics.median(runs), min(runs), max(runs)


def fn_number(fn, number):
    start = time.perf_counter()
    for _ in range(number):
        fn()
    return time.perf_counter() - start


def fmt_time(seconds):
    if seconds >= 1e-3:
        return "%.2f ms" % (seconds * 1e3)
    if seconds >= 1e-6:
        return "%.2f µs" % (seconds * 1e6)
    return "%.0f ns" % (seconds * 1e9)


def fmt_stat(stat):
    median, low, high = stat
    return "%s (%s..%s)" % (fmt_time(median), fmt_time(low), fmt_time(high))


def print_table(title, header, rows):
    print("\n### " + title + "\n")
    print("| " + " | ".join(header) + " |")
    print("|" + "|".join("---" for _ in header) + "|")
    for row in rows:
        print("| " + " | ".join(str(c) for c in row) + " |")
