"""ExternalRetriever under load, at its deadline and under Ctrl-C, against
services on 127.0.0.1; writes docs/external-retriever-load.md.

    .venv/bin/python bench/external_load.py [--quick]

1. Load: 100 and 1,000 concurrent ainvoke (api_timeout 2 s) against a
   service that answers each request after 1 s, for several sizes of the
   request pool ("request_workers"): how many got their documents, the most
   requests the service had in flight at once, the wall time, the growth of
   the process's resident memory and its thread count afterwards. Each size
   runs in a fresh process, so the figures do not carry over.
2. Deadlines: how far past api_timeout (0.5 s) each of 1 invoke and 20
   concurrent ainvoke ended, with a service trickling its body, a name that
   takes 1.5 s to resolve, and a pool whose every worker is held by a
   request the service never answers.
3. Ctrl-C: SIGINT to a process inside invoke (api_timeout 30 s) waiting on
   a service that never answers: time until KeyboardInterrupt is raised.

The services run in a child process, so their work does not compete with the
measured process for the interpreter lock. Log lines go to /dev/null.
"""
import argparse
import asyncio
import json
import logging
import os
import signal
import socket
import subprocess
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import external_retriever

ROOT = external_retriever.ROOT

DOC = ROOT / "docs" / "external-retriever-load.md"
TEMPLATE = "/kb/{}/retrieve"
SLOW_HOST = "kb-slow-resolution.bench"
BODY = json.dumps({"code": "200", "message": "", "data": [
    {"score": 0.9, "chunk": {"id": "c%d" % i, "content": "passage %d" % i, "document": {"name": "Doc"}}}
    for i in range(3)]}).encode()


# ---------------------------------------------------------------------------
# The service (child process)


def serve(mode):
    lock, counts = threading.Lock(), {"active": 0, "peak": 0}

    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.0"

        def do_GET(self):  # the peak of requests in flight since the last look
            with lock:
                payload = json.dumps(counts).encode()
                counts["peak"] = counts["active"]
            self.send_response(200)
            self.send_header("Content-Length", str(len(payload)))
            self.end_headers()
            self.wfile.write(payload)

        def do_POST(self):
            self.rfile.read(int(self.headers.get("Content-Length", 0)))
            with lock:
                counts["active"] += 1
                counts["peak"] = max(counts["peak"], counts["active"])
            try:
                self.answer()
            except OSError:
                pass  # the client gave up
            finally:
                with lock:
                    counts["active"] -= 1

        def answer(self):
            if mode == "never":
                time.sleep(60)
                return
            if mode == "1s":
                time.sleep(1.0)
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(BODY)))
            self.end_headers()
            if mode == "trickle":
                for i in range(len(BODY)):
                    time.sleep(0.1)
                    self.wfile.write(BODY[i:i + 1])
            else:
                self.wfile.write(BODY)

        def log_message(self, *args):
            pass

    ThreadingHTTPServer.request_queue_size = 4096  # 1,000 connections arrive at once
    external_retriever.serve_forever(Handler)


class Service(external_retriever.Server):
    def __init__(self, mode):
        super().__init__(mode, __file__)

    def peak(self):
        import requests
        return requests.get(self.url + "/stats", timeout=10).json()["peak"]


# ---------------------------------------------------------------------------
# Measurements


def quiet_retriever(url, api_timeout, **service):
    from community.retrievers import qor
    from utils.logger import logger

    devnull = open(os.devnull, "w")
    for handler in logger.handlers:
        handler.setStream(devnull)
    logging.getLogger().handlers.clear()
    section = {"qor_service": {"qor_host": url, "external_retrieve_url": TEMPLATE, "default_token": "t", **service}}
    qor.get_configs = lambda name: json.loads(json.dumps(section))
    return qor.ExternalRetriever(search_kwargs={"kb_id": "kb1", "api_timeout": api_timeout})


def rss_kib():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


def plain_retrieval(url, n):
    """The baseline: requests.post + json() on a pool of n threads, awaited."""
    import requests
    from concurrent.futures import ThreadPoolExecutor

    pool = ThreadPoolExecutor(n)

    def post(query):
        try:
            return requests.post(url + TEMPLATE.format("kb1"), json={"query": query}, timeout=2).json()["data"]
        except requests.RequestException:
            return []

    async def retrieval(query):
        return await asyncio.get_running_loop().run_in_executor(pool, post, query)

    return retrieval


def load_run(url, n, workers):
    """One load figure, in this (fresh) process: printed as JSON."""
    if workers == "baseline":
        retrieval = plain_retrieval(url, n)
    else:
        service = {} if workers == "default" else {"request_workers": int(workers)}
        retrieval = quiet_retriever(url, 2, **service).ainvoke
    asyncio.run(retrieval({"query": "warm-up"}))
    before = rss_kib()

    async def main():
        started = time.monotonic()
        results = await asyncio.gather(*(retrieval({"query": "q%d" % i}) for i in range(n)))
        return results, time.monotonic() - started

    results, wall = asyncio.run(main())
    print(json.dumps({"answered": sum(1 for docs in results if docs), "wall": wall,
                      "rss_mib": (rss_kib() - before) / 1024, "threads": threading.active_count()}))


def load(sizes, worker_settings):
    rows = []
    service = Service("1s")
    try:
        for n in sizes:
            for workers in worker_settings:
                service.peak()  # resets the peak
                out = subprocess.run([sys.executable, __file__, "--load", service.url, str(n), workers],
                                     capture_output=True, text=True, timeout=600)
                if out.returncode != 0:
                    raise SystemExit(out.stderr)
                figures = json.loads(out.stdout.strip().splitlines()[-1])
                rows.append({"n": n, "workers": workers, "peak": service.peak(), **figures})
                print("  %5d concurrent, request_workers %-7s: %s" % (n, workers, rows[-1]), flush=True)
    finally:
        service.close()
    return rows


def overruns(retriever, deadline):
    """How far past `deadline` 1 invoke and 20 concurrent ainvoke ended."""
    started = time.monotonic()
    retriever.invoke({"query": "q"})
    sync = time.monotonic() - started - deadline

    async def timed():
        started = time.monotonic()
        await retriever.ainvoke({"query": "q"})
        return time.monotonic() - started - deadline

    async def concurrently():
        return await asyncio.gather(*(timed() for _ in range(20)))

    return sync, asyncio.run(concurrently())


class SlowResolver:
    """socket.getaddrinfo taking 1.5 s for SLOW_HOST, which it resolves to the
    loopback address."""

    def __init__(self, real):
        self.real = real

    def __call__(self, host, *args, **kwargs):
        if host != SLOW_HOST:
            return self.real(host, *args, **kwargs)
        time.sleep(1.5)
        return self.real("127.0.0.1", *args, **kwargs)


def deadlines():
    socket.getaddrinfo = SlowResolver(socket.getaddrinfo)
    rows = []
    for case, mode in [("trickling body", "trickle"), ("slow name resolution (1.5 s)", "fast"),
                       ("hogged pool (2 workers)", "never")]:
        service = Service(mode)
        try:
            url = service.url.replace("127.0.0.1", SLOW_HOST) if mode == "fast" else service.url
            extra = {"request_workers": 2} if mode == "never" else {}
            if mode == "never":
                hog = quiet_retriever(url, None, **extra)
                for _ in range(2):
                    threading.Thread(target=hog.invoke, args=({"query": "hog"},), daemon=True).start()
                time.sleep(0.5)
            sync, concurrent = overruns(quiet_retriever(url, 0.5, **extra), 0.5)
        finally:
            service.close()
        rows.append((case, sync, min(concurrent), max(concurrent)))
        print("  %-30s invoke %+.3f s; 20 ainvoke %+.3f .. %+.3f s" % rows[-1], flush=True)
    return rows


INTERRUPTED = """
import sys
sys.path[:0] = %r
from community.retrievers import qor
import external_load
r = external_load.quiet_retriever(%r, 30)
print("ready", flush=True)
try:
    r.invoke({"query": "never answered"})
except KeyboardInterrupt:
    print("interrupted", flush=True)
"""


def ctrl_c(runs=3):
    service = Service("never")
    landed = []
    try:
        for _ in range(runs):
            child = subprocess.Popen([sys.executable, "-c", INTERRUPTED % ([str(ROOT / "service"), str(ROOT), str(ROOT / "bench")],
                                                                           service.url)],
                                     stdout=subprocess.PIPE, text=True)
            child.stdout.readline()
            time.sleep(0.5)  # the request is out
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            line = child.stdout.readline()
            landed.append(time.monotonic() - sent if line == "interrupted\n" else float("inf"))
            child.wait(30)
    finally:
        service.close()
    print("  KeyboardInterrupt after %s s" % ", ".join("%.3f" % x for x in landed), flush=True)
    return landed


# ---------------------------------------------------------------------------
# The page


def page(load_rows, deadline_rows, landed, command):
    out = ["# External retriever: deadlines, concurrency, Ctrl-C", "",
           "<!-- Generated by `%s`; do not edit by hand. -->" % command, "",
           "## Deadlines", "",
           "`api_timeout` (a number of seconds in `search_kwargs`, default 30) bounds the whole retrieval, from",
           "the call to its result: the wait for a worker of the request pool, name resolution, connecting, the",
           "request and every byte of the response. When it passes, the retrieval logs",
           "\"External API call timeout\" and returns an empty list, whatever the exchange was doing; the",
           "exchange is then cut off (its own connections are shut down, and a connection it opens after the",
           "deadline is shut down as soon as it exists). The same number is also given to the HTTP client as",
           "its per-operation timeout.",
           "",
           "A `(connect, read)` pair, or null, sets no deadline for the whole retrieval: the pair goes to the",
           "HTTP client as its own connect and read timeouts, each applied to one socket operation, so a",
           "service that trickles its answer is not cut off, and the wait for a worker is unbounded.",
           "",
           "Only the exchange's own sockets are ever shut down: each exchange is made on its own session of the",
           "HTTP client, whose connections record their sockets. No process-wide hook is installed, so a host",
           "that locks its audit hooks keeps the deadlines. (A connection made through a proxy is not",
           "recorded: the retrieval still ends at its deadline, but its worker is held until the client's own",
           "timeout.) Name resolution cannot be interrupted: a worker resolving a slow name stays busy until",
           "the resolver answers, after which its connection is shut down at once.",
           "",
           "How far past `api_timeout` 0.5 s retrievals ended (1 invoke, then 20 concurrent ainvoke):", "",
           "| service | invoke | ainvoke (min .. max) |", "|---|---|---|"]
    for case, sync, low, high in deadline_rows:
        out.append("| %s | %+.3f s | %+.3f .. %+.3f s |" % (case, sync, low, high))
    return out + load_section(load_rows) + ctrl_c_section(landed)


def load_section(load_rows):
    out = ["", "## Concurrency: `request_workers`", "",
            "Both entries make their request on a worker thread of one process-wide pool, so the event loop",
            "is never held by the exchange. Its size is the \"qor_service\" setting `request_workers`",
            "(default 128): threads are started as requests need them, up to that many, and then stay for",
            "the life of the process. A retrieval that finds every worker busy",
            "waits for one, and that wait counts against its `api_timeout`. Size it for the number of",
            "requests the service should have in flight at once.",
            "",
            "Concurrent ainvoke (api_timeout 2 s) against a service answering each request after 1 s; each",
            "row in a fresh process (memory: growth of the resident set; threads: afterwards, all of the",
            "process's). \"baseline\": plain requests.post(timeout=2) + json() awaited on a thread pool as",
            "large as the load, no retriever:", "",
            "| concurrent | request_workers | with documents | most in flight | wall time | memory | threads |",
            "|---|---|---|---|---|---|---|"]
    for r in load_rows:
        out.append("| %d | %s | %d | %d | %.2f s | %+.1f MiB | %d |" % (
            r["n"], r["workers"], r["answered"], r["peak"], r["wall"], r["rss_mib"], r["threads"]))
    out += ["",
            "Each retrieval's deadline counts from its own call, and the event loop starts the retrievals",
            "one after the other, so with 1,000 the last ones start well after the first (the wall time",
            "includes the client's own work, %d CPUs, load average %.1f during the run). \"Most in flight\"" % (
                os.cpu_count(), os.getloadavg()[0]),
            "is the service's view: a request cut off at its deadline is still counted until the service",
            "ends it. With 1,000 concurrent retrievals and the default pool, at most 128 requests are",
            "made at a time; a retrieval that waits for a worker past its `api_timeout` ends with the",
            "timeout log line and an empty list, at its deadline. A pool as large as the load answers all",
            "of them, for a thread and its memory per request in flight."]
    return out


def ctrl_c_section(landed):
    out = ["", "## Ctrl-C", "",
            "Ctrl-C (SIGINT) during a synchronous `invoke` raises KeyboardInterrupt at once, whatever the",
            "exchange waits on: the private event loop's task is cancelled, the exchange is cut off and its",
            "worker is free again. Measured with a service that never answers (api_timeout 30 s):",
            "", "| run | KeyboardInterrupt after |", "|---|---|"]
    for i, x in enumerate(landed, 1):
        out.append("| %d | %.3f s |" % (i, x))
    return out


def main(argv=None):
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="fewer pool sizes")
    parser.add_argument("--serve", default=None, help=argparse.SUPPRESS)
    parser.add_argument("--load", nargs=3, default=None, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.serve is not None:
        serve(args.serve)
        return
    if args.load is not None:
        url, n, workers = args.load
        load_run(url, int(n), workers)
        return

    print("load (api_timeout 2 s, service answering after 1 s):", flush=True)
    settings = ["baseline", "8", "default"] if args.quick else ["baseline", "8", "default", "1000"]
    load_rows = load([100, 1000], settings)
    print("deadlines (api_timeout 0.5 s), time past the deadline:", flush=True)
    deadline_rows = deadlines()
    print("Ctrl-C during invoke:", flush=True)
    landed = ctrl_c()
    command = ".venv/bin/python bench/external_load.py" + (" --quick" if args.quick else "")
    text = "\n".join(page(load_rows, deadline_rows, landed, command)) + "\n"
    DOC.parent.mkdir(exist_ok=True)
    DOC.write_text(text)
    print(text)


if __name__ == "__main__":
    main()
