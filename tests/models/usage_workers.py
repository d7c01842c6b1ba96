"""Worker processes that record usage for one session and model at once.

Run as a program, one worker: it imports the parser, prints "ready", waits
for a line on standard input, then makes ``--calls`` updates on each of
``--threads`` threads and prints one JSON line with what it added and how
long it took. The store is the one the environment configures (REDIS_URL,
REDIS_CLUSTER_URL, QOR_CONF__service__redis_lock__...).

Modes:
    invoke       qorCogsift().invoke of a message carrying usage 1/2/3
    mixed        invoke, transform and atransform in turn (counted usage)
    unprotected  the parser's read and write done here without any lock
                 (the baseline that loses increments)

``run_workers`` starts the processes, releases them together and sums the
reports; tests and benchmarks use it.
"""
import argparse
import asyncio
import json
import os
import signal
import subprocess
import sys
import threading
import time

from subprocess_env import child_env

SESSION = "usage-workers"
MODEL = "m"
KEYS = ("prompt_tokens", "completion_tokens", "total_tokens")
INVOKE_USAGE = {"prompt_tokens": 1, "completion_tokens": 2, "total_tokens": 3}
STREAM = ["<thi", "nk>why", "</th", "ink>be", "cause"]
PROMPT = "How many tokens?"


def _config():
    return {"input": {"session_id": SESSION}, "metadata": {"model_name": MODEL, "prompt": PROMPT}}


def _updates(mode):
    """The updates a worker of ``mode`` makes in turn, each returning the
    usage it adds."""
    from langchain_core.messages import AIMessage, AIMessageChunk

    from community.models import cogsift
    from utils import dbs

    parser = cogsift.qorCogsift()
    enc = cogsift.tokenizer
    prompt_tokens = len(enc.encode_ordinary(PROMPT))
    completion_tokens = len(enc.encode_ordinary("".join(STREAM)))
    stream_usage = {"prompt_tokens": prompt_tokens, "completion_tokens": completion_tokens,
                    "total_tokens": prompt_tokens + completion_tokens}

    def invoke():
        message = AIMessage(content="<think>r</think>a")
        message.usage = dict(INVOKE_USAGE)
        parser.invoke(message, _config())
        return INVOKE_USAGE

    def transform():
        for _ in parser.transform(iter([AIMessageChunk(content=t) for t in STREAM]), _config()):
            pass
        return stream_usage

    def atransform():
        async def chunks():
            for t in STREAM:
                yield AIMessageChunk(content=t)

        async def drain():
            async for _ in parser.atransform(chunks(), _config()):
                pass

        asyncio.run(drain())
        return stream_usage

    def unprotected():
        name = "usage:" + SESSION
        existing = dbs.get_redis_data(name, key=MODEL)
        if existing:
            for key in KEYS:
                existing[key] += INVOKE_USAGE[key]
        else:
            existing = dict(INVOKE_USAGE)
        dbs.hset_redis_data(name, key=MODEL, value=existing, ttl=600)
        return INVOKE_USAGE

    return {"invoke": [invoke], "mixed": [invoke, transform, atransform], "unprotected": [unprotected]}[mode]


def _stop_after_read(cogsift, count):
    """This process stops itself (SIGSTOP) right after the ``count``-th read
    of the record, holding the lock, until the parent continues it."""
    real_get, reads, guard = cogsift.get_redis_data, [0], threading.Lock()

    def read_then_stop(name, key):
        record = real_get(name, key=key)
        with guard:
            reads[0] += 1
            stop = reads[0] == count
        if stop:
            os.kill(os.getpid(), signal.SIGSTOP)
        return record

    cogsift.get_redis_data = read_then_stop


def _worker_main(args):
    from community.models import cogsift
    from utils import dbs

    kinds = _updates(args.mode)
    added = [dict.fromkeys(KEYS, 0) for _ in range(args.threads)]
    completed = [0] * args.threads
    errors = []

    if args.stop_after_read:
        _stop_after_read(cogsift, args.stop_after_read)

    def run(index):
        for i in range(args.calls):
            try:
                usage = kinds[(index + i) % len(kinds)]()
            except BaseException as exc:  # reported to the parent
                errors.append(repr(exc))
                if not args.keep_going:
                    return
                continue
            completed[index] += 1
            for key in KEYS:
                added[index][key] += usage[key]

    dbs.session_store()  # connect before the start
    print("ready", flush=True)
    sys.stdin.readline()
    started = time.perf_counter()
    threads = [threading.Thread(target=run, args=(i,)) for i in range(args.threads)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    seconds = time.perf_counter() - started
    total = {key: sum(a[key] for a in added) for key in KEYS}
    stored = dbs.get_redis_data("usage:" + SESSION, key=MODEL)
    print(json.dumps({"added": total, "updates": sum(completed), "seconds": seconds,
                      "errors": errors, "stored": stored}), flush=True)


def worker_env(store_env):
    env = child_env()
    for name in ("REDIS_URL", "REDIS_CLUSTER_URL"):
        env.pop(name, None)
    env.update(store_env)
    return env


def run_workers(processes, threads, calls, mode, store_env, timeout=300, stall=None):
    """Runs the workers together; returns {"added", "updates", "seconds",
    "errors", "stored"}: the sums of the workers' reports (``updates`` those
    that completed without error), ``seconds`` the longest, ``stored`` the
    record the last worker to finish read back.

    ``stall`` (reads, seconds): the first worker stops (SIGSTOP) right after
    its ``reads``-th read of the record, holding the lock, and is continued
    ``seconds`` later; the workers then go on after an error instead of
    ending their thread."""
    env = worker_env(store_env)
    command = [sys.executable, __file__, "--threads", str(threads), "--calls", str(calls), "--mode", mode]
    first = command
    if stall is not None:
        command = command + ["--keep-going"]
        first = command + ["--stop-after-read", str(stall[0])]
    procs = [subprocess.Popen(first if i == 0 else command, env=env, stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True) for i in range(processes)]
    try:
        for p in procs:
            line = p.stdout.readline()
            if line.strip() != "ready":
                raise RuntimeError("worker did not start: %r" % line)
        for p in procs:
            p.stdin.write("go\n")
            p.stdin.flush()
        if stall is not None:
            os.waitpid(procs[0].pid, os.WUNTRACED)  # returns once it has stopped
            time.sleep(stall[1])
            os.kill(procs[0].pid, signal.SIGCONT)
        reports = []
        for p in procs:
            out, _ = p.communicate(timeout=timeout)
            if p.returncode != 0:
                raise RuntimeError("worker exited with status %s" % p.returncode)
            reports.append(json.loads(out.strip().splitlines()[-1]))
    finally:
        for p in procs:
            if p.poll() is None:
                p.kill()
                p.wait()
    return {
        "added": {key: sum(r["added"][key] for r in reports) for key in KEYS},
        "updates": sum(r["updates"] for r in reports),
        "seconds": max(r["seconds"] for r in reports),
        "errors": [e for r in reports for e in r["errors"]],
        "stored": max(reports, key=lambda r: r["seconds"])["stored"],
    }


if __name__ == "__main__":
    cli = argparse.ArgumentParser()
    cli.add_argument("--threads", type=int, default=1)
    cli.add_argument("--calls", type=int, default=100)
    cli.add_argument("--mode", choices=("invoke", "mixed", "unprotected"), default="invoke")
    cli.add_argument("--keep-going", action="store_true", help="go on after a failed update")
    cli.add_argument("--stop-after-read", type=int, default=0, help="stop this process after that read")
    _worker_main(cli.parse_args())
