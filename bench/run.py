"""The benchmark suite: every hot path of the package against its Python
baselines, measured in one process.

    ./dev.sh bench [options]        # prepares .venv, installs bench/requirements.txt, builds, runs this
    .venv/bin/python bench/run.py [options]

Each baseline is a literal Python model of the path (bench/baselines/, and
the tests' model of the streaming split, tests/models/literal_split.py), run
twice: as plain Python and compiled by Cython (bench/cython_build.py). The
streaming split is also compared with its "floor", a Python generator that
does only the work no implementation can avoid per chunk. The parser module
measured is a release build with its test hooks, which switch its direct
attribute paths off for one figure (common.cogsift_with_test_hooks; built
under build/cxx/release/ on the first run, the in-place module is not used).

Each figure is the median of several runs (min..max in brackets). Baseline
runs of the quadratic streaming split that would take longer than --budget
seconds are not made; their figures are extrapolated along the slope of the
last measured points and marked so. Output: a markdown table on standard
output and in bench/results/table.md, the raw figures in
bench/results/results.json, and PNG plots in bench/results/.
"""
import argparse
import asyncio
import contextlib
import ctypes
import ctypes.util
import gc
import itertools
import json
import math
import os
import platform
import subprocess
import sys
import time
import tracemalloc
from pathlib import Path

import common
from common import Stat, call_task, fmt_time, interleaved, sample

import cython_build
import streams

RESULTS = common.ROOT / "bench" / "results"
sys.path.insert(0, str(common.ROOT / "tests" / "models"))  # the literal model of the streaming split

PROMPT = "How many tokens does this question take?"
CONFIG = {"input": {"session_id": "bench"}, "metadata": {"model_name": "bench", "prompt": PROMPT}}
SWEEP_LENGTHS = [1000, 2000, 5000, 10000, 20000, 50000, 100000, 200000, 500000, 1000000]
perf_counter = time.perf_counter


# ---------------------------------------------------------------------------
# Set-up


class Impl:
    """The modules under test and both copies of every baseline."""

    def __init__(self):
        from community.retrievers import qor

        cogsift = common.cogsift_with_test_hooks()

        import literal_split
        from baselines import external_py, floor, parser_py, retrievers_py

        self.cogsift, self.qor = cogsift, qor
        self.py = {"literal_split": literal_split, "floor": floor, "parser_py": parser_py,
                   "retrievers_py": retrievers_py, "external_py": external_py}
        self.cy = {name: cython_build.load(name) for name in self.py}
        self.loop = asyncio.new_event_loop()

    def both(self, name):
        return (("Python", self.py[name]), ("Cython", self.cy[name]))


class StubStore:
    """A session store that answers at once."""

    def __init__(self):
        self.data = {}

    def get(self, name, key=None):
        return self.data.get((name, key))

    def hset(self, name, key, value, ttl=None):
        self.data[name, key] = value


@contextlib.contextmanager
def quick_usage(impl):
    """The usage step with counting and storing that cost next to nothing
    (`len` as the token counter, a dictionary as the session store), on the
    module and on both baselines, so that a stream's figure is its split."""
    store = StubStore()
    cogsift = impl.cogsift
    names = ("get_input_len", "get_text_token_len", "get_redis_data", "hset_redis_data")
    saved = {name: getattr(cogsift, name) for name in names}
    cogsift.get_input_len = cogsift.get_text_token_len = len
    cogsift.get_redis_data, cogsift.hset_redis_data = store.get, store.hset
    baselines = (impl.py["parser_py"], impl.cy["parser_py"])
    for m in baselines:
        m.get_redis_data, m.hset_redis_data = store.get, store.hset
    try:
        yield store
    finally:
        for name, value in saved.items():
            setattr(cogsift, name, value)
        for m in baselines:
            m.get_redis_data = m.hset_redis_data = None


def usage_step(parser_module, config, count_input=len, count_text=len):
    """The literal model's step 6 (its `on_answer`), made with `parser_module`."""
    session_id = config.get("input", {}).get("session_id", "default_session_id")
    model_name = config.get("metadata", {}).get("model_name", "unknown_model")

    def on_answer(answer):
        prompt_tokens = count_input(config["metadata"]["prompt"])
        completion_tokens = count_text(answer)
        parser_module.accumulate_usage(session_id, model_name, {
            "prompt_tokens": prompt_tokens, "completion_tokens": completion_tokens,
            "total_tokens": prompt_tokens + completion_tokens})

    return on_answer


# ---------------------------------------------------------------------------
# Timing streams


def chunk_list(pieces):
    from langchain_core.messages import AIMessageChunk

    return [AIMessageChunk(content=p) for p in pieces]


def sync_run(fn, *extra):
    def run(chunks):
        start = perf_counter()
        for _ in fn(chunks, *extra):
            pass
        return perf_counter() - start

    return run


def async_run(loop, fn, *extra):
    def run(chunks):
        async def source():
            for chunk in chunks:
                yield chunk

        async def drain():
            start = perf_counter()
            async for _ in fn(source(), *extra):
                pass
            return perf_counter() - start

        return loop.run_until_complete(drain())

    return run


def auto_sample(prepare, run, repeat):
    """Runs chosen by the cost of the first one: `repeat` runs after a warm-up
    when a run is quick, five when it takes over 0.1 s, three (the first
    one counted) when it takes over a second."""
    first = sample(prepare, run, 1, warmup=False)
    if first.median > 1.0:
        return Stat(first.runs + sample(prepare, run, 2, warmup=False).runs)
    if first.median > 0.1:
        return sample(prepare, run, 5, warmup=False)
    return sample(prepare, run, repeat, warmup=False)


def stream_stat(pieces, run, repeat):
    return auto_sample(lambda: chunk_list(pieces), run, repeat)


def tenths_profile(fn, pieces, repeat):
    """Cost per chunk in each tenth of the stream (seconds, median over runs),
    timed at the input side: the time between the requests for the first
    chunks of consecutive tenths. The end-of-input step is not included."""
    profiles = []
    for run in range(repeat + 1):
        chunks = chunk_list(pieces)
        bounds = [len(chunks) * i // 10 for i in range(11)]
        slices = [chunks[bounds[i]:bounds[i + 1]] for i in range(10)] + [[]]
        marks = []

        def stamp(part, marks=marks):
            marks.append(perf_counter())
            return part

        source = itertools.chain.from_iterable(map(stamp, slices))
        gc.collect()
        gc.disable()
        try:
            for _ in fn(source):
                pass
        finally:
            gc.enable()
        if run:  # the first run warms up
            profiles.append([(marks[i + 1] - marks[i]) / (bounds[i + 1] - bounds[i]) for i in range(10)])
    return [Stat([p[i] for p in profiles]) for i in range(10)]


# ---------------------------------------------------------------------------
# Rows of the table


class Row:
    """One line of the table: the C++ figure, its reference (the floor, or
    tiktoken alone), both baselines and the goal."""

    def __init__(self, item, figure, unit, cpp, ref=None, ref_label="", py=None, cy=None, goal="", met=None,
                 short=None):
        self.item, self.figure, self.unit, self.cpp, self.ref, self.ref_label = item, figure, unit, cpp, ref, ref_label
        self.py, self.cy, self.goal, self.met = py, cy, goal, met
        self.short = short or figure

    def ratio(self, other):
        if other is None or other.median is None:
            return "—"
        return ("" if other.runs else "~") + fmt_ratio(other.median / self.cpp.median)

    def cells(self):
        fmt = lambda s: "—" if s is None else s.fmt(self.unit)  # noqa: E731
        ref = "—" if self.ref is None else "%s: %s" % (self.ref_label, fmt(self.ref))
        mark = {None: "", TIE: " ≈ (within 3%)", True: " ✔", False: " ✘"}[self.met]
        return [str(self.item), self.figure, fmt(self.cpp), ref, fmt(self.py), fmt(self.cy), self.ratio(self.ref),
                self.ratio(self.py), self.ratio(self.cy), (self.goal + mark).strip()]

    def as_dict(self):
        out = {"item": self.item, "figure": self.figure, "unit": self.unit, "goal": self.goal, "met": self.met,
               "reference_label": self.ref_label}
        for key in ("cpp", "ref", "py", "cy"):
            value = getattr(self, key)
            out[key] = None if value is None else value.as_dict()
        return out


def fmt_ratio(r):
    if r >= 100:
        return "{:,.0f}x".format(r)
    return ("%.1fx" % r) if r >= 10 else ("%.2fx" % r)


HEADER = ["#", "Figure", "C++", "Reference", "Python", "Cython", "Ref ÷ C++", "Python ÷ C++", "Cython ÷ C++", "Goal"]


TIE = "tie"  # a "faster than" goal neither met nor missed beyond the noise


def faster_than(stat, other, factor=1.0):
    return other is not None and other.median is not None and other.median >= factor * stat.median


def faster_or_tie(stat, other, margin=0.03):
    """True when `stat` is faster than `other` by more than `margin`, TIE when
    the two are within it, False when slower beyond it."""
    ratio = other.median / stat.median
    if ratio > 1 + margin:
        return True
    return TIE if ratio >= 1 - margin else False


# ---------------------------------------------------------------------------
# 1. Streaming split, realistic stream


def realistic_rows(impl, args):
    pieces = streams.realistic(25000)
    n = len(pieces)
    cogsift, parser = impl.cogsift, impl.cogsift.qorCogsift()
    prepare = lambda: chunk_list(pieces)  # noqa: E731
    rows = []

    def row(figure, short, cpp_run, floor_run, baseline_run):
        quick = interleaved({"cpp": (prepare, cpp_run), "floor": (prepare, floor_run)}, args.repeat)
        cpp, ref = quick["cpp"].scaled(1.0 / n), quick["floor"].scaled(1.0 / n)
        base = {name: stream_stat(pieces, baseline_run(module), args.repeat).scaled(1.0 / n)
                for name, module in (("Python", impl.py["literal_split"]), ("Cython", impl.cy["literal_split"]))}
        met = ref.median > cpp.median and faster_than(cpp, base["Cython"], 3)
        return Row(1, "Realistic stream, ns per chunk: " + figure, "ns", cpp, ref, "floor", base["Python"],
                   base["Cython"], "below the floor, ≥3x Cython", met, short)

    floor = impl.py["floor"]
    rows.append(row("module-level `atransform` (the split alone)", "realistic stream, module atransform",
                    sync_run(cogsift.atransform), sync_run(floor.floor_transform),
                    lambda m: sync_run(m.literal_transform)))
    # How much of the lead over the floor is the direct attribute access on
    # message objects: the same with the interpreter's setattr/getattr.
    cogsift._fast_attributes(False)
    try:
        quick = interleaved({"cpp": (prepare, sync_run(cogsift.atransform)),
                             "floor": (prepare, sync_run(floor.floor_transform))}, args.repeat)
    finally:
        cogsift._fast_attributes(True)
    rows.append(Row(1, "Realistic stream, ns per chunk: module-level `atransform` with the direct attribute paths "
                    "off (the interpreter's setattr/getattr on the chunks)", "ns", quick["cpp"].scaled(1.0 / n),
                    quick["floor"].scaled(1.0 / n), "floor", None, None, "(for scale)", None))
    # The parser's streams without LangChain's run around them (its cost per
    # chunk is part 8): the split that transform and atransform hand to it.
    with quick_usage(impl):
        rows.append(row("the split of `qorCogsift.transform` (`_split_chunks`: split, text kept for the usage "
                        "step, which counts with `len`; without LangChain's run)",
                        "realistic stream, qorCogsift.transform split", sync_run(cogsift._split_chunks, parser, CONFIG),
                        sync_run(floor.floor_transform),
                        lambda m: sync_run(m.literal_transform, usage_step(impl.py["parser_py"], CONFIG))))
        rows.append(row("the split of `qorCogsift.atransform` (`_asplit_chunks`, the same, asynchronous)",
                        "realistic stream, qorCogsift.atransform split",
                        async_run(impl.loop, cogsift._asplit_chunks, parser, CONFIG),
                        async_run(impl.loop, floor.floor_atransform),
                        lambda m: async_run(impl.loop, m.literal_atransform, usage_step(impl.py["parser_py"], CONFIG))))
    rows.append(real_usage_row(impl, pieces, parser, args))
    return rows


def real_usage_row(impl, pieces, parser, args):
    """For scale: the split of `qorCogsift.transform` with the real usage
    step (tiktoken count of the whole streamed text, the service's session
    store)."""
    from utils import dbs

    n = len(pieces)
    cogsift = impl.cogsift

    pm = {"Python": impl.py["parser_py"], "Cython": impl.cy["parser_py"]}
    for m in pm.values():
        m.get_redis_data, m.hset_redis_data = dbs.get_redis_data, dbs.hset_redis_data
    try:
        cpp = stream_stat(pieces, sync_run(cogsift._split_chunks, parser, CONFIG), args.repeat).scaled(1.0 / n)
        base = {}
        for name, lit in (("Python", impl.py["literal_split"]), ("Cython", impl.cy["literal_split"])):
            on_answer = usage_step(pm[name], CONFIG, pm[name].get_input_len, pm[name].get_text_token_len)
            base[name] = stream_stat(pieces, sync_run(lit.literal_transform, on_answer), args.repeat).scaled(1.0 / n)
    finally:
        for m in pm.values():
            m.get_redis_data = m.hset_redis_data = None
    usage_row = Row(1, "Realistic stream, ns per chunk: the split of `qorCogsift.transform` with its real usage "
                    "step (tiktoken "
                    "count of the whole text, session store)", "ns", cpp, None, "", base["Python"], base["Cython"],
                    "(for scale)", None)
    return usage_row


# ---------------------------------------------------------------------------
# 2 and 3. Adversarial stream and the growth with the stream's length


class Sweep:
    """Total split time against stream length, for one kind of stream."""

    def __init__(self, kind):
        self.kind = kind
        self.series = {}  # name -> {length: Stat}
        self.caps = {}    # name -> text saying where and why the runs stop

    def at(self, name, length):
        return self.series.get(name, {}).get(length)


def run_sweep(impl, kind, lengths, args):
    build = streams.adversarial if kind == "adversarial" else streams.realistic
    sweep = Sweep(kind)
    series = [("C++", impl.cogsift.atransform, False),
              ("floor (Python)", impl.py["floor"].floor_transform, False),
              ("literal Python", impl.py["literal_split"].literal_transform, True),
              ("literal Cython", impl.cy["literal_split"].literal_transform, True)]
    pieces_of = {}
    for name, fn, capped_series in series:
        points = sweep.series.setdefault(name, {})
        measured = []
        for length in lengths:
            slope = 2.0
            if len(measured) >= 2:
                (l0, t0), (l1, t1) = measured[-2:]
                slope = max(1.0, math.log(t1 / t0) / math.log(l1 / l0))
            predicted = measured[-1][1] * (length / measured[-1][0]) ** slope if measured else 0.0
            if capped_series and (name in sweep.caps or (predicted > args.budget and not args.full)):
                if name not in sweep.caps:
                    sweep.caps[name] = ("not run beyond %s chars: a run of %s chars would take ~%s (budget %s)"
                                        % (f"{measured[-1][0]:,}", f"{length:,}", fmt_time(predicted),
                                           fmt_time(args.budget)))
                l1, t1 = measured[-1]
                points[length] = Stat(estimate=t1 * (length / l1) ** slope,
                                      extrapolated="extrapolated, slope %.2f" % slope)
                continue
            if length not in pieces_of:
                pieces_of[length] = build(length)
            stat = stream_stat(pieces_of[length], sync_run(fn), args.repeat)
            points[length] = stat
            measured.append((length, stat.median))
            if args.verbose:
                print("  %s %-15s %9d chars  %s" % (kind, name, length, stat.fmt()), file=sys.stderr)
    return sweep


def slope_of(points, low, high):
    """Log-log slope of a series between two lengths (measured points only)."""
    a, b = points.get(low), points.get(high)
    if a is None or b is None or not a.runs or not b.runs:
        return None
    return math.log(b.median / a.median) / math.log(high / low)


def adversarial_rows(impl, sweep, args):
    length = 200000
    pieces = streams.adversarial(length)
    cpp = sweep.at("C++", length)
    py, cy = sweep.at("literal Python", length), sweep.at("literal Cython", length)
    ref = sweep.at("floor (Python)", length)
    rows = [Row(2, "Adversarial stream (a \"<\" early in a %s-char reasoning never closed, %s chunks of 4): "
                "total split time, module-level `atransform`" % (f"{length:,}", f"{len(pieces):,}"), "time",
                cpp, ref, "floor", py, cy, "≥100x Cython", faster_than(cpp, cy, 100),
                "adversarial stream, total time")]
    profile = tenths_profile(impl.cogsift.atransform, pieces, max(5, args.repeat))
    first, last = profile[0], profile[-1]
    growth = last.median / first.median
    rows.append(Row(2, "Adversarial stream, C++ cost per chunk in the last tenth of the chunks (first tenth: %s)"
                    % first.fmt("ns"), "ns", last, None, "", None, None,
                    "last ≤ 1.5x first: %.2fx" % growth, growth <= 1.5))
    return rows, profile


def baseline_profiles(impl, args):
    """Cost per chunk over a shorter adversarial stream, for the baselines
    (one run each: their cost per chunk grows along the stream)."""
    length = args.profile_chars
    pieces = streams.adversarial(length)
    out = {}
    for name, module in (("literal Python", impl.py["literal_split"]), ("literal Cython", impl.cy["literal_split"])):
        out[name] = tenths_profile(module.literal_transform, pieces, 1)
    return length, out


# ---------------------------------------------------------------------------
# 4. Whole-response split


def whole_response_rows(impl, args):
    from langchain_core.messages import AIMessage

    text = streams.response(50000)
    usage = {"prompt_tokens": 1, "completion_tokens": 1, "total_tokens": 2}
    config = {"input": {"session_id": "bench"}, "metadata": {"model_name": "bench"}}
    calls = 100
    parsers = {"cpp": impl.cogsift.qorCogsift(), "py": impl.py["parser_py"].qorCogsift(),
               "cy": impl.cy["parser_py"].qorCogsift()}

    def prepare():
        return [AIMessage(content=text, usage=usage) for _ in range(calls)]

    def runner(parser):
        # The module's split alone (`_split_message`, what invoke hands to
        # LangChain's run); the baselines have no run around them.
        call = ((lambda message: impl.cogsift._split_message(message, parser, config)) if parser is parsers["cpp"]
                else (lambda message: parser.invoke(message, config)))

        def run(messages):
            start = perf_counter()
            for message in messages:
                call(message)
            return (perf_counter() - start) / calls

        return run

    with quick_usage(impl):
        results = {}
        for key, parser in parsers.items():
            message = AIMessage(content=text, usage=usage)
            parser.invoke(message, config)
            results[key] = (message.content, message.reasoning_content)
        assert results["cpp"] == results["py"] == results["cy"], "the whole-response baselines disagree"
        stats = interleaved({key: (prepare, runner(parser)) for key, parser in parsers.items()}, args.repeat)
    return [Row(4, "Whole-response split (`qorCogsift.invoke` without LangChain's run: `_split_message`) of a "
                "%s-char response; the message carries its "
                "usage, so nothing is counted; session store answering at once" % f"{len(text):,}", "time",
                stats["cpp"], None, "", stats["py"], stats["cy"], "(none stated)", None,
                "whole-response split, 50,000 chars")]


# ---------------------------------------------------------------------------
# 8. LangChain's run around the parser


def paired(tasks, repeat):
    """Runs of (prepare, run) tasks in turns, and per turn the differences
    named in `tasks["differences"]` ({name: (minuend, subtrahend)})."""
    differences = tasks.pop("differences")
    sample(*tasks[next(iter(tasks))], 1)  # warm-up
    runs = {key: [] for key in tasks}
    diffs = {key: [] for key in differences}
    for _ in range(repeat):
        turn = {key: sample(prepare, run, 1, warmup=False).runs[0] for key, (prepare, run) in tasks.items()}
        for key, value in turn.items():
            runs[key].append(value)
        for key, (a, b) in differences.items():
            diffs[key].append(turn[a] - turn[b])
    return {key: Stat(v) for key, v in runs.items()}, {key: Stat(v) for key, v in diffs.items()}


def runnable_rows(impl, args):
    """Cost per chunk of the run LangChain keeps around a streaming parser
    (the parser's run: input copy, callbacks, the summed input and output),
    for qorCogsift and for LangChain's StrOutputParser on the same chunks,
    called as a chain calls them and inside a chain that streams them."""
    from langchain_core.output_parsers import StrOutputParser
    from langchain_core.runnables import RunnableGenerator
    from langchain_core.runnables.config import ensure_config

    pieces = streams.realistic(25000)
    n = len(pieces)
    cogsift, ours, theirs = impl.cogsift, impl.cogsift.qorCogsift(), StrOutputParser()
    step_config = ensure_config(CONFIG)  # what a chain hands its steps
    prepare = lambda: chunk_list(pieces)  # noqa: E731

    def chain_run(parser):
        def run(chunks):
            def source(_input):
                yield from chunks

            chain = RunnableGenerator(source) | parser
            start = perf_counter()
            for _ in chain.stream(None, config=CONFIG):
                pass
            return perf_counter() - start
        return run

    with quick_usage(impl):
        stats, diffs = paired({
            "ours": (prepare, sync_run(ours.transform, step_config)),
            "ours split": (prepare, sync_run(cogsift._split_chunks, ours, step_config)),
            "theirs": (prepare, sync_run(theirs.transform, step_config)),
            "theirs parse": (prepare, sync_run(theirs._transform)),
            "ours async": (prepare, async_run(impl.loop, ours.atransform, step_config)),
            "ours async split": (prepare, async_run(impl.loop, cogsift._asplit_chunks, ours, step_config)),
            "theirs async": (prepare, async_run(impl.loop, theirs.atransform, step_config)),
            "theirs async parse": (prepare, async_run(impl.loop, theirs._atransform)),
            "ours chain": (prepare, chain_run(ours)),
            "theirs chain": (prepare, chain_run(theirs)),
            "differences": {"sync": ("ours", "ours split"), "sync ref": ("theirs", "theirs parse"),
                            "async": ("ours async", "ours async split"),
                            "async ref": ("theirs async", "theirs async parse")},
        }, args.repeat)
    per = lambda s: s.scaled(1.0 / n)  # noqa: E731
    ref = "StrOutputParser"
    return [
        Row(8, "LangChain's run around `transform`, ns per chunk (the whole `transform` less its inner split or "
            "parse, as a chain calls it, no callbacks)", "ns", per(diffs["sync"]), per(diffs["sync ref"]), ref,
            goal="(for scale)", short="run around transform"),
        Row(8, "LangChain's run around `atransform`, ns per chunk (the same, asynchronous)", "ns",
            per(diffs["async"]), per(diffs["async ref"]), ref, goal="(for scale)", short="run around atransform"),
        Row(8, "Whole `transform`, ns per chunk (run and split; StrOutputParser: run and its parse into text)",
            "ns", per(stats["ours"]), per(stats["theirs"]), ref, goal="(for scale)", short="whole transform"),
        Row(8, "Whole `atransform`, ns per chunk", "ns", per(stats["ours async"]), per(stats["theirs async"]), ref,
            goal="(for scale)", short="whole atransform"),
        Row(8, "Chain `generator | parser` streamed, ns per chunk (the chain's run too)", "ns",
            per(stats["ours chain"]), per(stats["theirs chain"]), ref, goal="(for scale)", short="chain stream"),
    ]


# ---------------------------------------------------------------------------
# 5. Token counting of a chat history


def counted_texts(history):
    """The texts get_input_len encodes for `history`, in order."""
    from langchain_core.messages import BaseMessage

    texts = []
    for message in history:
        if type(message) is dict:
            texts.append(message["content"])
        elif isinstance(message, BaseMessage) and isinstance(message.content, list):
            texts += [json.dumps(p) for p in message.content if "image_url" not in p and "input_audio" not in p]
        else:
            texts.append(message.content)
    return texts


def token_count_rows(impl, args):
    history = streams.chat_history(200)
    texts = counted_texts(history)
    encoder = impl.cogsift.tokenizer

    def tiktoken_alone():
        total = 0
        for text in texts:
            total += len(encoder.encode_ordinary(text))
        return total

    def json_and_tiktoken():
        # what is unavoidable when the parts arrive as mappings: their JSON
        # text, then the encoding
        from langchain_core.messages import BaseMessage

        total = 0
        for message in history:
            if type(message) is dict:
                total += len(encoder.encode_ordinary(message["content"]))
            elif isinstance(message, BaseMessage) and isinstance(message.content, list):
                for part in message.content:
                    if "image_url" not in part and "input_audio" not in part:
                        total += len(encoder.encode_ordinary(json.dumps(part)))
            else:
                total += len(encoder.encode_ordinary(message.content))
        return total

    expected = tiktoken_alone()
    cpp_fn = impl.cogsift.get_input_len
    py_fn, cy_fn = impl.py["parser_py"].get_input_len, impl.cy["parser_py"].get_input_len
    got = {"C++": cpp_fn(history), "Python": py_fn(history), "Cython": cy_fn(history),
           "json+tiktoken": json_and_tiktoken()}
    assert all(v == expected for v in got.values()), (expected, got)
    stats = interleaved({"cpp": call_task(lambda: cpp_fn(history)), "ref": call_task(tiktoken_alone),
                         "json": call_task(json_and_tiktoken), "py": call_task(lambda: py_fn(history)),
                         "cy": call_task(lambda: cy_fn(history))}, max(args.repeat, 9))
    overhead = stats["cpp"].median / stats["ref"].median - 1
    overhead_json = stats["cpp"].median / stats["json"].median - 1
    n_parts = sum(1 for m in history if not isinstance(m, dict) and isinstance(m.content, list))
    return [
        Row(5, "`get_input_len` of a %d-message chat history (%d with content-part lists; %s tokens in %d "
            "texts): overhead over tiktoken's encoding of the same texts %+.1f%%"
            % (len(history), n_parts, f"{expected:,}", len(texts), overhead * 100),
            "time", stats["cpp"], stats["ref"], "tiktoken alone", stats["py"], stats["cy"],
            "overhead < 10%", overhead < 0.10, "get_input_len, 200 messages"),
        Row(5, "`get_input_len`, the same history, against `json.dumps` of the parts + tiktoken, the Python way "
            "(overhead %+.1f%%)" % (overhead_json * 100), "time", stats["cpp"], stats["json"], "json + tiktoken",
            None, None, "(for scale)", None),
    ]


# ---------------------------------------------------------------------------
# 6. Retrievers


def retriever_rows(impl, args):
    from langchain_core.documents import Document

    import retrieval_dispatch as rd
    from hostkit.vectorstore import QorVectorStore
    from oxa_vector_client.http import models

    qor = impl.qor
    modules = {"C++": qor, "Python": impl.py["retrievers_py"], "Cython": impl.cy["retrievers_py"]}
    for m in modules.values():
        m.aquery, m.get_collection = rd.aquery, rd.get_collection
    store = QorVectorStore(create=False)
    search_filter = models.Filter(must=[models.FieldCondition(key="metadata.lang",
                                                              match=models.MatchValue(value="en"))])

    def retriever(module, k):
        return module.VectorStoreRetriever(vectorstore=store, search_kwargs={
            "filter": search_filter, "k": k, "score_threshold": 0.2}, post_process_kwargs={"weight": 0.5})

    rows = []
    count = 1000
    pairs = [(Document(page_content="passage %d" % i, metadata={"doc_id": i}), 1.0 - i / count)
             for i in range(count)]
    vector = {key: retriever(module, count) for key, module in modules.items()}
    scores = {key: [d.metadata["score"] for d in r.post_process(pairs)] for key, r in vector.items()}
    assert scores["C++"] == scores["Python"] == scores["Cython"], "the post_process baselines disagree"
    stats = interleaved({key: call_task(lambda r=r: r.post_process(pairs)) for key, r in vector.items()}, args.repeat)
    rows.append(Row(6, "`VectorStoreRetriever.post_process` of %s pairs (k = %s, weight 0.5)"
                    % (f"{count:,}", f"{count:,}"), "time", stats["C++"], None, "", stats["Python"],
                    stats["Cython"], "faster than Cython", faster_or_tie(stats["C++"], stats["Cython"]),
                    "VectorStoreRetriever.post_process, 1,000 pairs"))
    rows += external_rows(impl, pairs, count, args)
    rows += dispatch_rows(impl, modules, retriever, args)
    return rows


def external_rows(impl, pairs, count, args):
    """`ExternalRetriever`'s scoring of `pairs` and its parsing of a response
    of `count` hits."""
    qor = impl.qor
    rows = []
    external = {"C++": qor.ExternalRetriever(search_kwargs={"kb_id": "kb"}),
                "Python": impl.py["external_py"].ExternalResponse(),
                "Cython": impl.cy["external_py"].ExternalResponse()}
    stats = interleaved({key: call_task(lambda r=r: r.post_process(pairs)) for key, r in external.items()},
                        args.repeat)
    rows.append(Row(6, "`ExternalRetriever.post_process` of %s pairs" % f"{count:,}", "time", stats["C++"], None, "",
                    stats["Python"], stats["Cython"], "faster than Cython",
                    faster_or_tie(stats["C++"], stats["Cython"]), "ExternalRetriever.post_process, 1,000 pairs"))

    body = {"code": "200", "message": "", "data": [
        {"score": 0.99 - i / 2000, "chunk": {
            "id": "c%d" % i, "content": "passage %d: " % i + "text " * 40,
            "document": {"id": "d%d" % (i // 10), "name": "Document %d" % (i // 10), "type": "doc"},
            "metadata": {"lang": "en", "page": i % 30}}} for i in range(count)]}
    parsed = {key: [(d.page_content, d.metadata, s) for d, s in r._parse_external_response(body)]
              for key, r in external.items()}
    assert parsed["C++"] == parsed["Python"] == parsed["Cython"], "the response-parsing baselines disagree"
    stats = interleaved({key: call_task(lambda r=r: r._parse_external_response(body))
                         for key, r in external.items()}, args.repeat)
    rows.append(Row(6, "`ExternalRetriever._parse_external_response` of %s hits" % f"{count:,}", "time",
                    stats["C++"], None, "", stats["Python"], stats["Cython"], "faster than Cython",
                    faster_or_tie(stats["C++"], stats["Cython"]), "_parse_external_response, 1,000 hits"))
    return rows


def dispatch_rows(impl, modules, retriever, args):
    """One retrieval's dispatch of each module's retriever (made by
    `retriever(module, k)`), dense and hybrid, the store answering at once."""
    rows = []
    inputs = {"dense": {"query": "q", "embedding": [0.1] * 8},
              "hybrid": {"query": "q", "embedding": [0.1] * 8, "bm25": {"indices": [1], "values": [1.0]}}}
    batch = 200
    for shape, inp in inputs.items():
        tasks = {}
        for key, module in modules.items():
            coro_fn = retriever(module, 5)._aget_relevant_documents

            async def many(coro_fn=coro_fn):
                start = perf_counter()
                for _ in range(batch):
                    await coro_fn(inp)
                return (perf_counter() - start) / batch

            tasks[key] = (lambda: None, lambda _, many=many: impl.loop.run_until_complete(many()))
        stats = interleaved(tasks, args.repeat)
        rows.append(Row(6, "One retrieval's dispatch (`_aget_relevant_documents` awaited on a running loop), %s "
                        "query, store answering at once" % shape, "time", stats["C++"], None, "", stats["Python"],
                        stats["Cython"], "faster than Cython", faster_or_tie(stats["C++"], stats["Cython"]),
                        "dispatch, %s query" % shape))
    return rows


# ---------------------------------------------------------------------------
# 7. Memory


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def malloc_in_use():
    """Bytes the C allocator has handed out (glibc), or None elsewhere."""
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c"))
        fn = libc.mallinfo2
    except (OSError, AttributeError, TypeError):
        return None
    fn.restype = MallInfo2

    def read():
        info = fn()
        return info.uordblks + info.hblkhd

    return read


def held_maximum(split_module, pieces):
    """Longest held-back text over the stream, by the literal model."""
    state = split_module.LiteralSplit()
    longest = 0
    for piece in pieces:
        state.buffer += piece
        state.split()
        state.pending_output, state.pending_think = [], []
        longest = max(longest, len(state.buffer))
    return longest


def memory_rows(impl, args):
    from langchain_core.messages import AIMessageChunk

    length = 1000000
    kinds = {"bounded": (lambda: streams.bounded(length),
                         "alternating reasoning and answer blocks of ~1,000 chars"),
             "adversarial": (lambda: streams.adversarial_lazy(length),
                             "\"<\" early in a reasoning never closed")}
    in_use = malloc_in_use()
    rows = []
    for kind, (make, what) in kinds.items():
        held = held_maximum(impl.cy["literal_split"], make()) if kind == "bounded" else length - 6
        total = 0

        def chunks(sampler=None):
            nonlocal total
            total = 0
            for piece in make():
                total += len(piece)
                if sampler:
                    sampler()
                yield AIMessageChunk(content=piece)

        for entry, fn in (("module `atransform`", impl.cogsift.atransform),):
            # Python-side allocations (tracemalloc), the stream made lazily
            gc.collect()
            tracemalloc.start()
            base = tracemalloc.get_traced_memory()[0]
            for _ in fn(chunks()):
                pass
            traced_peak = tracemalloc.get_traced_memory()[1] - base
            tracemalloc.stop()
            # everything the C allocator handed out, the C++ buffers among it,
            # sampled before every chunk
            malloc_peak = None
            if in_use:
                gc.collect()
                start = in_use()
                top = [start]

                def sampler():
                    value = in_use()
                    if value > top[0]:
                        top[0] = value

                for _ in fn(chunks(sampler)):
                    pass
                malloc_peak = top[0] - start
            bound = 3 * held + 256 * 1024
            peak = max(traced_peak, malloc_peak or 0)
            rows.append({"stream": "%s: %s, %s chars" % (kind, what, f"{total:,}"), "entry": entry,
                         "held": held, "traced_peak": traced_peak, "malloc_peak": malloc_peak,
                         "bound": bound, "met": peak <= bound})
    return rows


# ---------------------------------------------------------------------------
# Plots


def decade_slope(points):
    """Log-log slope over the last decade of a series' measured points (or
    over all of them when they span less)."""
    measured = sorted(x for x, stat in points.items() if stat.runs)
    if len(measured) < 2:
        return None
    high = measured[-1]
    low = max([x for x in measured if x <= high / 10] or [measured[0]])
    return slope_of(points, low, high)


def plot_all(sweeps, profile, baseline_profile, rows, out_dir):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    files = []
    colours = {"C++": "tab:blue", "floor (Python)": "tab:gray", "literal Python": "tab:red",
               "literal Cython": "tab:orange"}
    titles = {"adversarial": "Adversarial: a \"<\" early in a reasoning never closed, 4-char chunks",
              "realistic": "Realistic: reasoning with occasional \"<\", then the answer, 1-8-char chunks"}
    if sweeps:
        files.append(plot_sweeps(plt, sweeps, colours, titles, out_dir))
    if profile:
        files.append(plot_profile(plt, profile, baseline_profile, colours, out_dir))
    if rows:
        files.append(plot_speedups(plt, rows, out_dir))
    return [f for f in files if f]


def plot_sweeps(plt, sweeps, colours, titles, out_dir):
    fig, axes = plt.subplots(1, len(sweeps), figsize=(7 * len(sweeps), 6.5), squeeze=False)
    for ax, sweep in zip(axes[0], sweeps):
        notes, handles, guessed_handles = [], [], []
        for name, points in sweep.series.items():
            xs = sorted(points)
            measured = [(x, points[x]) for x in xs if points[x].runs]
            guessed = [(x, points[x]) for x in xs if not points[x].runs]
            slope = decade_slope(points)
            label = name + ("" if slope is None else "  (slope %.2f over the last decade)" % slope)
            handles.append(ax.errorbar(
                [x for x, _ in measured], [s.median for _, s in measured],
                yerr=[[s.median - s.low for _, s in measured], [s.high - s.median for _, s in measured]],
                marker="o", ms=4, capsize=2, color=colours[name], label=label))
            if guessed:
                line, = ax.plot([measured[-1][0]] + [x for x, _ in guessed],
                                [measured[-1][1].median] + [s.median for _, s in guessed],
                                ls=":", lw=2, color=colours[name], label=name + ": extrapolated, not run")
                guessed_handles.append(line)
                notes.append("%s: %s." % (name, sweep.caps.get(name, "")))
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("stream length (characters)")
        ax.set_ylabel("total split time (s)")
        ax.set_title(titles[sweep.kind], fontsize=10)
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(handles=handles + guessed_handles, fontsize=8, loc="upper left")
        if notes:
            ax.text(0.0, -0.14, "\n".join(notes), transform=ax.transAxes, ha="left", va="top", fontsize=8)
    fig.suptitle("Streaming split: total time against stream length (log-log; median of several runs, "
                 "bars min..max)")
    fig.tight_layout(rect=(0, 0.05, 1, 1))
    path = out_dir / "split_time_vs_length.png"
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path


def plot_profile(plt, profile, baseline_profile, colours, out_dir):
    fig, ax = plt.subplots(figsize=(8, 5))
    xs = [i * 10 + 5 for i in range(10)]
    ax.plot(xs, [s.median * 1e9 for s in profile], marker="o", color=colours["C++"],
            label="C++ (200,000 chars, median of runs)")
    length, profiles = baseline_profile
    for name, prof in profiles.items():
        ax.plot(xs, [s.median * 1e9 for s in prof], marker="o", color=colours[name],
                label="%s (%s chars, one run)" % (name, f"{length:,}"))
    ax.set_yscale("log")
    ax.set_xlabel("position in the stream (% of the chunks; each point is one tenth)")
    ax.set_ylabel("cost per chunk (ns)")
    ax.set_title("Adversarial stream: cost per chunk along the stream")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8, loc="center right")
    fig.tight_layout()
    path = out_dir / "adversarial_cost_per_chunk.png"
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path


def plot_speedups(plt, rows, out_dir):
    ratio_rows = [r for r in rows if r.cy is not None and r.cy.median is not None and r.goal != "(for scale)"]
    if ratio_rows:
        fig, ax = plt.subplots(figsize=(10, 0.5 * len(ratio_rows) + 1.6))
        values = [r.cy.median / r.cpp.median for r in ratio_rows]
        def colour(r):
            if r.met is None or "Cython" not in r.goal:
                return "tab:gray"
            return "goldenrod" if r.met == TIE else "tab:green" if r.met else "tab:red"

        def note(r):
            if r.met == TIE:
                return "   (within 3%: a tie)"
            if r.met is None or "Cython" in r.goal:
                return ""
            return "   (goal: %s %s)" % (r.goal, "met" if r.met else "not met")

        bars = ax.barh(range(len(values)), values, color=[colour(r) for r in ratio_rows])
        for bar, r, v in zip(bars, ratio_rows, values):
            ax.text(v, bar.get_y() + bar.get_height() / 2, " " + r.ratio(r.cy) + note(r), va="center", fontsize=8)
        ax.set_yticks(range(len(values)))
        ax.set_yticklabels([r.short for r in ratio_rows], fontsize=8)
        ax.invert_yaxis()
        ax.set_xscale("log")
        ax.set_xlim(0.5, max(values) * 8)
        ax.axvline(1.0, color="black", lw=0.8)
        ax.set_xlabel("Cython-compiled baseline time ÷ C++ time\n(green: goal against Cython met; yellow: within "
                      "3%, a tie; red: not met; grey: no goal against Cython; ~ extrapolated)", fontsize=8)
        ax.set_title("Speed-up of the C++ modules over the Cython-compiled baselines")
        ax.grid(True, axis="x", which="both", alpha=0.3)
        fig.tight_layout()
        path = out_dir / "speedup_over_cython.png"
        fig.savefig(path, dpi=110)
        plt.close(fig)
        return path
    return None


# ---------------------------------------------------------------------------
# Output


def machine():
    model = platform.processor() or "unknown"
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
        for line in out.splitlines():
            if line.startswith("Model name:"):
                model = line.split(":", 1)[1].strip()
    except (OSError, subprocess.CalledProcessError):
        pass
    import Cython

    return {"cpu": model, "cores": os.cpu_count(), "python": platform.python_version(),
            "cython": Cython.__version__, "system": platform.platform(), "date": time.strftime("%Y-%m-%d"),
            "load_at_start": os.getloadavg()[0]}


def markdown(rows, memory, profile, info, args):
    lines = ["Machine: %s, %s cores; Python %s, Cython %s; %s; load average %.2f at the start, %.2f at the end."
             % (info["cpu"], info["cores"], info["python"], info["cython"], info["date"], info["load_at_start"],
                info["load_at_end"])]
    if rows:
        lines += ["", "| " + " | ".join(HEADER) + " |", "|" + "|".join("---" for _ in HEADER) + "|"]
        lines += ["| " + " | ".join(r.cells()) + " |" for r in rows]
    if profile:
        lines += ["", "Cost per chunk of the C++ split along the 200,000-char adversarial stream (ns, median per "
                  "tenth of the chunks):", "",
                  "| " + " | ".join("%d-%d%%" % (i * 10, i * 10 + 10) for i in range(10)) + " |",
                  "|" + "|".join("---" for _ in range(10)) + "|",
                  "| " + " | ".join("%.0f" % (s.median * 1e9) for s in profile) + " |"]
    if memory:
        lines += ["", "| Memory (%s) | Entry | Held back at most | Peak, Python allocations (tracemalloc) | "
                  "Peak, C allocator (C++ buffers included) | Bound: 3 × held + 256 KiB |" % "10^6-char streams",
                  "|---|---|---|---|---|---|"]
        for m in memory:
            lines.append("| %s | %s | %s chars | %s | %s | %s %s |" % (
                m["stream"], m["entry"], f"{m['held']:,}", kib(m["traced_peak"]),
                "—" if m["malloc_peak"] is None else kib(m["malloc_peak"]), kib(m["bound"]),
                "✔" if m["met"] else "✘"))
    lines += ["", "Reference: the floor (a Python generator that only reads `content`, sets `content` and "
              "`reasoning_content` and yields) for the streams, tiktoken's own encoding of the same texts for "
              "the token count. Figures are medians of several runs (min..max); \"~\" marks a baseline "
              "extrapolated from shorter streams because a run would exceed the %s budget%s."
              % (fmt_time(args.budget), " (--full: none)" if args.full else "")]
    return "\n".join(lines)


def kib(n):
    return "%.0f KiB" % (n / 1024)


def parse_args(argv):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--repeat", type=int, default=7, help="runs per figure when a run is quick (default 7)")
    ap.add_argument("--budget", type=float, default=10.0,
                    help="longest single run of a quadratic baseline in the length sweep, in seconds (default 10)")
    ap.add_argument("--full", action="store_true",
                    help="run every baseline at every length of the sweep (hours at 10^6 characters)")
    ap.add_argument("--max-length", type=int, default=1000000, help="longest stream of the sweep (default 10^6)")
    ap.add_argument("--profile-chars", type=int, default=20000,
                    help="length of the adversarial stream of the baselines' per-chunk profile (default 20000)")
    ap.add_argument("--only", nargs="*", default=None,
                    choices=["realistic", "adversarial", "response", "runnable", "tokens", "retrievers", "memory"],
                    help="run only these parts")
    ap.add_argument("--out", type=Path, default=RESULTS, help="results folder (default bench/results)")
    ap.add_argument("--no-plots", action="store_true")
    ap.add_argument("-v", "--verbose", action="store_true", help="progress on standard error")
    ap.add_argument("--write-docs", action="store_true", help="also write the table into docs/benchmarks.md")
    return ap.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    if "TIKTOKEN_CACHE_DIR" not in os.environ:
        sys.exit("run.py: set TIKTOKEN_CACHE_DIR to the directory holding the tokenizer data")
    only = set(args.only or ["realistic", "adversarial", "response", "runnable", "tokens", "retrievers", "memory"])

    def progress(text):
        if args.verbose:
            print("[%s] %s" % (time.strftime("%H:%M:%S"), text), file=sys.stderr)

    logging_quiet()
    progress("compiling the baselines with Cython (when changed)")
    cython_build.build(quiet=not args.verbose)
    impl = Impl()
    info = machine()
    rows, memory, sweeps, profile, baseline_profile = [], [], [], None, None
    if "realistic" in only:
        progress("realistic stream")
        rows += realistic_rows(impl, args)
    if "adversarial" in only:
        lengths = [n for n in SWEEP_LENGTHS if n <= args.max_length]
        if 200000 not in lengths:
            lengths = sorted(set(lengths) | {200000})
        for kind in ("adversarial", "realistic"):
            progress("length sweep, %s streams" % kind)
            sweeps.append(run_sweep(impl, kind, lengths, args))
        progress("adversarial stream, cost per chunk")
        adv_rows, profile = adversarial_rows(impl, sweeps[0], args)
        rows += adv_rows
        baseline_profile = baseline_profiles(impl, args)
    if "response" in only:
        progress("whole-response split")
        rows += whole_response_rows(impl, args)
    if "runnable" in only:
        progress("LangChain's run around the parser")
        rows += runnable_rows(impl, args)
    if "tokens" in only:
        progress("token count")
        rows += token_count_rows(impl, args)
    if "retrievers" in only:
        progress("retrievers")
        rows += retriever_rows(impl, args)
    if "memory" in only:
        progress("memory")
        memory = memory_rows(impl, args)

    info["load_at_end"] = os.getloadavg()[0]
    write_results(rows, memory, sweeps, profile, baseline_profile, info, args)


def write_results(rows, memory, sweeps, profile, baseline_profile, info, args):
    """The table on standard output and in the results folder, the raw
    figures and the plots."""
    args.out.mkdir(parents=True, exist_ok=True)
    table = markdown(rows, memory, profile, info, args)
    print(table)
    (args.out / "table.md").write_text(table + "\n")
    if args.write_docs:
        common.write_docs(table)
    raw = {"machine": info, "args": {k: str(v) if isinstance(v, Path) else v for k, v in vars(args).items()},
           "rows": [r.as_dict() for r in rows], "memory": memory,
           "sweeps": {s.kind: {"series": {name: {str(k): v.as_dict() for k, v in pts.items()}
                                          for name, pts in s.series.items()}, "caps": s.caps} for s in sweeps},
           "adversarial_profile": [s.as_dict() for s in profile or []]}
    (args.out / "results.json").write_text(json.dumps(raw, indent=1, ensure_ascii=False) + "\n")
    if not args.no_plots:
        for path in plot_all(sweeps, profile, baseline_profile, rows, args.out):
            print("plot: %s" % path)


def logging_quiet():
    """Error lines of the retrievers (none are expected) go nowhere."""
    from utils.logger import logger

    devnull = open(os.devnull, "w")
    for handler in logger.handlers:
        if hasattr(handler, "setStream"):
            handler.setStream(devnull)


if __name__ == "__main__":
    main()
