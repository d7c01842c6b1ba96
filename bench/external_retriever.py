"""ExternalRetriever timings against a local knowledge-base server.

    TIKTOKEN_CACHE_DIR=... PYTHONPATH=service:. .venv/bin/python bench/external_retriever.py [-n 300]
        [--only timings|hostile]

1. Event-loop hold: a ticker task sleeps 1 ms in a loop while one retrieval
   runs through the asynchronous entry against a server that answers after
   one second; the longest gap between ticks, minus the tick, is how long the
   loop was held.  For comparison, the same against a coroutine that makes
   the blocking request itself.
2. Overhead: one retrieval against a server that answers at once, through
   each entry, minus a plain requests.post + json() of the same request.
3. Hostile services (each against the former way of making the request, in
   the same process):
   - the wait of an unrelated asyncio.to_thread call while 30 retrievals
     wait for a service that answers after 2 s, against the same retrievals
     made through the loop's default executor;
   - how far past api_timeout (1 s) a retrieval from a service that trickles
     its body or its headers (a byte each 0.5 s) ends, against a plain
     requests.post with timeout=1;
   - the longest stall of a 1 ms ticker while a 200 body just under the
     default max_response_bytes (1 MiB, 5,000 hits) is read, decoded and
     parsed, against decoding and parsing it on the loop.

The server runs in a child process, so its work does not compete with the
measured process for the interpreter lock.  Log lines are formatted as usual
but written to /dev/null.
"""
import argparse
import asyncio
import json
import logging
import os
import statistics
import subprocess
import sys
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
for entry in (ROOT / "service", ROOT):
    if str(entry) not in sys.path:
        sys.path.insert(0, str(entry))

TEMPLATE = "/qor/api/knowledge/knowledge-base/{}/external-retrieve"
BODY = {"code": "200", "message": "", "data": [
    {"score": 0.9 - i / 10, "chunk": {"id": "c%d" % i, "content": "passage %d " % i * 20,
                                      "document": {"id": "d%d" % i, "name": "Doc %d" % i, "type": "doc"},
                                      "metadata": {"lang": "en", "page": i}}}
    for i in range(5)]}


TRICKLED = b'{"code": "200"}'


HITS = 5_000


def big_body(limit=1024 * 1024):
    hits = [{"score": 0.5, "chunk": {"id": "c%d" % i, "content": "passage %d " % i + "x" * 80,
                                     "document": {"name": "Doc"}, "metadata": {"n": i}}} for i in range(HITS)]
    payload = json.dumps({"code": "200", "message": "", "data": hits}).encode()
    assert len(payload) < limit, len(payload)
    return payload


def serve(mode):
    payload = big_body() if mode == "big" else json.dumps(BODY).encode()
    delay = 0.0 if mode.startswith(("trickle", "big")) else float(mode)

    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.0"

        def do_POST(self):
            self.rfile.read(int(self.headers.get("Content-Length", 0)))
            if delay:
                time.sleep(delay)
            try:
                if mode == "trickle-headers":
                    self.wfile.write(b"HTTP/1.0 200 OK\r\n")
                    for byte in b"X-Slow: " + b"s" * 40 + b"\r\n\r\n" + TRICKLED:
                        time.sleep(0.5)
                        self.wfile.write(bytes([byte]))
                    return
                self.send_response(200)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(TRICKLED if mode == "trickle-body" else payload)))
                self.end_headers()
                if mode == "trickle-body":
                    for byte in TRICKLED:
                        time.sleep(0.5)
                        self.wfile.write(bytes([byte]))
                else:
                    self.wfile.write(payload)
            except OSError:
                pass  # the client gave up

        def log_message(self, *args):
            pass

    serve_forever(Handler)


def serve_forever(handler):
    """Serves on a free loopback port, announced on standard output."""
    server = ThreadingHTTPServer(("127.0.0.1", 0), handler)
    server.daemon_threads = True
    print(server.server_address[1], flush=True)
    server.serve_forever()


class Server:
    """The server of `script --serve mode` in a child process."""

    def __init__(self, mode, script=__file__):
        self.proc = subprocess.Popen([sys.executable, script, "--serve", str(mode)], stdout=subprocess.PIPE,
                                     text=True)
        self.url = "http://127.0.0.1:%s" % self.proc.stdout.readline().strip()

    def close(self):
        self.proc.terminate()
        self.proc.wait()


def use_server(qor, url, token="bench-token"):
    section = {"qor_service": {"qor_host": url, "external_retrieve_url": TEMPLATE, "default_token": token}}
    qor.get_configs = lambda name: json.loads(json.dumps(section))


async def held_while(make_work, tick=0.001):
    """Awaits make_work() beside a ticker: the longest gap between ticks minus
    the tick (how long the loop was held), the time it took, its result."""
    gaps, done = [], asyncio.Event()

    async def ticker():
        last = time.perf_counter()
        while not done.is_set():
            await asyncio.sleep(tick)
            now = time.perf_counter()
            gaps.append(now - last)
            last = now

    task = asyncio.create_task(ticker())
    await asyncio.sleep(0.05)
    started = time.perf_counter()
    result = await make_work()
    elapsed = time.perf_counter() - started
    done.set()
    await task
    return max(gaps) - tick, elapsed, result


def event_loop_hold(qor, requests, url):
    retriever = qor.ExternalRetriever(search_kwargs={"kb_id": "kb1"})

    async def retrieval():
        return await retriever.ainvoke({"query": "q"})

    async def blocking_request():
        reply = requests.post(url + TEMPLATE.format("kb1"), json={"query": "q"}, timeout=30, verify=False)
        return reply.json()

    async def idle():
        await asyncio.sleep(1.0)

    first, elapsed, docs = asyncio.run(held_while(retrieval))
    assert len(docs) == 5
    later = [asyncio.run(held_while(retrieval))[0] for _ in range(3)]
    floor = asyncio.run(held_while(idle))[0]
    blocked = asyncio.run(held_while(blocking_request))[0]
    return first, later, elapsed, floor, blocked


def overhead(qor, requests, url, n):
    retriever = qor.ExternalRetriever(search_kwargs={"kb_id": "kb1"})
    inputs = {"query": "How do I reset my password?"}
    api_url = url + TEMPLATE.format("kb1")
    body = {"query": inputs["query"], "retrievalStrategy": {"config": {"topK": 5, "scoreThreshold": 0.03}}}
    headers = {"Content-Type": "application/json", "qor-api-key": "bench-token"}

    # Variants are measured in interleaved rounds, so that a change in the
    # machine's load hits all of them alike.
    def timed(fn):
        def run(count):
            samples = []
            for _ in range(count):
                t = time.perf_counter()
                fn()
                samples.append(time.perf_counter() - t)
            return samples

        return run

    def timed_async(make):
        async def batch(count):
            samples = []
            for _ in range(count):
                t = time.perf_counter()
                await make()
                samples.append(time.perf_counter() - t)
            return samples

        return lambda count: asyncio.run(batch(count))

    def plain():
        return requests.post(api_url, json=body, headers=headers, timeout=30, verify=False).json()

    async def plain_coroutine():
        return plain()

    async def plain_in_thread():
        return await asyncio.to_thread(plain)

    results = {
        "plain requests.post + json()": timed(plain),
        "  same, inside asyncio.run": timed(lambda: asyncio.run(plain_coroutine())),
        "  same, awaited through asyncio.to_thread": timed_async(plain_in_thread),
        "_get_relevant_documents (sync entry)": timed(lambda: retriever._get_relevant_documents(inputs)),
        "invoke (LangChain, sync)": timed(lambda: retriever.invoke(inputs)),
        "_aget_relevant_documents (async entry)": timed_async(lambda: retriever._aget_relevant_documents(inputs)),
        "ainvoke (LangChain, async)": timed_async(lambda: retriever.ainvoke(inputs)),
    }
    for run in results.values():
        run(5)  # warm-up
    samples = {name: [] for name in results}
    rounds = max(1, n // 25)
    for _ in range(rounds):
        for name, run in results.items():
            samples[name] += run(25)
    return samples


def default_executor_wait(qor, requests, url):
    retriever = qor.ExternalRetriever(search_kwargs={"kb_id": "kb1"})
    api_url = url + TEMPLATE.format("kb1")

    async def former_way():  # the request awaited through the loop's default executor
        reply = await asyncio.to_thread(requests.post, api_url, json={"query": "q"}, timeout=30, verify=False)
        return reply.json()

    async def run(make):
        tasks = [asyncio.create_task(make()) for _ in range(30)]
        await asyncio.sleep(0.2)  # the requests are out
        started = time.perf_counter()
        await asyncio.to_thread(time.monotonic)
        waited = time.perf_counter() - started
        await asyncio.gather(*tasks)
        return waited

    return (asyncio.run(run(lambda: retriever.ainvoke({"query": "q"}))), asyncio.run(run(former_way)))


def trickle_overrun(qor, requests, url):
    retriever = qor.ExternalRetriever(search_kwargs={"kb_id": "kb1", "api_timeout": 1})

    def timed(fn):
        started = time.perf_counter()
        fn()
        return time.perf_counter() - started - 1.0

    def plain():
        try:
            requests.post(url + TEMPLATE.format("kb1"), json={"query": "q"}, timeout=1, verify=False).json()
        except requests.RequestException:
            pass

    return (timed(lambda: retriever.invoke({"query": "q"})),
            timed(lambda: asyncio.run(retriever.ainvoke({"query": "q"}))), timed(plain))


def big_body_hold(qor, requests, url):
    retriever = qor.ExternalRetriever(search_kwargs={"kb_id": "kb1", "api_timeout": 60})

    async def retrieval():
        return await retriever.ainvoke({"query": "q"})

    async def on_the_loop():
        body = await asyncio.to_thread(lambda: requests.post(url + TEMPLATE.format("kb1"), json={}).content)
        return retriever.post_process(retriever._parse_external_response(json.loads(body)))

    holds = []
    for _ in range(3):
        held, _, docs = asyncio.run(held_while(retrieval))
        assert len(docs) == HITS, len(docs)
        baseline, _, docs = asyncio.run(held_while(on_the_loop))
        assert len(docs) == HITS
        holds.append((held, baseline))
    return holds


def hostile(qor, requests):
    slow = Server(2.0)
    try:
        use_server(qor, slow.url)
        ours, former = default_executor_wait(qor, requests, slow.url)
    finally:
        slow.close()
    print("30 retrievals waiting for a service that answers after 2 s; an unrelated asyncio.to_thread call waits:")
    print("  retrievals on the retriever's pool:          %.3f s" % ours)
    print("  retrievals on the default executor (former): %.3f s" % former)

    print("api_timeout=1, service trickling a byte each 0.5 s; time past api_timeout:")
    for mode in ("trickle-body", "trickle-headers"):
        trickling = Server(mode)
        try:
            use_server(qor, trickling.url)
            sync, async_, plain = trickle_overrun(qor, requests, trickling.url)
        finally:
            trickling.close()
        print("  %-16s invoke %+.3f s, ainvoke %+.3f s; plain requests.post(timeout=1) %+.3f s"
              % (mode[8:], sync, async_, plain))

    big = Server("big")
    try:
        use_server(qor, big.url)
        holds = big_body_hold(qor, requests, big.url)
    finally:
        big.close()
    print("200 body of %d bytes (%d hits); longest stall of a 1 ms ticker, three runs:" % (len(big_body()), HITS))
    print("  ainvoke:                              %s ms" % ", ".join("%.1f" % (h * 1e3) for h, _ in holds))
    print("  decoded and parsed on the loop:       %s ms" % ", ".join("%.1f" % (b * 1e3) for _, b in holds))


def main(argv=None):
    parser = argparse.ArgumentParser()
    parser.add_argument("-n", type=int, default=300, help="retrievals per measurement")
    parser.add_argument("--serve", default=None, help=argparse.SUPPRESS)
    parser.add_argument("--only", choices=["timings", "hostile"], default=None, help="run one part")
    args = parser.parse_args(argv)
    if args.serve is not None:
        serve(args.serve)
        return

    import requests
    from community.retrievers import qor
    from utils.logger import logger

    devnull = open(os.devnull, "w")
    for handler in logger.handlers:
        handler.setStream(devnull)
    logging.getLogger().handlers.clear()

    if args.only != "timings":
        hostile(qor, requests)
    if args.only != "hostile":
        timings(qor, requests, args.n)


def timings(qor, requests, n):
    slow = Server(1.0)
    try:
        use_server(qor, slow.url)
        first, later, elapsed, floor, blocked = event_loop_hold(qor, requests, slow.url)
    finally:
        slow.close()
    print("server answering after 1 s (longest stall of a 1 ms ticker during one ainvoke):")
    print("  first ainvoke of the process:   %.2f ms (includes LangChain's one-time set-up; took %.3f s)"
          % (first * 1e3, elapsed))
    print("  next ainvokes:                  %s ms" % ", ".join("%.2f" % (x * 1e3) for x in later))
    print("  ticker alone for 1 s (noise):   %.2f ms" % (floor * 1e3))
    print("  a coroutine making the blocking request itself: %.3f s" % blocked)

    fast = Server(0.0)
    try:
        use_server(qor, fast.url)
        results = overhead(qor, requests, fast.url, n)
    finally:
        fast.close()
    base = statistics.median(results["plain requests.post + json()"])
    print("server answering at once, %d retrievals each (median, mean; overhead = median - plain request):"
          % len(results["plain requests.post + json()"]))
    for name, samples in results.items():
        med, mean = statistics.median(samples), statistics.fmean(samples)
        extra = "" if samples is results["plain requests.post + json()"] else "  overhead %+7.0f us" % (
            (med - base) * 1e6)
        print("  %-40s %7.0f us %7.0f us%s" % (name, med * 1e6, mean * 1e6, extra))


if __name__ == "__main__":
    main()
