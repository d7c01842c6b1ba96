"""A small knowledge-base HTTP service over the embedded vector database.

It answers the external-retrieve endpoint the service's external retriever
calls: ``POST <external_retrieve_url>`` (the "qor_service" entry of the
"service" configuration; the knowledge-base id fills its placeholder, so the
default path is ``/qor/api/knowledge/knowledge-base/<id>/external-retrieve``)
with the JSON body::

    {"query": "...", "retrievalStrategy": {"config": {"topK": 5, "scoreThreshold": 0.03}}}

and the API key in the header "qor-api-key".  It answers::

    {"code": "200", "message": "", "data": [
        {"score": 0.03, "chunk": {"id": "...", "content": "...",
                                  "document": {"id": "...", "name": "...", "type": "md"},
                                  "metadata": {...}}}, ...]}

Every knowledge base is a ``QorVectorStore``.  Search is hybrid by default:
dense and "bm25" sub-searches fused by reciprocal rank, the sparse side
drawing its candidates from dense hits, so every hit reaches "scoreThreshold"
in dense (cosine) similarity; the reported score is the fused one.  In
"dense" mode the score is the cosine similarity.  At most "topK" hits are
returned (capped at ``max_top_k``).

Errors come with the HTTP status and the same envelope: {"code": "<status>",
"message": <reason>, "data": []}: 400 malformed request, 401 wrong or missing
API key, 404 unknown path or knowledge base, 405 other methods, 411/413 body
length missing or too large, 500 search failure.

In process (tests, demonstrations)::

    with KbService({"demo": store}, api_key="secret") as kb:
        kb.base_url                 # http://127.0.0.1:<free port>
        kb.url_for("demo")          # the full endpoint URL

Standalone (listens on the port of the configured "qor_host", default 8000,
on 127.0.0.1; indexes the demonstration corpus first)::

    python -m hostkit.kb_service [--port N] [--kb-id demo] [--api-key KEY] [--mode hybrid|dense]
"""
import argparse
import hmac
import json
import logging
import math
import re
import threading
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import PurePosixPath
from urllib.parse import quote, unquote, urljoin, urlsplit

from configs import get_configs
from hostkit.vectorstore import SPARSE_VECTOR_NAME
from utils import dbs

__all__ = ["KbService", "RequestError", "DEFAULT_KB_ID", "main"]

log = logging.getLogger("hostkit.kb_service")

DEFAULT_KB_ID = "demo"
DEFAULT_TEMPLATE = "/qor/api/knowledge/knowledge-base/{}/external-retrieve"
API_KEY_HEADER = "qor-api-key"
MODES = ("hybrid", "dense")
_MARKER = "\x00kb\x00"
_CONFIGURED = object()  # "take it from the configuration"
_MAX_DISCARD = 64 << 20  # largest refused body still read before answering


class RequestError(Exception):
    """A request the service refuses, with the HTTP status to answer."""

    def __init__(self, status, message):
        super().__init__(message)
        self.status = int(status)
        self.message = message


def _service_config():
    try:
        return dict(get_configs("service").get("qor_service") or {})
    except (KeyError, ValueError, OSError):
        return {}


def _path_pattern(template, base_path):
    """Regex of the request paths the template stands for; group 1 is the
    (still percent-encoded) knowledge-base id."""
    resolved = urlsplit(urljoin("http://kb" + base_path, template.format(_MARKER))).path
    if resolved.count(_MARKER) != 1:
        raise ValueError("the endpoint template must hold exactly one positional placeholder: %r" % (template,))
    before, after = resolved.split(_MARKER)
    return re.compile(re.escape(before) + "([^/]+)" + re.escape(after) + r"\Z")


def _number(value):
    return isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value)


def _document_type(source):
    suffix = PurePosixPath(source).suffix.lstrip(".") if isinstance(source, str) else ""
    return suffix.lower() or "doc"


class KbService:
    """The endpoint over a set of knowledge bases.

    ``knowledge_bases``: mapping of knowledge-base id -> QorVectorStore.
    ``api_key``: the key every request must carry in "qor-api-key"; by
    default the configured "default_token"; None accepts every request.
    ``path_template``: the endpoint path template (default: the configured
    "external_retrieve_url"), resolved against ``base_path`` (default: the
    path of the configured "qor_host") as the retriever resolves it.
    """

    def __init__(self, knowledge_bases, api_key=_CONFIGURED, path_template=None, base_path=None,
                 mode="hybrid", max_top_k=100, max_body=1 << 20, host="127.0.0.1", port=0):
        if mode not in MODES:
            raise ValueError("mode must be one of %s, not %r" % (MODES, mode))
        conf = _service_config()
        self.knowledge_bases = dict(knowledge_bases)
        self.api_key = conf.get("default_token") if api_key is _CONFIGURED else api_key
        self.path_template = path_template or conf.get("external_retrieve_url") or DEFAULT_TEMPLATE
        if base_path is None:
            base_path = urlsplit(conf.get("qor_host") or "").path or "/"
        self._pattern = _path_pattern(self.path_template, base_path)
        self._base_path = base_path
        self.mode = mode
        self.max_top_k = int(max_top_k)
        self.max_body = int(max_body)
        self.host = host
        self.port = int(port)
        self._server = None
        self._thread = None

    @classmethod
    def from_corpus(cls, kb_id=DEFAULT_KB_ID, store_kwargs=None, **kwargs):
        """A service with one knowledge base, the demonstration corpus indexed
        into a QorVectorStore (built from ``store_kwargs``)."""
        from hostkit.corpus import index_corpus

        return cls({kb_id: index_corpus(**(store_kwargs or {}))}, **kwargs)

    # -- lifecycle -----------------------------------------------------------

    @property
    def base_url(self):
        if self._server is None:
            raise RuntimeError("the service is not running")
        host, port = self._server.server_address[:2]
        return "http://%s:%d" % (host, port)

    def url_for(self, kb_id):
        """The endpoint URL of a knowledge base (its id percent-encoded)."""
        return urljoin(self.base_url + self._base_path, self.path_template.format(quote(str(kb_id), safe="")))

    def _listen(self):
        server = _Server((self.host, self.port), _Handler)
        server.kb_service = self
        self._server = server
        return server

    def start(self):
        """Listen (a free port when ``port`` is 0) and serve on a background
        thread; returns the base URL."""
        if self._server is not None:
            return self.base_url
        server = self._listen()
        self._thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1},
                                        name="kb-service", daemon=True)
        self._thread.start()
        log.info("knowledge-base service on %s", self.base_url)
        return self.base_url

    def stop(self):
        server, thread = self._server, self._thread
        if server is None:
            return
        self._server = self._thread = None
        server.shutdown()
        server.server_close()
        thread.join()

    def serve_forever(self, ready=None):
        """Serve on the calling thread until interrupted; ``ready`` is called
        with the service once it listens."""
        server = self._listen()
        try:
            if ready is not None:
                ready(self)
            server.serve_forever()
        finally:
            self._server = None
            server.server_close()

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    # -- requests ------------------------------------------------------------

    def kb_id_of(self, path):
        """The knowledge-base id a request path names, or None."""
        match = self._pattern.match(path.split("?", 1)[0])
        return unquote(match.group(1), errors="strict") if match else None

    def check_key(self, given):
        if self.api_key is None:
            return
        if given is None or not hmac.compare_digest(given.encode("utf-8", "surrogateescape"),
                                                    str(self.api_key).encode("utf-8", "surrogateescape")):
            raise RequestError(HTTPStatus.UNAUTHORIZED, "invalid or missing API key")

    def parse_body(self, raw):
        """(query, top_k, score_threshold) of a request body."""
        try:
            body = json.loads(raw)
        except (UnicodeDecodeError, ValueError) as exc:
            raise RequestError(HTTPStatus.BAD_REQUEST, "body is not JSON: %s" % exc) from None
        if not isinstance(body, dict):
            raise RequestError(HTTPStatus.BAD_REQUEST, "body must be a JSON object")
        query = body.get("query")
        if not isinstance(query, str):
            raise RequestError(HTTPStatus.BAD_REQUEST, "'query' must be a string")
        strategy = body.get("retrievalStrategy") or {}
        config = strategy.get("config") if isinstance(strategy, dict) else None
        if config is None:
            config = {}
        if not isinstance(config, dict):
            raise RequestError(HTTPStatus.BAD_REQUEST, "'retrievalStrategy.config' must be an object")
        top_k = config.get("topK")
        if top_k is None:
            top_k = 5
        if not isinstance(top_k, int) or isinstance(top_k, bool) or top_k < 1:
            raise RequestError(HTTPStatus.BAD_REQUEST, "'topK' must be a positive integer")
        threshold = config.get("scoreThreshold")
        if threshold is not None and not _number(threshold):
            raise RequestError(HTTPStatus.BAD_REQUEST, "'scoreThreshold' must be a number or null")
        return query, min(top_k, self.max_top_k), threshold

    def search(self, kb_id, query, top_k, score_threshold=None):
        """The hits of a question in one knowledge base, best first, in the
        response format."""
        store = self.knowledge_bases.get(kb_id)
        if store is None:
            raise RequestError(HTTPStatus.NOT_FOUND, "knowledge base not found: %s" % kb_id)
        if not query.strip():
            return []
        dense = store.embeddings.embed_query(query)
        if self.mode == "dense":
            request = dbs.build_query_request(None, dense, store.vector_name, top_k, score_threshold, None)
        else:
            prefetch = [{"query": dense, "using": store.vector_name, "limit": top_k,
                         "score_threshold": score_threshold}]
            sparse = store.sparse_encoder.encode_query(query)
            if sparse["indices"]:
                candidates = {"query": dense, "using": store.vector_name, "limit": max(100, 10 * top_k),
                              "score_threshold": score_threshold}
                prefetch.append({"prefetch": candidates, "query": sparse, "using": SPARSE_VECTOR_NAME,
                                 "limit": top_k})
            request = dbs.build_query_request(prefetch, {"fusion": "rrf"}, None, top_k, None, None)
        if request is None:
            return []
        with dbs.client_session(read_only=True) as client:
            points = client.query_points(store.collection_name, **request).points
        return [self._hit(dbs.point_to_document(p), p.score) for p in points]

    @staticmethod
    def _hit(doc, score):
        metadata = doc.metadata
        doc_id = metadata.get("doc_id") or doc.id
        return {
            "score": score,
            "chunk": {
                "id": doc.id,
                "content": doc.page_content,
                "document": {
                    "id": doc_id,
                    "name": metadata.get("title") or metadata.get("source") or doc_id,
                    "type": _document_type(metadata.get("source")),
                },
                "metadata": metadata,
            },
        }


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    kb_service = None


def _envelope(status, message, data=()):
    return {"code": str(int(status)), "message": message, "data": list(data)}


class _Handler(BaseHTTPRequestHandler):
    server_version = "kb-service/1"

    def log_message(self, format, *args):
        log.debug("%s - %s", self.address_string(), format % args)

    def _send(self, status, payload, extra_headers=()):
        body = json.dumps(payload, ensure_ascii=False).encode("utf-8")
        self.send_response(int(status))
        self.send_header("Content-Type", "application/json; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        for name, value in extra_headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def _read_body(self, service):
        length = self.headers.get("Content-Length")
        if length is None:
            raise RequestError(HTTPStatus.LENGTH_REQUIRED, "Content-Length required")
        try:
            size = int(length)
        except ValueError:
            raise RequestError(HTTPStatus.BAD_REQUEST, "bad Content-Length") from None
        if size < 0:
            raise RequestError(HTTPStatus.BAD_REQUEST, "bad Content-Length")
        if size > service.max_body:
            # Read and drop a moderately large body, so that the client gets
            # the answer rather than a reset connection; beyond that, close.
            self.close_connection = True
            if size <= _MAX_DISCARD:
                while size > 0:
                    chunk = self.rfile.read(min(size, 1 << 16))
                    if not chunk:
                        break
                    size -= len(chunk)
            raise RequestError(HTTPStatus.REQUEST_ENTITY_TOO_LARGE, "body larger than %d bytes" % service.max_body)
        return self.rfile.read(size)

    def do_POST(self):
        service = self.server.kb_service
        try:
            raw = self._read_body(service)
            try:
                kb_id = service.kb_id_of(self.path)
            except UnicodeDecodeError:
                raise RequestError(HTTPStatus.BAD_REQUEST, "knowledge-base id is not UTF-8") from None
            if kb_id is None:
                raise RequestError(HTTPStatus.NOT_FOUND, "no such endpoint")
            service.check_key(self.headers.get(API_KEY_HEADER))
            query, top_k, threshold = service.parse_body(raw)
            hits = service.search(kb_id, query, top_k, threshold)
        except RequestError as exc:
            self._send(exc.status, _envelope(exc.status, exc.message))
            return
        except Exception:
            log.exception("search failed")
            self._send(HTTPStatus.INTERNAL_SERVER_ERROR,
                       _envelope(HTTPStatus.INTERNAL_SERVER_ERROR, "search failed"))
            return
        self._send(HTTPStatus.OK, _envelope(HTTPStatus.OK, "", hits))

    def _refuse(self):
        self.close_connection = True
        self._send(HTTPStatus.METHOD_NOT_ALLOWED, _envelope(HTTPStatus.METHOD_NOT_ALLOWED, "use POST"),
                   [("Allow", "POST")])

    do_GET = do_PUT = do_DELETE = do_PATCH = _refuse


def _configured_port():
    host = urlsplit(_service_config().get("qor_host") or "")
    try:
        return host.port or 8000
    except ValueError:
        return 8000


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m hostkit.kb_service",
                                     description="Serve the demonstration corpus as an external knowledge base "
                                                 "on 127.0.0.1.")
    parser.add_argument("--port", type=int, default=None,
                        help="port to listen on (default: the port of the configured qor_host, else 8000)")
    parser.add_argument("--kb-id", default=DEFAULT_KB_ID, help="knowledge-base id to serve (default: %(default)s)")
    parser.add_argument("--api-key", default=None,
                        help="API key to require (default: the configured default_token; none accepts all)")
    parser.add_argument("--mode", choices=MODES, default="hybrid")
    args = parser.parse_args(argv)
    logging.basicConfig(level=logging.INFO, format="%(asctime)s %(levelname)s [%(name)s] %(message)s")
    port = _configured_port() if args.port is None else args.port
    api_key = _CONFIGURED if args.api_key is None else args.api_key
    service = KbService.from_corpus(args.kb_id, api_key=api_key, mode=args.mode, port=port)

    def announce(svc):
        print("serving knowledge base %r: POST %s (Ctrl-C stops)" % (args.kb_id, svc.url_for(args.kb_id)),
              flush=True)

    try:
        service.serve_forever(ready=announce)
    except KeyboardInterrupt:
        pass

if __name__ == "__main__":
    main()
