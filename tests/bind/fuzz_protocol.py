"""Protocol fuzzer for the compiled coroutine, generator and asynchronous
generator drivers.

Each sequence, deterministic from the seed and its number, picks a body from
the probe module (tests/bind/probe.cpp) and its pure-Python twin, builds the
same scripted awaitables or iterables for both, and drives both with the same
random calls: send/throw/close/__next__, asend/athrow/aclose/__anext__ and the
step awaitables' send/throw/close, exceptions of every kind thrown in,
gc.collect() between calls. The scripted objects answer each call from their
script: yield, return, raise, swallow what was thrown, or first call back into
the driver that is driving them (re-entry). At the end the driver is closed
or abandoned while suspended. Per sequence, the two logs (every result, every
exception's type and message, every call the scripted objects saw) must be
equal, no exception may be left set, and every object passed in must have its
reference count back where it was.

    .venv/bin/python tests/bind/fuzz_protocol.py [--sequences N] [--seed S] [--sanitize]

--sanitize runs it in a subprocess on a probe built with AddressSanitizer and
UndefinedBehaviorSanitizer (tests/native_build.py). Exit status: 0 when every
sequence agreed, 1 on the first difference (printed with its seed and log;
--keep-going prints them all), 86 on an AddressSanitizer report, 87 on an
UndefinedBehaviorSanitizer one, 77 when the sanitizer runtime is missing.
"""
import argparse
import gc
import os
import random
import subprocess
import sys
import time
import warnings
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))

import native_build  # noqa: E402

# ---------------------------------------------------------------------------
# Pure-Python twins of the probe's bodies


async def py_gather_in_order(awaitables):
    results = []
    for a in awaitables:
        results.append(await a)
    return results


async def py_catch_each(awaitables):
    results = []
    for a in awaitables:
        try:
            results.append(("value", await a))
        except Exception as e:  # noqa: BLE001 - the body under test catches the same
            results.append(("caught", e))
    return results


def py_yield_each(iterable):
    for item in iterable:
        yield item


def py_yield_catching(iterable):
    for item in iterable:
        try:
            yield item
        except Exception as e:  # noqa: BLE001
            yield ("caught", e)


async def py_relay(source):
    async for item in source:
        yield item


async def py_await_and_yield(awaitables):
    for a in awaitables:
        try:
            r = await a
        except Exception as e:  # noqa: BLE001
            r = ("caught", e)
        yield r


# shape -> (probe function name, twin, kind, input kind, catches Exception)
SHAPES = {
    "gather": ("gather_in_order", py_gather_in_order, "coroutine", "awaitables", False),
    "catch": ("catch_each", py_catch_each, "coroutine", "awaitables", True),
    "yield": ("yield_each", py_yield_each, "generator", "iterable", False),
    "yield_catching": ("yield_catching", py_yield_catching, "generator", "iterable", True),
    "relay": ("relay", py_relay, "async", "source", False),
    "await_yield": ("await_and_yield", py_await_and_yield, "async", "awaitables", True),
}

# ---------------------------------------------------------------------------
# Values and exceptions


class Token:
    __slots__ = ("n",)

    def __init__(self, n):
        self.n = n

    def __repr__(self):
        return f"T{self.n}"


class Custom(Exception):
    pass


class BaseCustom(BaseException):
    pass


EXCEPTIONS = {
    "ValueError": lambda t: ValueError("v"),
    "KeyError": lambda t: KeyError(t),
    "Custom": lambda t: Custom("c", t),
    "BaseCustom": lambda t: BaseCustom("b"),
    "GeneratorExit": lambda t: GeneratorExit(),
    "StopIteration": lambda t: StopIteration(t),
    "StopAsyncIteration": lambda t: StopAsyncIteration(),
    "KeyboardInterrupt": lambda t: KeyboardInterrupt(),
    "SystemExit": lambda t: SystemExit(3),
    "RuntimeError": lambda t: RuntimeError("r"),
}
NOT_EXCEPTION = ["BaseCustom", "KeyboardInterrupt", "SystemExit"]


def outcome(fn, *args):
    try:
        r = fn(*args)
    except StopIteration as e:
        return ("StopIteration", repr(e.value))
    except BaseException as e:  # noqa: BLE001 - every kind is compared
        return (type(e).__name__, str(e))
    return ("value", repr(r))


# ---------------------------------------------------------------------------
# Scripted awaitables and iterables

# Calls back into the driver from inside a scripted object.
REENTRY = {
    "send": lambda run: run.driver.send(None),
    "throw": lambda run: run.driver.throw(KeyError("in")),
    "close": lambda run: run.driver.close(),
    "next": lambda run: next(run.driver) if run.kind == "generator" else next(run.driver.__await__()),
    "asend": lambda run: run.driver.asend(None).send(None),
    "athrow": lambda run: run.driver.athrow(KeyError("in")).send(None),
    "aclose": lambda run: run.driver.aclose().send(None),
    "gc": lambda run: [gc.collect(), None][1],  # (how much garbage there was differs)
}


def reentry_choices(kind, site):
    """The calls back that the interpreter's own objects answer sanely from
    `site`. From inside the awaited iterator's throw or close, the 3.11
    interpreter delegates a re-entering throw/close to that same iterator
    again (unbounded recursion, or a frame popped while it runs), so those
    are left out; everything else must be refused as the interpreter does."""
    calls = ["gc"]
    if kind == "async":
        # (not the step in flight itself: the interpreter's step objects,
        # re-entered, clear the generator's running mark while it runs)
        calls += ["asend", "athrow", "aclose"]
    else:
        calls += ["send", "next"]
        if site in ("await", "send", "iter", "next") or kind == "generator":
            calls += ["throw", "close"]
    return calls


def thrown(args):
    """What a throw(...) call hands over, as (type name, message) whichever
    form it came in (the interpreter passes the caller's form on, the
    compiled driver the exception it made of it)."""
    if isinstance(args[0], BaseException):
        return type(args[0]).__name__, str(args[0])
    return args[0].__name__, str(args[0](*args[1:2]))


class Scripted:
    """An awaitable whose iterator answers each send/throw/close from its
    script: entries (result, object id) with result "yield", "return",
    "raise" or "swallow" (a throw answered with a value). `actions` maps a
    site ("await", "send", "throw", "close") to a call back into the driver
    made at the first call there."""

    def __init__(self, run, name, script, actions, close_kinds):
        self.run, self.name, self.script, self.i = run, name, script, 0
        self.actions, self.close_kinds = dict(actions), close_kinds

    def _entry(self, method, arg):
        run = self.run
        if run.aclosing and (method == "close" or (method == "throw" and arg[0] == "GeneratorExit")):
            # aclose() of a generator waiting here: the interpreter throws
            # GeneratorExit in, a compiled generator closes the iterator (it
            # destroys its frame without resuming it); either ends the wait.
            if run.depth == 0 and not run.muted:
                run.log.append(("call", self.name, "closed by aclose"))
            return ("reraise", 0)
        if run.depth == 0 and not run.muted:
            run.log.append(("call", self.name, method, arg))
        action = self.actions.pop(method, None)
        if action is not None:
            run.reenter(self.name, method, action)
        if self.i < len(self.script):
            entry = self.script[self.i]
            self.i += 1
            return entry
        return ("return", 0)

    def __await__(self):
        action = self.actions.pop("await", None)
        if action is not None:
            self.run.reenter(self.name, "await", action)
        return self

    def __iter__(self):
        return self

    def __next__(self):
        return self.send(None)

    def send(self, value):
        result, oid = self._entry("send", repr(value))
        if result in ("yield", "swallow"):
            return self.run.token(oid)
        if result == "raise":
            raise self.run.exc(oid)
        raise StopIteration(self.run.token(oid))

    def throw(self, *args):
        result, oid = self._entry("throw", thrown(args))
        if result == "swallow":
            return self.run.token(oid)
        if result == "raise":
            raise self.run.exc(oid)
        if result == "return":
            raise StopIteration(self.run.token(oid))
        raise args[0] if isinstance(args[0], BaseException) else args[0](*args[1:2])

    def close(self):
        result, oid = self._entry("close", None)
        if result == "raise":
            raise self.run.exc(oid, self.close_kinds)


class Items:
    """The generators' iterable: each __next__ answers from its script
    ("yield" a token, "return" to end, "raise"); `actions` as for Scripted,
    at the sites "iter" and "next"."""

    def __init__(self, run, script, actions):
        self.run, self.script, self.i, self.actions = run, script, 0, dict(actions)

    def __iter__(self):
        action = self.actions.pop("iter", None)
        if action is not None:
            self.run.reenter("items", "iter", action)
        return self

    def __next__(self):
        run = self.run
        if run.depth == 0 and not run.muted:
            run.log.append(("call", "items", "next"))
        action = self.actions.pop("next", None)
        if action is not None:
            run.reenter("items", "next", action)
        if self.i >= len(self.script):
            raise StopIteration
        result, oid = self.script[self.i]
        self.i += 1
        if result == "raise":
            raise run.exc(oid)
        if result == "return":
            raise StopIteration
        return run.token(oid)


class Source:
    """The relay's async iterable: __anext__ hands out the awaitables in turn."""

    def __init__(self, awaitables):
        self.awaitables = list(awaitables)

    def __aiter__(self):
        return self

    def __anext__(self):
        if not self.awaitables:
            raise StopAsyncIteration
        return self.awaitables.pop(0)


# ---------------------------------------------------------------------------
# One sequence

OBJECTS = 24  # tokens (and exceptions) a sequence can hand in


def make_plan(rng, shape):
    """A sequence as plain data, so that both runs get equal, fresh objects."""
    kind, inputs, catches = SHAPES[shape][2:]

    def oid():
        return rng.randrange(OBJECTS)

    def actions(sites):
        return {site: rng.choice(reentry_choices(kind, site)) for site in sites if rng.random() < 0.12}

    def script(results):
        return [(rng.choice(results), oid()) for _ in range(rng.randint(0, 4))]

    plan = {"shape": shape, "salt": rng.randrange(1 << 30), "catches": catches}
    if inputs == "iterable":
        plan["items"] = script(["yield", "yield", "yield", "return", "raise"])
        plan["actions"] = actions(("iter", "next"))
    else:
        plan["awaitables"] = [{"script": script(["yield", "yield", "return", "raise", "swallow"]),
                               "actions": actions(("await", "send", "throw", "close"))}
                              for _ in range(rng.randint(0, 3))]
    ops = []
    for _ in range(rng.randint(1, 9)):
        if rng.random() < 0.08:
            ops.append(("gc", None))
            continue
        if kind == "async":
            name = rng.choice(["asend", "asend", "anext", "athrow", "aclose",
                               "step_send", "step_send", "step_send", "step_throw", "step_close"])
        elif kind == "generator":
            name = rng.choice(["next", "next", "send", "throw", "close"])
        else:
            name = rng.choice(["send", "send", "next", "throw", "close"])
        if "throw" in name:
            arg = (rng.choice(["instance", "instance", "class", "class+value"]), rng.choice(list(EXCEPTIONS)), oid())
        else:
            arg = rng.choice([None, oid()])
        ops.append((name, arg))
    plan["ops"] = ops
    plan["ending"] = rng.choice(["close", "abandon", "abandon"])
    return plan


class Run:
    def __init__(self, plan, kind):
        self.plan, self.kind = plan, kind
        self.log, self.depth, self.muted, self.steps, self.aclosing = [], 0, False, [], False
        self.tokens = {n: Token(n) for n in range(OBJECTS)}
        self.baseline = self.refcounts()
        self.excs = []
        self.driver = None

    def refcounts(self):
        return {n: sys.getrefcount(t) for n, t in self.tokens.items()}

    def token(self, oid):
        return self.tokens[oid]

    def exc(self, oid, kinds=None, name=None):
        # A fresh exception each time (raising one object twice would chain
        # it to itself), of a kind fixed by the plan and the object id.
        if name is None:
            kinds = kinds or list(EXCEPTIONS)
            name = kinds[(self.plan["salt"] + oid) % len(kinds)]
        e = EXCEPTIONS[name](self.tokens[oid])
        self.excs.append(e)
        return e

    def reenter(self, who, site, action):
        if self.muted or self.depth > 0 or self.driver is None:
            return
        self.depth += 1
        try:
            self.log.append(("reentry", who, site, action, outcome(REENTRY[action], self)))
        finally:
            self.depth -= 1


def build_input(run, plan):
    inputs = SHAPES[plan["shape"]][3]
    if inputs == "iterable":
        return Items(run, plan["items"], plan["actions"])
    # A body that catches Exception would catch a close error that the
    # interpreter throws into its frame at close(); a compiled frame is
    # destroyed on close without running catch blocks (see coro.hpp), so
    # there the awaitables' close errors are of the other kinds.
    close_kinds = NOT_EXCEPTION if plan["catches"] else None
    awaitables = [Scripted(run, f"a{i}", planned["script"], planned["actions"], close_kinds)
                  for i, planned in enumerate(plan["awaitables"])]
    return Source(awaitables) if inputs == "source" else awaitables


def exception_args(run, thrown):
    form, name, oid = thrown
    if form == "instance":
        return (run.exc(oid, name=name),)
    cls = type(EXCEPTIONS[name](None))
    return (cls,) if form == "class" else (cls, "text")


def do_op(run, op):
    # The calls are made through `run` (see the end of one_sequence).
    name, arg = op
    if name == "gc":
        gc.collect()
        return ("gc",)
    if name == "next":
        return outcome(lambda: next(run.driver if run.kind == "generator" else run.driver.__await__()))
    if name == "send":
        return outcome(lambda: run.driver.send(None if arg is None else run.token(arg)))
    if name == "throw":
        return outcome(lambda: run.driver.throw(*exception_args(run, arg)))
    if name == "close":
        return outcome(lambda: run.driver.close())
    if name in ("asend", "anext", "athrow", "aclose"):
        if name == "asend":
            run.steps.append([run.driver.asend(None if arg is None else run.token(arg)), "init", name])
        elif name == "anext":
            run.steps.append([run.driver.__anext__(), "init", name])
        elif name == "athrow":
            run.steps.append([run.driver.athrow(*exception_args(run, arg)), "init", name])
        else:
            run.steps.append([run.driver.aclose(), "init", name])
        return ("made",)
    live = [s for s in run.steps if s[1] != "done"]
    if not live:
        return ("no step",)
    entry = live[-1]
    del live
    state, made_by = entry[1], entry[2]
    if name == "step_throw" and state == "init" and sum(s[1] != "done" for s in run.steps) > 1:
        # Interpreters before 3.13 throw into the generator even while
        # another step of it is in flight; 3.13 refuses, as compiled steps do.
        return ("skipped",)
    if name == "step_close":
        if state == "running":
            # The 3.11 interpreter leaves its generator marked as running
            # when a step in flight is closed; that is not copied.
            return ("skipped",)
        entry[1] = "done"
        return outcome(lambda: entry[0].close())
    run.aclosing = made_by == "aclose"
    if name == "step_send":
        # The first send of a step is None (asyncio's); a value there would
        # replace the one given to asend in the interpreter's objects.
        value = None if arg is None or state == "init" else arg
        r = outcome(lambda: entry[0].send(None if value is None else run.token(value)))
    else:
        r = outcome(lambda: entry[0].throw(*exception_args(run, arg)))
    run.aclosing = False
    entry[1] = "running" if r[0] == "value" else "done"
    return r


def one_sequence(plan, make):
    """Runs `plan` on the driver that `make` returns; the run holds the log
    and, in ref_faults, every token whose reference count is not back."""
    run = Run(plan, SHAPES[plan["shape"]][2])
    arg = build_input(run, plan)
    run.driver = make(arg)
    del arg
    for op in plan["ops"]:
        run.log.append((op[0], do_op(run, op)))
    if plan["ending"] == "close":
        close = (lambda: run.driver.aclose().send(None)) if run.kind == "async" else (lambda: run.driver.close())
        run.aclosing = run.kind == "async"
        if run.aclosing and any(s[1] == "running" for s in run.steps):
            run.log.append(("close at end", "skipped"))  # in flight: as step_throw above
        else:
            run.log.append(("close at end", outcome(close)))
        run.aclosing = False
    # Abandoned while suspended, or closed: the scripted objects stay quiet
    # while the frame goes (an abandoned Python twin is closed by its
    # finalizer, a compiled frame is destroyed).
    run.muted = True
    # (A caught exception that a body keeps holds its traceback, whose frames
    # link back to the harness frames that made the call: those hold the run,
    # never the driver or a step, or the driver would be reachable from its
    # own frame, which the collector cannot see through; see coro.hpp.)
    run.driver = None
    for entry in run.steps:
        entry.clear()
    run.steps.clear()
    while run.excs:
        run.excs.pop().__traceback__ = None
    for _ in range(3):  # finalizers of collected twins make more garbage
        gc.collect()
    after = run.refcounts()
    run.ref_faults = [f"T{n} has {after[n] - run.baseline[n]:+d} references" for n in after
                      if after[n] != run.baseline[n]]
    return run


def run_pair(index, seed, probe):
    rng = random.Random(f"{seed}:{index}")
    plan = make_plan(rng, rng.choice(list(SHAPES)))
    func, twin = SHAPES[plan["shape"]][:2]
    return plan, one_sequence(plan, getattr(probe, func)), one_sequence(plan, twin)


def report(index, seed, plan, ours, twin, faults, out=print):
    out(f"sequence {index} (seed {seed!r}, shape {plan['shape']}): {'; '.join(faults)}")
    out(f"plan: {plan}")
    for j in range(max(len(ours.log), len(twin.log))):
        a = ours.log[j] if j < len(ours.log) else None
        b = twin.log[j] if j < len(twin.log) else None
        out(("   " if a == b else "!! compiled ") + repr(a))
        if a != b:
            out("!! python   " + repr(b))


def fuzz(probe, sequences, seed="0", keep_going=False, out=print):
    """Runs `sequences` sequences on `probe`; returns how many differed
    (printing each), stopping at the first unless `keep_going`."""
    saved_hook = sys.unraisablehook
    sys.unraisablehook = lambda unraisable: None  # finalizers of abandoned twins
    gc.collect()
    gc.freeze()  # collections only look at the sequences' own objects
    failed = 0
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # never-awaited twins, the 3-argument throw
            for i in range(sequences):
                plan, ours, twin = run_pair(i, seed, probe)
                faults = (["logs differ"] if ours.log != twin.log else []) + \
                    [f"compiled: {f}" for f in ours.ref_faults] + [f"python: {f}" for f in twin.ref_faults]
                if faults:
                    report(i, seed, plan, ours, twin, faults, out)
                    failed += 1
                    if not keep_going:
                        break
    finally:
        gc.unfreeze()
        sys.unraisablehook = saved_hook
    return failed


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sequences", type=int, default=2000)
    parser.add_argument("--seed", default="0")
    parser.add_argument("--sanitize", action="store_true", help="run on the sanitizer build, in a subprocess")
    parser.add_argument("--keep-going", action="store_true", help="report every differing sequence")
    parser.add_argument("--probe", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.sanitize and not args.probe:
        env, reason = native_build.sanitizer_env()
        if env is None:
            print(f"sanitizer runtime unavailable: {reason}", file=sys.stderr)
            return 77
        path = native_build.build("bindprobe", sanitize=True, log=print)
        rest = ["--keep-going"] if args.keep_going else []
        return subprocess.run([sys.executable, __file__, "--sequences", str(args.sequences), "--seed", args.seed,
                               "--probe", str(path), *rest], env=env).returncode
    path = args.probe or native_build.build("bindprobe", sanitize=False, log=print)
    probe = native_build.load("bindprobe", path)
    started = time.perf_counter()
    failed = fuzz(probe, args.sequences, args.seed, args.keep_going)
    build = "sanitizer build" if args.probe and "sanitize" in Path(args.probe).parts else "plain build"
    ran = args.sequences if args.keep_going or not failed else "some"
    print(f"{failed} of {ran} sequences differed ({build}, {time.perf_counter() - started:.1f} s, seed {args.seed!r})")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
