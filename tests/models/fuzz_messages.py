"""Message fuzzer for the parser's direct attribute paths.

Each case, deterministic from the seed and its number, builds messages
(AIMessage, AIMessageChunk, subclasses with __getattr__/__setattr__ hooks)
whose extras and instance dict hold hostile keys: str subclasses equal in
hash to the names the parser reads and writes, whose __eq__ or __hash__
replaces, empties or grows __pydantic_extra__, drops or replaces __dict__
entries or collects garbage, and values that are freed while a lookup runs
(their finalizers collect garbage). The parser then runs over them
(module-level atransform, qorCogsift.invoke, qorCogsift.transform) once with
the direct paths and once, on twins built from the same plan, with them
switched off (the interpreter's getattr/setattr); the outcomes and what the
messages look like afterwards must be equal.

    .venv/bin/python tests/models/fuzz_messages.py [--cases N] [--seed S] [--sanitize]

It runs in a subprocess on the parser module built with its test hooks
(which switch the direct paths off), into build/cxx/plain/, or with
--sanitize, with AddressSanitizer and UndefinedBehaviorSanitizer into
build/cxx/sanitize/ (the in-place module is left alone;
tests/native_build.py).
"""
import argparse
import gc
import os
import random
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests"))
from checkout import path_entries  # noqa: E402

for entry in reversed(path_entries()):
    if entry not in sys.path:
        sys.path.insert(0, entry)

import native_build  # noqa: E402

NAMES = ["reasoning_content", "content", "usage", "additional_kwargs", "other"]
CONTENTS = ["<think>a</think>b", "plain", "<think>open", "x<think>y</think>z", "", "<thi"]


def outcome(action):
    try:
        return ("value", action())
    except BaseException as exc:  # noqa: BLE001 - pydantic-core may panic on a dict mutated under it
        return (type(exc).__name__, str(exc))


# What a hostile key or value does to its message.
def replace_extras(msg):
    msg.__pydantic_extra__ = {"n": "replaced"}  # frees the dict being searched


def clear_extras(msg):
    extra = msg.__pydantic_extra__
    if isinstance(extra, dict):
        extra.clear()


def drop_content(msg):
    msg.__dict__.pop("content", None)


def swap_content(msg):
    msg.__dict__["content"] = "swapped"


def grow_extras(msg):
    extra = msg.__pydantic_extra__
    if isinstance(extra, dict) and "k0" not in extra:  # once: how often keys are compared is not fixed
        for i in range(8):  # resizes the table being searched
            extra[f"k{i}"] = i


def rebuild_extras(msg):
    extra = msg.__pydantic_extra__
    if isinstance(extra, dict) and "rebuilt" not in extra:
        msg.__pydantic_extra__ = {**{str(k): v for k, v in extra.items()}, "rebuilt": True}


def plant_reasoning(msg):
    extra = msg.__pydantic_extra__
    if isinstance(extra, dict):
        extra["reasoning_content"] = "planted"


def collect(msg):
    gc.collect()


ACTIONS = {f.__name__: f for f in (replace_extras, clear_extras, drop_content, swap_content, grow_extras,
                                   rebuild_extras, plant_reasoning, collect)}
ACTIONS["nothing"] = lambda msg: None


class Key(str):
    """A key equal to, and hashing like, `text`, whose __eq__ (or __hash__)
    runs an action on its message."""

    def __new__(cls, text, target, action, on):
        self = super().__new__(cls, text)
        self.target, self.action, self.on, self.busy = target, action, on, False
        return self

    def _act(self):
        if not self.busy and self.target is not None:
            self.busy = True
            try:
                ACTIONS[self.action](self.target)
            finally:
                self.busy = False

    def __hash__(self):
        if self.on == "hash":
            self._act()
        return str.__hash__(self)

    def __eq__(self, other):
        if self.on == "eq":
            self._act()
        return str.__eq__(self, other)

    def __ne__(self, other):
        return not self.__eq__(other)


class Tripwire:
    """A value whose finalizer runs an action on its message."""

    def __init__(self, target, action):
        self.target, self.action = target, action

    def __del__(self):
        target, self.target = self.target, None
        if target is not None:
            try:
                ACTIONS[self.action](target)
            except Exception:  # noqa: BLE001 - a finalizer must not raise
                pass

    def __repr__(self):
        return "Tripwire"


def message_classes():
    from langchain_core.messages import AIMessage, AIMessageChunk

    class GetHooked(AIMessageChunk):
        def __getattr__(self, name):
            extra = self.__pydantic_extra__
            if isinstance(extra, dict):
                extra.pop("k0", None)
            return super().__getattr__(name)

    class SetHooked(AIMessage):
        def __setattr__(self, name, value):
            extra = self.__pydantic_extra__
            if isinstance(extra, dict):
                extra["seen_" + name] = True
            super().__setattr__(name, value)

    return {"AIMessage": AIMessage, "AIMessageChunk": AIMessageChunk, "GetHooked": GetHooked, "SetHooked": SetHooked}


def make_plan(rng):
    def message():
        return {"cls": rng.choice(["AIMessageChunk", "AIMessageChunk", "AIMessage", "GetHooked", "SetHooked"]),
                "content": rng.choice(CONTENTS),
                "keys": [(rng.choice(["extra", "extra", "dict"]), rng.choice(NAMES), rng.choice(list(ACTIONS)),
                          rng.choice(["eq", "eq", "hash"]), rng.random() < 0.3)
                         for _ in range(rng.randint(0, 3))],
                "usage": rng.random() < 0.3}

    return {"op": rng.choice(["atransform", "atransform", "invoke", "transform"]),
            "messages": [message() for _ in range(rng.randint(1, 3))],
            "drop": rng.random() < 0.5}


def build(plan, classes):
    messages = []
    for planned in plan["messages"]:
        msg = classes[planned["cls"]](content=planned["content"])
        if planned["usage"]:
            msg.__pydantic_extra__["usage"] = {"prompt_tokens": 1, "completion_tokens": 2, "total_tokens": 3}
        for where, name, action, on, tripwire in planned["keys"]:
            # A value freed while a lookup runs: its finalizer may run
            # between the interpreter's two lookups of one name (`in`, then
            # `[]`) where the direct path makes one, so it changes nothing
            # the parser reads (how often keys are compared is not fixed).
            value = Tripwire(msg, "collect" if action == "collect" else "nothing") if tripwire else "hostile"
            key = Key(name, None, action, on)
            target = msg.__pydantic_extra__ if where == "extra" else msg.__dict__
            if where == "dict" and name in target:
                continue  # a declared field: the key would only replace it
            target[key] = value
            key.target = msg  # armed once in place
        messages.append(msg)
    return messages


def view(value):
    """A comparable picture of a result or a message."""
    if isinstance(value, (list, tuple)):
        return [view(v) for v in value]
    if hasattr(value, "__pydantic_extra__"):
        extra = value.__pydantic_extra__
        return {"type": type(value).__name__,
                "content": outcome(lambda: repr(value.content)),
                "reasoning": outcome(lambda: repr(value.reasoning_content)),
                "extra": sorted((str(k), repr(v)) for k, v in extra.items()) if isinstance(extra, dict) else repr(extra),
                "dict": sorted((str(k), repr(v)) for k, v in value.__dict__.items())}
    return repr(value)


def run_case(plan, classes, cogsift, fast):
    from utils import dbs

    dbs.set_session_store(dbs.MemorySessionStore())
    cogsift._fast_attributes(fast)
    try:
        messages = build(plan, classes)
        parser = cogsift.qorCogsift()
        config = {"input": {"session_id": "s"}, "metadata": {"model_name": "m", "prompt": "p"}}
        if plan["op"] == "atransform":
            result = outcome(lambda: view(list(cogsift.atransform(messages))))
        elif plan["op"] == "invoke":
            result = outcome(lambda: view([parser.invoke(m, config) for m in messages]))
        else:
            result = outcome(lambda: view(list(parser.transform(iter(messages), config))))
        seen = [view(m) for m in messages]
        usage = outcome(lambda: dbs.get_redis_data("usage:s", key="m"))
        if plan["drop"]:
            del messages  # the tripwires go off now
            gc.collect()
        return [result, seen, usage]
    finally:
        cogsift._fast_attributes(True)


def fuzz(cogsift, cases, seed="0", out=print):
    """Runs `cases` cases; returns the number of the first that differed
    (after printing it), or None."""
    from utils import dbs

    assert cogsift._fast_attributes() == {"extra": True, "field": True}, "the direct paths are not active"
    classes = message_classes()
    saved_hook, saved_store = sys.unraisablehook, dbs.session_store()
    sys.unraisablehook = lambda unraisable: None
    gc.collect()
    gc.freeze()  # what is loaded so far is never garbage: collections only look at the cases' objects
    try:
        for i in range(cases):
            plan = make_plan(random.Random(f"{seed}:{i}"))
            ours, plain = run_case(plan, classes, cogsift, True), run_case(plan, classes, cogsift, False)
            if ours != plain:
                out(f"case {i} (seed {seed!r}) differs\nplan: {plan}")
                for label, a, b in zip(("result", "messages", "usage"), ours, plain):
                    out(("   " if a == b else "!! ") + f"{label}: {a!r}" + ("" if a == b else f"\n   plain: {b!r}"))
                return i
    finally:
        gc.unfreeze()
        sys.unraisablehook = saved_hook
        dbs.set_session_store(saved_store)
    return None


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cases", type=int, default=2000)
    parser.add_argument("--seed", default="0")
    parser.add_argument("--sanitize", action="store_true", help="run on the sanitizer build, in a subprocess")
    parser.add_argument("--module", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if not args.module:  # the module as shipped has no test hooks: run on the build with them
        env = None
        if args.sanitize:
            env, reason = native_build.sanitizer_env()
            if env is None:
                print(f"sanitizer runtime unavailable: {reason}", file=sys.stderr)
                return 77
        path = native_build.build("cogsift", sanitize=args.sanitize, log=print)
        return subprocess.run([sys.executable, __file__, "--cases", str(args.cases), "--seed", args.seed,
                               "--module", str(path), *(["--sanitize"] if args.sanitize else [])],
                              env=env).returncode
    os.environ.setdefault("TIKTOKEN_CACHE_DIR", str(ROOT.parent / "shared" / "tiktoken"))
    import community.models  # noqa: F401 - the package the module is loaded into

    cogsift = native_build.load("community.models.cogsift", args.module)
    started = time.perf_counter()
    failed = fuzz(cogsift, args.cases, args.seed)
    if failed is not None:
        return 1
    kind = "sanitizer build" if args.sanitize else "plain build"
    print(f"{args.cases} cases agreed ({kind}, {time.perf_counter() - started:.1f} s, seed {args.seed!r})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
