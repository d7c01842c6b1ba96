"""ExternalRetriever against a real HTTP server on 127.0.0.1: what goes on the
wire, every failure row with its log line, response parsing, and LangChain's
calling conventions."""
import asyncio
import inspect
import json
import logging
import shutil
import socket
import ssl
import subprocess
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest
import requests
from langchain_core.documents import Document
from langchain_core.retrievers import BaseRetriever

from community.retrievers import qor

TEMPLATE = "/qor/api/knowledge/knowledge-base/{}/external-retrieve"
TOKEN = "s3cret-token"
HIT = {"score": 0.98, "chunk": {"id": "c-1", "content": "passage one",
                                "document": {"id": "d-1", "name": "Guide", "type": "doc"}, "metadata": {}}}
OK_BODY = {"code": "200", "message": "", "data": [HIT, {"score": 0.5, "chunk": {"id": "c-2", "content": "two"}}]}


class KbServer:
    """Records every request and answers with the configured status and body."""

    def __init__(self):
        self.requests = []
        self.status = 200
        self.body = OK_BODY
        self.delay = 0.0
        self.release = threading.Event()  # cuts a delayed answer short at teardown
        recorder = self

        class Handler(BaseHTTPRequestHandler):
            def do_POST(self):
                raw = self.rfile.read(int(self.headers.get("Content-Length", 0)))
                recorder.requests.append({"method": self.command, "path": self.path,
                                          "headers": dict(self.headers), "body": raw})
                if recorder.delay:
                    recorder.release.wait(recorder.delay)
                body = recorder.body if isinstance(recorder.body, bytes) else json.dumps(recorder.body).encode()
                try:
                    self.send_response(recorder.status)
                    self.send_header("Content-Type", "application/json")
                    self.send_header("Content-Length", str(len(body)))
                    self.send_header("X-Trace", "t-1")
                    self.end_headers()
                    self.wfile.write(body)
                except OSError:
                    pass  # the client gave up waiting

            def log_message(self, *args):
                pass

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.url = "http://127.0.0.1:%d" % self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, args=(0.05,), daemon=True)

    @property
    def only(self):
        assert len(self.requests) == 1, self.requests
        return self.requests[0]


@pytest.fixture
def server():
    s = KbServer()
    s.thread.start()
    yield s
    s.release.set()
    s.server.shutdown()
    s.server.server_close()


class Configs:
    """Stands in for the configuration store; records each call."""

    def __init__(self, monkeypatch, server):
        self.calls = []
        self.section = {"qor_service": {"qor_host": server.url, "external_retrieve_url": TEMPLATE,
                                        "default_token": TOKEN}}
        monkeypatch.setattr(qor, "get_configs", self)

    @property
    def service(self):
        return self.section["qor_service"]

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return json.loads(json.dumps(self.section))


@pytest.fixture
def configs(monkeypatch, server):
    return Configs(monkeypatch, server)


@pytest.fixture
def log(caplog):
    caplog.set_level(logging.INFO, logger="qor.service")

    def lines():
        return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == "qor.service"]

    lines.clear = caplog.clear
    return lines


def retriever(**search_kwargs):
    return qor.ExternalRetriever(search_kwargs={"kb_id": "kb1", **search_kwargs})


def sent_body(request):
    return json.loads(request["body"], object_pairs_hook=list)


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# --- the exchange -----------------------------------------------------------------


def test_request_on_the_wire_log_lines_and_documents(server, configs, log):
    r = retriever(k=3, score_threshold=0.5, api_timeout=7)
    docs = r.invoke({"query": "如何重置密码?", "user_dict": "x"})

    req = server.only
    assert req["method"] == "POST"
    assert req["path"] == "/qor/api/knowledge/knowledge-base/kb1/external-retrieve"
    assert req["headers"]["Content-Type"] == "application/json"
    assert req["headers"]["qor-api-key"] == TOKEN
    assert sent_body(req) == [("query", "如何重置密码?"),
                              ("retrievalStrategy", [("config", [("topK", 3), ("scoreThreshold", 0.5)])])]
    assert configs.calls == [(("service",), {})]

    url = server.url + "/qor/api/knowledge/knowledge-base/kb1/external-retrieve"
    params = {"query": "如何重置密码?", "retrievalStrategy": {"config": {"topK": 3, "scoreThreshold": 0.5}}}
    got = log()
    assert got[:7] == [
        ("INFO", "External API config - kb_id: kb1, timeout: 7"),
        ("INFO", "External API request params: " + str(params)),
        ("INFO", "External API URL: " + url),
        ("INFO", "External API headers: {'Content-Type': 'application/json', 'qor-api-key': '***'}"),
        ("INFO", "Starting external API call to: " + url),
        ("INFO", "External API response status: 200"),
        got[6],
    ]
    assert got[6][1].startswith("External API response headers: {") and "'X-Trace': 't-1'" in got[6][1]
    assert got[7:] == [("INFO", "External API response data: " + str(OK_BODY))]
    assert not any(TOKEN in message for _, message in got)

    assert [d.page_content for d in docs] == ["passage one", "two"]
    assert docs[0].metadata == {"source_type": "external", "external_score": 0.98, "chunk_id": "c-1",
                                "data_type": "external_src", "title": "Guide", "score": 0.98}
    assert docs[1].metadata["title"] is None and docs[1].metadata["score"] == 0.5


@pytest.mark.parametrize(
    "search_kwargs, inputs, body, timeout_text",
    [
        pytest.param({}, {"query": "q"}, [("query", "q"), ("retrievalStrategy", [("config", [
            ("topK", 5), ("scoreThreshold", 0.03)])])], "30", id="defaults"),
        pytest.param({}, {}, [("query", ""), ("retrievalStrategy", [("config", [
            ("topK", 5), ("scoreThreshold", 0.03)])])], "30", id="no-question"),
        pytest.param({"k": None, "score_threshold": None, "api_timeout": None}, {"query": "q"},
                     [("query", "q"), ("retrievalStrategy", [("config", [("topK", None), ("scoreThreshold", None)])])],
                     "None", id="nulls-pass-through"),
        pytest.param({"k": "7", "score_threshold": 1}, {"query": ["a", "b"]},
                     [("query", ["a", "b"]), ("retrievalStrategy", [("config", [("topK", "7"), ("scoreThreshold", 1)])])],
                     "30", id="values-unchanged"),
    ],
)
def test_request_body_defaults_apply_only_to_absent_keys(server, configs, log, search_kwargs, inputs, body,
                                                         timeout_text):
    retriever(**search_kwargs).invoke(inputs)
    assert sent_body(server.only) == body
    assert log()[0] == ("INFO", "External API config - kb_id: kb1, timeout: " + timeout_text)


@pytest.mark.parametrize(
    "host_path, template, kb_id, path",
    [
        ("/base/", "/kb/{}/search", "kb1", "/kb/kb1/search"),
        ("/base/", "kb/{}/search", "kb1", "/base/kb/kb1/search"),
        ("/base/last", "kb/{0}/search", "kb1", "/base/kb/kb1/search"),
        ("", "kb/{}", 7, "/kb/7"),
        ("/base/", "/fixed/path", "kb1", "/fixed/path"),
        ("/", "/kb/{}/{{literal}}", "kb1", "/kb/kb1/%7Bliteral%7D"),
    ],
)
def test_url_resolution_against_the_host(server, configs, host_path, template, kb_id, path):
    configs.service.update(qor_host=server.url + host_path, external_retrieve_url=template)
    qor.ExternalRetriever(search_kwargs={"kb_id": kb_id}).invoke({"query": "q"})
    assert server.only["path"] == path


def test_absolute_template_replaces_the_host(server, configs):
    configs.service.update(qor_host="http://127.0.0.1:%d/base/" % closed_port(),
                           external_retrieve_url=server.url + "/abs/{}/x")
    assert len(retriever().invoke({"query": "q"})) == 2
    assert server.only["path"] == "/abs/kb1/x"


@pytest.mark.parametrize(
    "kb_id, segment",
    [
        ("kb-1_A9", "kb-1_A9"),
        ("v1.2~x", "v1.2~x"),
        ("a/b", "a%2Fb"),
        ("../admin", "..%2Fadmin"),
        ("x?token=1#frag", "x%3Ftoken%3D1%23frag"),
        ("50% off", "50%25%20off"),
        ("知识库", "%E7%9F%A5%E8%AF%86%E5%BA%93"),
    ],
)
def test_kb_id_is_one_encoded_path_segment(server, configs, log, kb_id, segment):
    qor.ExternalRetriever(search_kwargs={"kb_id": kb_id}).invoke({"query": "q"})
    assert server.only["path"] == "/qor/api/knowledge/knowledge-base/%s/external-retrieve" % segment
    assert ("INFO", "External API config - kb_id: %s, timeout: 30" % kb_id) in log()


@pytest.mark.parametrize("kb_id", [".", ".."])
def test_dot_segment_ids_are_refused_before_any_request(server, configs, log, kb_id):
    assert qor.ExternalRetriever(search_kwargs={"kb_id": kb_id}).invoke({"query": "q"}) == []
    assert server.requests == []
    assert log()[-1] == ("ERROR", "External API call error: kb_id '%s' cannot be used as a URL path segment" % kb_id)


def test_masked_key_and_missing_key(server, configs, log):
    configs.service["default_token"] = None
    retriever().invoke({"query": "q"})
    assert "qor-api-key" not in server.only["headers"]
    assert ("INFO", "External API headers: {'Content-Type': 'application/json', 'qor-api-key': None}") in log()


def test_configuration_and_options_are_read_afresh_on_every_call(server, configs):
    own = {"kb_id": "kb1"}
    r = qor.ExternalRetriever(search_kwargs=own)
    assert r.search_kwargs is own
    r.invoke({"query": "q"})
    own.update(kb_id="kb2", k=2)
    configs.service["external_retrieve_url"] = "/other/{}"
    r.invoke({"query": "q"})
    assert [q["path"] for q in server.requests] == ["/qor/api/knowledge/knowledge-base/kb1/external-retrieve",
                                                    "/other/kb2"]
    assert sent_body(server.requests[1])[1][1][0][1][0] == ("topK", 2)
    assert len(configs.calls) == 2


# --- failure rows -----------------------------------------------------------------


@pytest.mark.parametrize("kb_id", ["absent", None, "", 0])
def test_missing_kb_id_stops_before_the_configuration(server, configs, log, kb_id):
    search_kwargs = {} if kb_id == "absent" else {"kb_id": kb_id}
    assert qor.ExternalRetriever(search_kwargs=search_kwargs).invoke({"query": "q"}) == []
    shown = None if kb_id == "absent" else kb_id
    assert log() == [
        ("INFO", "External API config - kb_id: %s, timeout: 30" % (shown,)),
        ("INFO", "External API request params: {'query': 'q', 'retrievalStrategy': "
                 "{'config': {'topK': 5, 'scoreThreshold': 0.03}}}"),
        ("ERROR", "External API kb_id not configured"),
    ]
    assert configs.calls == [] and server.requests == []


@pytest.mark.parametrize(
    "change",
    [{"qor_host": None}, {"qor_host": ""}, {"external_retrieve_url": ""}, {"external_retrieve_url": None}],
)
def test_missing_host_configuration(server, configs, log, change):
    configs.service.update(change)
    assert retriever().invoke({"query": "q"}) == []
    assert log()[-1] == ("ERROR", "QOR service config not found: qor_host or external_retrieve_url")
    assert len(log()) == 3 and server.requests == []


def test_failures_before_the_request_take_the_general_error_path(server, configs, log):
    configs.section = {"other": {}}
    assert retriever().invoke({"query": "q"}) == []
    assert log()[-1] == ("ERROR", "External API call error: 'NoneType' object has no attribute 'get'")

    log.clear()
    configs.section = {"qor_service": {"qor_host": server.url, "external_retrieve_url": "/kb/{id}/x"}}
    assert retriever().invoke({"query": "q"}) == []
    assert log()[-1] == ("ERROR", "External API call error: 'id'")

    log.clear()
    assert retriever().invoke("a plain question") == []
    assert log() == [("ERROR", "External API call error: 'str' object has no attribute 'get'")]
    assert server.requests == []


def test_status_other_than_200_is_a_failure(server, configs, log):
    server.status = 201
    assert retriever().invoke({"query": "q"}) == []
    assert log()[-1] == ("ERROR", "External API call failed with status 201, response: " + json.dumps(OK_BODY))
    assert ("INFO", "External API response status: 201") in log()
    assert not any(m.startswith("External API response data") for _, m in log())


def test_200_with_a_body_that_is_not_json(server, configs, log):
    server.body = b"<html>busy</html>"
    assert retriever().invoke({"query": "q"}) == []
    with pytest.raises(ValueError) as decoding:
        json.loads(server.body)
    assert log()[-1] == ("ERROR", "External API call error: " + str(decoding.value))


def test_refused_connection(configs, log):
    configs.service["qor_host"] = "http://127.0.0.1:%d" % closed_port()
    assert retriever().invoke({"query": "q"}) == []
    level, message = log()[-1]
    assert level == "ERROR" and message.startswith("External API call error: ") and "refused" in message
    assert [lv for lv, _ in log()].count("ERROR") == 1


@pytest.mark.parametrize("entry", ["sync", "async"])
def test_slow_server_times_out(server, configs, log, entry):
    server.delay = 5
    r = retriever(api_timeout=0.3)
    started = time.monotonic()
    docs = r.invoke({"query": "q"}) if entry == "sync" else asyncio.run(r.ainvoke({"query": "q"}))
    assert docs == [] and time.monotonic() - started < 3
    assert log()[-1] == ("ERROR", "External API call timeout")
    assert len(server.requests) == 1


# --- where the exchange runs ------------------------------------------------------


@pytest.fixture
def post_spy(monkeypatch):
    calls = []
    original = requests.post

    def spy(*args, **kwargs):
        calls.append((threading.get_ident(), args, kwargs))
        return original(*args, **kwargs)

    monkeypatch.setattr(requests, "post", spy)
    return calls


def test_both_entries_make_the_same_calls_logs_and_results(server, configs, log, post_spy):
    r = retriever(k=2)
    sync_docs = r.invoke({"query": "q"})
    sync_log = log()
    log.clear()

    async def main():
        return threading.get_ident(), await r.ainvoke({"query": "q"})

    loop_thread, async_docs = asyncio.run(main())
    assert log() == sync_log
    assert [d.metadata for d in async_docs] == [d.metadata for d in sync_docs]
    (sync_thread, sync_args, sync_kwargs), (worker, async_args, async_kwargs) = post_spy
    assert (sync_args, sync_kwargs) == (async_args, async_kwargs)
    assert sync_kwargs == {"json": {"query": "q", "retrievalStrategy": {"config": {"topK": 2, "scoreThreshold": 0.03}}},
                           "headers": {"Content-Type": "application/json", "qor-api-key": TOKEN},
                           "timeout": 30, "verify": False, "stream": True, "allow_redirects": False}
    assert sync_thread == threading.get_ident()  # the synchronous entry starts no thread
    assert worker != loop_thread  # the asynchronous entry keeps the request off the event loop


def test_slow_answer_does_not_stall_the_event_loop(server, configs):
    server.delay = 0.6

    async def main():
        gaps, done = [], asyncio.Event()

        async def ticker():
            last = time.perf_counter()
            while not done.is_set():
                await asyncio.sleep(0.01)
                now = time.perf_counter()
                gaps.append(now - last)
                last = now

        tick = asyncio.create_task(ticker())
        docs = await retriever().ainvoke({"query": "q"})
        done.set()
        await tick
        return docs, gaps

    docs, gaps = asyncio.run(main())
    assert len(docs) == 2
    assert len(gaps) > 20 and max(gaps) < 0.25


def test_cancellation_is_not_swallowed(server, configs, log):
    server.delay = 5

    async def main():
        task = asyncio.create_task(retriever().ainvoke({"query": "q"}))
        while not server.requests:
            await asyncio.sleep(0.01)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        server.release.set()  # lets the abandoned request finish, so the loop can close its executor

    asyncio.run(main())
    assert not any(level == "ERROR" for level, _ in log())


def test_sync_entry_refuses_a_running_loop(server, configs):
    async def main():
        with pytest.raises(RuntimeError, match="running event loop"):
            retriever()._get_relevant_documents({"query": "q"})

    asyncio.run(main())
    assert server.requests == []


# --- certificate verification -----------------------------------------------------


@pytest.fixture
def tls_server(tmp_path):
    if shutil.which("openssl") is None:
        pytest.skip("openssl is needed to make a test certificate")
    cert, key = tmp_path / "cert.pem", tmp_path / "key.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                    "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                    "-keyout", str(key), "-out", str(cert)], check=True, capture_output=True)
    s = KbServer()
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    s.server.socket = context.wrap_socket(s.server.socket, server_side=True)
    s.url = s.url.replace("http://", "https://")
    s.cert = str(cert)
    s.thread.start()
    yield s
    s.server.shutdown()
    s.server.server_close()


@pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning")
@pytest.mark.parametrize(
    "verify_tls, answered",
    [("absent", True), (None, True), (False, True), (True, False), ("ca", True)],
)
def test_tls_verification_setting(tls_server, monkeypatch, log, verify_tls, answered):
    configs = Configs(monkeypatch, tls_server)
    if verify_tls != "absent":
        configs.service["verify_tls"] = tls_server.cert if verify_tls == "ca" else verify_tls
    docs = retriever().invoke({"query": "q"})
    assert (len(docs) == 2) is answered
    if not answered:
        assert log()[-1][1].startswith("External API call error: ") and "CERTIFICATE_VERIFY_FAILED" in log()[-1][1]


def test_tls_verification_with_a_missing_ca_bundle_fails_closed(tls_server, monkeypatch, log):
    Configs(monkeypatch, tls_server).service["verify_tls"] = "/nonexistent/ca.pem"
    assert retriever().invoke({"query": "q"}) == []
    assert tls_server.requests == [] and "/nonexistent/ca.pem" in log()[-1][1]


# --- response parsing -------------------------------------------------------------


def hit(score=0.5, **chunk):
    return {"score": score, "chunk": chunk}


@pytest.mark.parametrize(
    "body, expected, error",
    [
        pytest.param({"code": "200"}, [], None, id="no-data"),
        pytest.param({"code": 200, "message": "m", "data": [HIT]}, [], "External API returned error: m",
                     id="numeric-code"),
        pytest.param({"code": "500", "message": "kb offline"}, [], "External API returned error: kb offline",
                     id="error-code"),
        pytest.param({"data": [HIT]}, [], "External API returned error: Unknown error", id="no-code"),
        pytest.param({"code": "200", "data": [{"chunk": {"content": "c"}}]},
                     [("c", 0.0, {"source_type": "external", "external_score": 0.0, "chunk_id": "",
                                  "data_type": "external_src", "title": None})], None, id="no-score"),
        pytest.param({"code": "200", "data": [{"score": 0.7}]},
                     [("", 0.7, {"source_type": "external", "external_score": 0.7, "chunk_id": "",
                                 "data_type": "external_src", "title": None})], None, id="no-chunk"),
        pytest.param({"code": "200", "data": [{"score": None, "chunk": {"document": {"id": "d"}}}]},
                     [("", None, {"source_type": "external", "external_score": None, "chunk_id": "",
                                  "data_type": "external_src", "title": None})], None, id="null-score-no-name"),
        pytest.param({"code": "200", "data": [hit(content="c", id="i", document={"name": "N"},
                                                  metadata={"title": "T", "lang": "zh"})]},
                     [("c", 0.5, {"source_type": "external", "external_score": 0.5, "chunk_id": "i",
                                  "data_type": "external_src", "title": "T", "lang": "zh"})], None,
                     id="metadata-merge-keeps-positions"),
        pytest.param({"code": "200", "data": [hit(0.2, content="a"), hit(0.9, content="b"), hit(0.5, content="c")]},
                     [("a", 0.2, None), ("b", 0.9, None), ("c", 0.5, None)], None, id="service-order"),
        pytest.param({"code": "200", "data": [hit(content="a"), hit(content="b", metadata=None), hit(content="c")]},
                     [("a", 0.5, None)], "Error parsing external API response: 'NoneType' object is not a mapping",
                     id="failing-hit-ends-the-loop"),
        pytest.param({"code": "200", "data": [hit(content="a"), hit(content=None)]}, [("a", 0.5, None)],
                     "Error parsing external API response: ", id="null-content"),
        pytest.param({"code": "200", "data": [hit(content="a"), hit(content="b", document=None)]},
                     [("a", 0.5, None)], "Error parsing external API response: ", id="null-document"),
        pytest.param({"code": "200", "data": [hit(content="a"), ["not", "a", "hit"]]}, [("a", 0.5, None)],
                     "Error parsing external API response: 'list' object has no attribute 'get'", id="hit-not-object"),
        pytest.param({"code": "200", "data": None}, [],
                     "Error parsing external API response: 'NoneType' object is not iterable", id="null-data"),
        pytest.param(["code", "200"], [],
                     "Error parsing external API response: 'list' object has no attribute 'get'", id="body-not-object"),
    ],
)
def test_parse_external_response(log, body, expected, error):
    pairs = qor.ExternalRetriever()._parse_external_response(body)
    assert [(d.page_content, s) for d, s in pairs] == [(c, s) for c, s, _ in expected]
    for (doc, _), (_, _, metadata) in zip(pairs, expected):
        assert isinstance(doc, Document)
        if metadata is not None:
            assert list(doc.metadata.items()) == list(metadata.items())
    errors = [m for level, m in log() if level == "ERROR"]
    if error is None:
        assert log() == []
    else:
        assert len(errors) == 1 and errors[0].startswith(error)


def test_post_process_stamps_in_place_and_keeps_order():
    r = qor.ExternalRetriever()
    empty = []
    assert r.post_process(empty) == [] and r.post_process(empty) is not empty
    pairs = r._parse_external_response({"code": "200", "data": [
        hit(0.2, content="a", metadata={"source_type": "crawler", "extra": 1}), hit(0.9, content="b")]})
    assert pairs[0][0].metadata["source_type"] == "crawler"
    docs = r.post_process(pairs)
    assert [d is p for d, (p, _) in zip(docs, pairs)] == [True, True]
    assert list(docs[0].metadata.items())[-2:] == [("extra", 1), ("score", 0.2)]
    assert docs[0].metadata["source_type"] == "external" and docs[1].metadata["score"] == 0.9
    with pytest.raises(ValueError, match="not enough values to unpack"):
        r.post_process([(Document(page_content="x"),)])


# --- the class as LangChain sees it ---------------------------------------------------


def test_class_shape_and_construction():
    E = qor.ExternalRetriever
    assert E.__mro__[1] is BaseRetriever
    assert E.__doc__ == "外部数据源检索器，用于调用外部知识库API进行检索"
    assert E.model_fields["search_kwargs"].annotation is dict and E.model_fields["search_kwargs"].default == {}
    methods = ["__init__", "post_process", "_get_relevant_documents", "_aget_relevant_documents",
               "_call_external_api", "_parse_external_response"]
    assert [name for name in vars(E) if name in methods] == methods
    assert list(inspect.signature(E._call_external_api).parameters) == ["self", "inputs", "search_kwargs"]
    assert asyncio.iscoroutinefunction(E._call_external_api) and asyncio.iscoroutinefunction(E._aget_relevant_documents)
    assert E._new_arg_supported is False

    a, b = E(), E()
    assert a.search_kwargs == {} and a.search_kwargs is not b.search_kwargs
    own = {"kb_id": "x", "nested": {"k": 1}}
    r = E(search_kwargs=own, tags=["t"])
    assert r.search_kwargs is own and r.tags == ["t"]

    class Sub(E):
        pass

    assert Sub(search_kwargs=own).search_kwargs is own


def test_entries_refuse_a_result_that_is_not_a_list(server, configs):
    class TupleResult(qor.ExternalRetriever):
        def post_process(self, docs_and_similarities):
            return tuple(doc for doc, _ in docs_and_similarities)

    r = TupleResult(search_kwargs={"kb_id": "kb1"})
    with pytest.raises(TypeError, match="Expected list, got tuple"):
        r.invoke({"query": "q"})
    with pytest.raises(TypeError, match="Expected list, got tuple"):
        asyncio.run(r.ainvoke({"query": "q"}))


def test_langchain_entry_points(server, configs):
    r = retriever()
    inputs = [{"query": "a"}, {"query": "b"}]
    assert [len(docs) for docs in r.batch(inputs)] == [2, 2]
    assert [len(docs) for docs in asyncio.run(r.abatch(inputs))] == [2, 2]
    docs = asyncio.run(r.ainvoke({"query": "c"}))
    assert docs[0].metadata["score"] == 0.98 and docs[0].metadata["source_type"] == "external"
    assert [json.loads(q["body"])["query"] for q in server.requests][-1] == "c" and len(server.requests) == 5


def test_reference_counts_stay_exact(monkeypatch, server, configs, log):
    import sys

    body = {"code": "200", "data": [hit(0.3, content="a", id="i", document={"name": "N"}, metadata={"m": [1]}),
                                    {"score": 0.1}]}
    bad = {"code": "200", "data": [hit(content="a"), hit(metadata=None)]}

    class Response:
        status_code = 200
        headers = {"h": "v"}
        text = "t"

        def json(self):
            return body

        def iter_content(self, chunk_size):
            yield b"t"

        def close(self):
            pass

    monkeypatch.setattr(requests, "post", lambda *a, **k: Response())
    r = retriever()
    inputs = {"query": "q"}
    watched = (body, bad, inputs, r, r.search_kwargs, Response, body["data"][0]["chunk"]["metadata"]["m"])
    logging.getLogger("qor.service").disabled = True
    try:
        r.invoke(inputs)
        before = [sys.getrefcount(o) for o in watched]

        async def many():
            for i in range(2_000):
                await r._aget_relevant_documents(inputs)
                r._parse_external_response(bad if i % 2 else {"code": "404"})

        asyncio.run(many())
        for _ in range(500):
            r._get_relevant_documents(inputs)
            r._get_relevant_documents("not a mapping")
        after = [sys.getrefcount(o) for o in watched]
    finally:
        logging.getLogger("qor.service").disabled = False
    assert after == before
