"""Shared helpers of the benchmarks: repeatable timing and result tables."""
import contextlib
import io
import os
import platform
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


DOCS = ROOT / "docs" / "benchmarks.md"


def cogsift_with_test_hooks():
    """The parser module built with its test hooks (release flags otherwise),
    loaded as community.models.cogsift: the figures with the direct attribute
    paths switched off need them, and the module as shipped has none. Call it
    before anything imports the parser module (one copy per process)."""
    if "community.models.cogsift" in sys.modules:
        raise RuntimeError("the parser module is imported already; load the build with the test hooks first")
    sys.path.insert(0, str(ROOT / "tools"))
    import cxx_build

    import community.models  # noqa: F401 - the package the module is loaded into

    built = cxx_build.build_module("cogsift", "release", log=lambda line: print(line, file=sys.stderr),
                                   test_hooks=True)
    return cxx_build.load("community.models.cogsift", built)


@contextlib.contextmanager
def using(client, kind):
    """Make ``client`` (of ``kind``: "engine", "local" or "server") the
    process's vector database for a while."""
    from utils import dbs

    saved = dbs._client, dbs._client_kind
    dbs._client, dbs._client_kind = client, kind
    dbs.forget_collections()
    try:
        yield
    finally:
        dbs._client, dbs._client_kind = saved
        dbs.forget_collections()


def write_docs(text):
    """Put `text` (the running script's markdown tables) into
    docs/benchmarks.md between the script's markers, replacing what an earlier
    run wrote there, with the command line, the machine and the load it ran
    under; a section not there yet is added at the end."""
    section = "bench/" + Path(sys.argv[0]).name
    command = " ".join([section] + [a for a in sys.argv[1:] if a != "--write-docs"])
    begin, end = "<!-- %s: begin -->" % section, "<!-- %s: end -->" % section
    note = "Written by `%s --write-docs` on %s: %s, %d cores, Python %s, load average %.1f at the end." % (
        command, time.strftime("%Y-%m-%d"), platform.machine(), os.cpu_count() or 0, platform.python_version(),
        os.getloadavg()[0])
    block = "%s\n%s\n\n%s\n%s" % (begin, note, text.strip(), end)
    doc = DOCS.read_text() if DOCS.exists() else "# Benchmarks\n"
    if begin in doc and end in doc:
        head, rest = doc.split(begin, 1)
        doc = head + block + rest.split(end, 1)[1]
    else:
        doc = doc.rstrip("\n") + "\n\n" + block + "\n"
    DOCS.write_text(doc)


@contextlib.contextmanager
def tables_into_docs(write):
    """What the block prints goes to standard output; with `write`, it is
    also put into docs/benchmarks.md (write_docs) when the block ends."""
    if not write:
        yield
        return
    printed = sys.stdout = PrintedTables(sys.stdout)
    try:
        yield
    finally:
        sys.stdout = printed.out
    write_docs(printed.copy.getvalue())


class PrintedTables(io.TextIOBase):
    """Standard output that keeps a copy of what is printed, for write_docs."""

    def __init__(self, out):
        self.out, self.copy = out, io.StringIO()

    def write(self, text):
        self.copy.write(text)
        return self.out.write(text)

    def flush(self):
        self.out.flush()


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
    if seconds >= 1:
        return "%.2f s" % seconds
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


class Stat:
    """Median and spread (min..max) of several timed runs, in seconds; or an
    estimate (`extrapolated` names how it was made) with no runs behind it."""

    def __init__(self, runs=(), estimate=None, extrapolated=None):
        self.runs = sorted(runs)
        self.extrapolated = extrapolated
        if self.runs:
            self.median = statistics.median(self.runs)
            self.low, self.high = self.runs[0], self.runs[-1]
        else:
            self.median = self.low = self.high = estimate

    def scaled(self, factor):
        out = Stat([r * factor for r in self.runs], None if self.runs else self.median * factor, self.extrapolated)
        return out

    def fmt(self, unit=None):
        if self.median is None:
            return "—"
        show = fmt_ns if unit == "ns" else fmt_time
        if not self.runs:
            return "~%s (%s)" % (show(self.median), self.extrapolated)
        if len(self.runs) == 1:
            return "%s (1 run)" % show(self.median)
        return "%s (%s..%s)" % (show(self.median), show(self.low), show(self.high))

    def as_dict(self):
        return {"median": self.median, "min": self.low, "max": self.high, "runs": len(self.runs),
                "extrapolated": self.extrapolated}


def fmt_ns(seconds):
    ns = seconds * 1e9
    return "%.0f ns" % ns if ns < 1e4 else fmt_time(seconds)


def sample(prepare, run, repeat, warmup=True):
    """`repeat` timed runs (after one warm-up run when `warmup`): prepare()
    builds the input of one run, untimed; run(state) does the work and
    returns its own elapsed seconds. The garbage collector is off while a
    run is timed, as in timeit."""
    import gc

    def once():
        gc.collect()
        state = prepare()
        gc.disable()
        try:
            return run(state)
        finally:
            gc.enable()

    if warmup:
        once()
    return Stat([once() for _ in range(repeat)])


def interleaved(tasks, repeat, warmup=True):
    """Like sample() for several (prepare, run) tasks at once, their runs
    taken in turns, so that a change of the machine's load hits them alike.
    Returns {key: Stat}."""
    if warmup:
        for prepare, run in tasks.values():
            sample(prepare, run, 1, warmup=False)
    runs = {key: [] for key in tasks}
    for _ in range(repeat):
        for key, (prepare, run) in tasks.items():
            runs[key] += sample(prepare, run, 1, warmup=False).runs
    return {key: Stat(values) for key, values in runs.items()}


def call_task(fn, target=0.02):
    """A (prepare, run) task timing one call of fn(), from batches of calls
    lasting about `target` seconds."""
    fn()
    start = time.perf_counter()
    fn()
    once = max(time.perf_counter() - start, 1e-7)
    number = max(1, int(target / once))

    def run(_):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        return (time.perf_counter() - start) / number

    return (lambda: None), run
