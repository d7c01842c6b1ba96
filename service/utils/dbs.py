"""Vector database and session store of the service.

Vector database
    One client per process, created on first use from the "vector_db" entry of
    the "service" configuration section:

    * "url" set: a server (a single node or any node of a cluster), with the
      optional "api_key", "timeout" and "check_compatibility" (false skips
      the client's version probe when it starts);
    * otherwise embedded, as "embedded" says:
      - "engine" (the default): the search engine in-process
        (``utils.vector_engine``), one shard per collection under "path", or
        under a temporary directory removed at exit when "path" is null.  One
        process at a time opens a directory: another one gets
        ``VectorEngineBusy``; a process forked after the parent opened it
        gets ``RuntimeError`` until it calls ``reset()``.  Where the engine's
        package is not installed, the local mode, with a warning in the log;
      - "local": the client's local mode (pure Python, for comparison and
        tests), on disk under "path", or in memory when "path" is null.

    The local mode is not thread-safe, so every call on it is made under one
    process-wide lock; use ``client_session()`` for direct access.  The
    engine and a server take concurrent calls.

    Query vectors must be finite; a filter may hold at most
    "max_filter_conditions" conditions (default 1,000; null or 0: the
    default), counted through nested filters: the database checks each one
    against every candidate.

    ``aquery`` hands its client call to one long-lived pool of "query_threads"
    threads (default 4) per process, whatever event loop awaits it.
    ``get_collection`` answers from descriptions kept for
    "collection_cache_seconds" (default 2; 0 keeps none): a
    ``client_session()`` that is not read-only drops them when it ends, and
    ``forget_collections()`` drops them at once (changes made by other
    processes show after the lifetime at the latest).

Session store
    Hash-like entries ``name -> {field: mapping}`` with a time-to-live per
    entry.  Redis when a Redis URL is configured, a Redis Cluster when a
    cluster URL is: the environment variables ``REDIS_CLUSTER_URL`` and
    ``REDIS_URL``, else the "redis_cluster_url" and "redis_url" entries of the
    "service" section (the environment wins; at the same level the cluster
    wins).  Each field value is JSON text in a Redis hash and the time-to-live
    is set on the whole key.  Otherwise an in-process store with the same
    behaviour.

    ``lock_redis_data(name, key=field)`` gives the lock that writers of one
    field take around their read and write.  On Redis (single or cluster) it
    is a key of its own with an expiry, shared by every process and host
    using that Redis; the "redis_lock" entry of the "service" section sets
    "expiry" (seconds a holder may keep it, default 10: a holder that dies
    blocks the others at most that long), "wait" (seconds to try before
    giving up with ``SessionLockTimeout``, default 30) and "poll" (first pause
    between tries, default 0.001, doubling up to 0.01).  The in-process store
    offers none (None): one process needs only its own locks.

    Writes are fenced: while a lock is held, ``hset_redis_data`` of its field
    (in the holder's thread or asynchronous task) is made by one script in
    Redis that writes only if the lock still holds the holder's token.  A
    holder whose lock expired (a stall longer than "expiry") or was lost (a
    store restarted without persistence) writes nothing and gets
    ``SessionLockLost``.  The lock key shares the record's hash slot, so the
    script also runs on a Redis Cluster.  ``async with lock:`` and
    ``await lock.call(fn, ...)`` make their round trips on the store's own
    threads, never on the event loop.
"""
import asyncio
import atexit
import concurrent.futures
import contextlib
import contextvars
import copy
import json
import logging
import math
import os
import random
import re
import threading
import time
import uuid
from collections.abc import Mapping

from langchain_core.documents import Document
from pydantic import BaseModel
from qdrant_client import QdrantClient
from qdrant_client.http import models as qm

from configs import get_configs

__all__ = [
    "aquery", "get_collection", "get_redis_data", "hset_redis_data",
    "get_client", "client_session", "is_embedded", "client_kind", "vector_db_config",
    "lock_redis_data", "session_store", "set_session_store", "MemorySessionStore", "RedisSessionStore",
    "RedisClusterSessionStore", "RedisFieldLock", "SessionLockTimeout", "SessionLockLost", "reset",
    "build_query_request", "point_to_document",
]


# --------------------------------------------------------------------------
# Vector database client
# --------------------------------------------------------------------------

_client = None
_client_embedded = True
_client_kind = "engine"  # "engine", "local" or "server"
_filter_bound = 1000  # "max_filter_conditions" of the configuration the client was made from
_client_guard = threading.Lock()
# Serialises every call on a local-mode client (re-entrant for nested helpers).
_embedded_lock = threading.RLock()
# An engine client opened by the process this one was forked from: never used
# nor closed here (its files and threads belong to the parent).
_inherited_engine = None
_abandoned_engines = []  # kept alive: dropping one here would run its close


def vector_db_config():
    """The "vector_db" entry of the "service" section (a new dict)."""
    return dict(get_configs("service").get("vector_db") or {})


def _create_client(conf):
    url = conf.get("url")
    if url:
        kwargs = {"url": url}
        if conf.get("api_key"):
            kwargs["api_key"] = conf["api_key"]
        if conf.get("timeout") is not None:
            kwargs["timeout"] = int(conf["timeout"])
        if conf.get("check_compatibility") is False:
            kwargs["check_compatibility"] = False  # no version probe at start-up
        return QdrantClient(**kwargs), "server"
    path = conf.get("path")
    mode = conf.get("embedded") or "engine"
    if mode not in ("engine", "local"):
        raise ValueError('vector_db "embedded" must be "engine" or "local", not %r' % (mode,))
    if mode == "engine":
        try:
            from utils.vector_engine import EngineClient
        except ImportError as exc:
            _log.warning("vector engine unavailable (%s: install qdrant-edge-py); the embedded vector "
                         "database falls back to the client's local mode", exc)
        else:
            return EngineClient(path or None), "engine"
    if path:
        return QdrantClient(path=str(path)), "local"
    return QdrantClient(location=":memory:"), "local"


def get_client():
    """The process-wide vector database client, created on first use."""
    global _client, _client_embedded, _client_kind, _filter_bound
    if _client is None:
        with _client_guard:
            if _client is None:
                if _inherited_engine is not None:
                    raise RuntimeError(
                        "the embedded vector engine (%s) was opened by the process this one was forked "
                        "from and cannot be shared; open it in one process only, or call "
                        "utils.dbs.reset() here to open a database of this process" % _inherited_engine.path)
                conf = vector_db_config()
                client, kind = _create_client(conf)
                _client_embedded, _client_kind = kind != "server", kind
                _filter_bound = int(conf.get("max_filter_conditions") or 1000)
                _client = client
    return _client


def is_embedded():
    get_client()
    return _client_embedded


def client_kind():
    """"engine", "local" (the client's local mode) or "server"."""
    get_client()
    return _client_kind


@contextlib.contextmanager
def client_session(read_only=False):
    """Yield the client; with an embedded client, hold its lock meanwhile.

    Direct access may change collections, so the cached collection
    descriptions are dropped when the session ends, unless ``read_only``.
    """
    client = get_client()
    guard = _embedded_lock if _client_kind == "local" else contextlib.nullcontext()
    try:
        with guard:
            yield client
    finally:
        if not read_only:
            forget_collections()


# Collection descriptions: name -> (expires_at, JSON text). Dropped by every
# session that may change collections, and after "collection_cache_seconds"
# (of the "vector_db" entry; default 2, 0 disables), since other processes
# may change a server's collections. A description read while they were
# being dropped is not kept: it may predate the change.
_collections = {}
_collections_guard = threading.Lock()
_collections_generation = 0


def forget_collections():
    global _collections_generation
    with _collections_guard:
        _collections.clear()
        _collections_generation += 1


def _describe(collection_name):
    with client_session(read_only=True) as client:
        info = client.get_collection(collection_name)
    # What callers read: the collection's parameters (vectors, sparse vectors).
    return {"status": info.status.value if hasattr(info.status, "value") else info.status,
            "config": {"params": info.config.params.model_dump(mode="json")}}


def get_collection(collection_name):
    """Description of a collection as a plain nested dict (a new one on
    every call): ``{"status", "config": {"params": ...}}``.

    The names of its sparse vectors are the keys of
    ``["config"]["params"]["sparse_vectors"]`` (None when it has none).
    """
    now = time.monotonic()
    with _collections_guard:
        hit, generation = _collections.get(collection_name), _collections_generation
    if hit is not None and now < hit[0]:
        # The description is JSON data: parsing its text makes the fresh copy
        # at a fraction of what a deep copy costs.
        return json.loads(hit[1])
    lifetime = float(vector_db_config().get("collection_cache_seconds", 2.0) or 0.0)
    description = _describe(collection_name)
    if lifetime > 0:
        with _collections_guard:
            if generation == _collections_generation:
                _collections[collection_name] = (now + lifetime, json.dumps(description))
    return description


# The database calls of ``aquery`` run on one long-lived pool of the
# process, whatever event loop awaits them: no thread is started per call or
# per loop. Its size is the "query_threads" entry of "vector_db" (default 4).
_pool = None
_pool_guard = threading.Lock()


def _query_pool():
    global _pool
    if _pool is None:
        with _pool_guard:
            if _pool is None:
                size = int(vector_db_config().get("query_threads") or 4)
                _pool = concurrent.futures.ThreadPoolExecutor(max_workers=size, thread_name_prefix="vector-db")
    return _pool


def _forget_pool():
    # In a forked child the pool's threads do not exist.
    global _pool, _pool_guard
    _pool, _pool_guard = None, threading.Lock()


def _forget_engine():
    # A forked child must not use (nor close) the parent's engine: its
    # threads do not exist here and its files are the parent's.
    global _client, _inherited_engine
    if _client is not None and _client_kind == "engine":
        _client, _inherited_engine = None, _client


os.register_at_fork(after_in_child=_forget_pool)
os.register_at_fork(after_in_child=_forget_engine)


# --------------------------------------------------------------------------
# Plain mappings -> client query models
# --------------------------------------------------------------------------

_PREFETCH_KEYS = frozenset(("prefetch", "query", "using", "limit", "score_threshold", "filter"))
_RECOMMEND_KEYS = frozenset(("positive", "negative", "strategy"))


def _is_number(x):
    return isinstance(x, (int, float)) and not isinstance(x, bool)


def _as_list(value):
    if hasattr(value, "tolist") and not isinstance(value, (list, tuple)):
        value = value.tolist()  # numpy arrays
    return value


def _is_dense(value):
    value = _as_list(value)
    return isinstance(value, (list, tuple)) and len(value) > 0 and all(_is_number(x) for x in value)


def _is_sparse(value):
    return isinstance(value, Mapping) and set(value) == {"indices", "values"}


def _finite(values, what):
    # A sum is finite when every term is (overflow aside): one pass in C for
    # the usual vector, the exact check only when the sum says otherwise.
    if not math.isfinite(sum(values)) and not all(math.isfinite(x) for x in values):
        raise ValueError("%s holds a value that is not finite: %s" % (what, _short(values)))
    return values


def _to_vector(value):
    """A dense vector (list of numbers) or a sparse one ({"indices", "values"})."""
    if isinstance(value, qm.SparseVector) or _is_sparse(value):
        if not isinstance(value, qm.SparseVector):
            value = qm.SparseVector(indices=list(value["indices"]), values=list(value["values"]))
        if len(value.indices) != len(value.values) or any(i < 0 for i in value.indices):
            raise ValueError("sparse vector needs as many values as indices, indices >= 0: %s" % _short(value))
        _finite(value.values, "sparse vector")
        return value
    if _is_dense(value):
        return _finite([float(x) for x in _as_list(value)], "vector")
    if isinstance(value, (list, tuple)) and not value:
        raise ValueError("empty vector")
    raise TypeError("not a dense or sparse vector: %r" % (_short(value),))


def _to_vector_list(value):
    """One vector or a list of vectors -> list of vectors (None stays None)."""
    if value is None:
        return None
    value = _as_list(value)
    if _is_dense(value) or _is_sparse(value) or isinstance(value, qm.SparseVector):
        return [_to_vector(value)]
    if isinstance(value, (list, tuple)):
        return [_to_vector(v) for v in value]
    raise TypeError("not a vector or a list of vectors: %r" % (_short(value),))


def _short(value, limit=80):
    text = repr(value)
    return text if len(text) <= limit else text[:limit] + "..."


def _to_query(query):
    if query is None:
        # Without a query the database lists points by id, scored 1.0: an
        # answer nobody asked for.
        raise TypeError("query must be a dense or sparse vector, a fusion or a recommend query, not None")
    if isinstance(query, BaseModel):
        return query
    if isinstance(query, Mapping):
        if "fusion" in query:
            if set(query) != {"fusion"}:
                raise ValueError("fusion query takes only the key 'fusion': %r" % (_short(query),))
            return qm.FusionQuery(fusion=qm.Fusion(query["fusion"]))
        if "recommend" in query:
            if set(query) != {"recommend"}:
                raise ValueError("recommend query takes only the key 'recommend': %r" % (_short(query),))
            return _to_recommend(query["recommend"])
        if _is_sparse(query):
            return _to_vector(query)
        raise ValueError("unknown query mapping with keys %s" % sorted(query))
    return _to_vector(query)


def _to_recommend(recommend):
    if not isinstance(recommend, Mapping):
        raise TypeError("recommend query must be a mapping, not %s" % type(recommend).__name__)
    unknown = set(recommend) - _RECOMMEND_KEYS
    if unknown:
        raise ValueError("unknown recommend keys %s" % sorted(unknown))
    positive = _to_vector_list(recommend.get("positive"))
    negative = _to_vector_list(recommend.get("negative"))
    if not positive and not negative:
        raise ValueError("recommend query needs positive or negative examples")
    strategy = qm.RecommendStrategy(recommend.get("strategy") or qm.RecommendStrategy.BEST_SCORE)
    return qm.RecommendQuery(
        recommend=qm.RecommendInput(positive=positive, negative=negative, strategy=strategy)
    )


def _rename_except(value):
    # Filters may come with the field name "except_" instead of the key "except".
    if isinstance(value, Mapping):
        return {("except" if k == "except_" else k): _rename_except(v) for k, v in value.items()}
    if isinstance(value, list):
        return [_rename_except(v) for v in value]
    return value


def _count_conditions(value, bound):
    """Number of conditions of a filter (mapping or model), nested filters
    included; ValueError past ``bound``, before any more is looked at."""
    count, pending = 0, [value]
    while pending:
        node = pending.pop()
        nested = _count_get(node, "nested")
        if nested is not None:
            pending.append(_count_get(nested, "filter"))
        min_should = _count_get(node, "min_should")
        groups = [_count_get(node, key) for key in ("must", "should", "must_not")]
        groups.append(None if min_should is None else _count_get(min_should, "conditions"))
        for group in groups:
            if group is None:
                continue
            group = group if isinstance(group, (list, tuple)) else [group]
            count += len(group)
            if count > bound:
                raise ValueError("filter of more than %d conditions refused (vector_db \"max_filter_conditions\"):"
                                 " the database checks each one against every candidate" % bound)
            pending.extend(c for c in group if isinstance(c, (Mapping, BaseModel)))
    return count


def _count_get(node, key):
    return node.get(key) if isinstance(node, Mapping) else getattr(node, key, None)


def _to_filter(value):
    if value is None:
        return None
    if isinstance(value, (Mapping, qm.Filter)):
        get_client()
        _count_conditions(value, _filter_bound)
    if isinstance(value, Mapping):
        value = qm.Filter.model_validate(_rename_except(value))
    elif not isinstance(value, qm.Filter):
        raise TypeError("filter must be a mapping or a Filter, not %s" % type(value).__name__)
    if _matches_everything(value):
        # Without conditions every point matches. Sent as it is, the embedded
        # database still checks it against every point (about a fifth of a
        # millisecond on the demonstration corpus); no filter is the same query.
        return None
    if _MatchSubstring is not None and client_kind() == "local":
        value = _embedded_text_matches(value)
    return value


def _matches_everything(f):
    # Only the clauses whose empty form is certain: no "must" condition to
    # meet, none to avoid. An empty "should" or "min_should" is left to the
    # database.
    return (f.should is None and f.min_should is None
            and not f.must and not f.must_not)


# The local mode has no text index: it splits text only at
# non-alphanumeric characters, so a Chinese word inside a sentence never
# satisfies MatchText.  There a text match holding CJK characters is evaluated
# as containment of each of its space-separated parts, which is what the
# server's multilingual text index gives for such words.
_CJK_RE = re.compile("[\u3040-\u30ff\u3400-\u4dbf\u4e00-\u9fff\uf900-\ufaff\uac00-\ud7af]")
_MatchSubstring = getattr(qm, "MatchSubstring", None)


def _embedded_text_matches(condition):
    if isinstance(condition, list):
        return [_embedded_text_matches(c) for c in condition]
    if isinstance(condition, qm.Filter):
        update = {k: _embedded_text_matches(getattr(condition, k)) for k in ("must", "should", "must_not")
                  if getattr(condition, k) is not None}
        if condition.min_should is not None:
            update["min_should"] = condition.min_should.model_copy(
                update={"conditions": _embedded_text_matches(condition.min_should.conditions)})
        return condition.model_copy(update=update)
    if isinstance(condition, qm.NestedCondition):
        nested = condition.nested.model_copy(update={"filter": _embedded_text_matches(condition.nested.filter)})
        return condition.model_copy(update={"nested": nested})
    if (isinstance(condition, qm.FieldCondition) and isinstance(condition.match, qm.MatchText)
            and _CJK_RE.search(condition.match.text)):
        parts = condition.match.text.split() or [condition.match.text]
        subs = [condition.model_copy(update={"match": _MatchSubstring(substring=p)}) for p in parts]
        return subs[0] if len(subs) == 1 else qm.Filter(must=subs)
    return condition


def _to_prefetch(entry):
    """A prefetch entry -> ``Prefetch``; None when it cannot yield any hit.

    An entry with limit 0, or whose nested candidate searches all have limit 0,
    contributes nothing; the database rejects such limits, so the entry is left
    out instead.
    """
    if not isinstance(entry, Mapping):
        raise TypeError("prefetch entry must be a mapping, not %s" % type(entry).__name__)
    unknown = set(entry) - _PREFETCH_KEYS
    if unknown:
        raise ValueError("unknown prefetch keys %s" % sorted(unknown))
    if entry.get("limit") == 0:
        return None
    nested = entry.get("prefetch")
    if nested is not None:
        items = nested if isinstance(nested, (list, tuple)) else [nested]
        converted = [p for p in (_to_prefetch(item) for item in items) if p is not None]
        if not converted:
            return None
        nested = converted if isinstance(nested, (list, tuple)) else converted[0]
    query = entry.get("query")
    return qm.Prefetch(
        prefetch=nested,
        # Over nested entries, no query keeps their hits as they are.
        query=None if query is None and nested is not None else _to_query(query),
        using=entry.get("using"),
        limit=entry.get("limit"),
        score_threshold=entry.get("score_threshold"),
        filter=_to_filter(entry.get("filter")),
    )


def build_query_request(prefetch, query, using, limit, score_threshold, filter):
    """Keyword arguments for ``query_points``, or None when no hit is possible."""
    if limit is not None and limit <= 0:
        return None
    entries = list(prefetch or [])
    converted = [p for p in (_to_prefetch(e) for e in entries) if p is not None]
    if entries and not converted:
        return None
    query_model = _to_query(query)
    if isinstance(query_model, qm.FusionQuery):
        if not converted:
            raise ValueError("a fusion query needs prefetch entries")
        # Fused scores are rank based: a similarity threshold means nothing
        # for them.  Thresholds belong to the sub-searches.
        score_threshold = None
    return {
        "prefetch": converted or None,
        "query": query_model,
        "using": using,
        "limit": limit if limit is not None else 10,
        "score_threshold": score_threshold,
        "query_filter": _to_filter(filter),
        "with_payload": True,
        "with_vectors": False,
    }


def point_to_document(point):
    payload = point.payload or {}
    metadata = payload.get("metadata")
    metadata = copy.deepcopy(dict(metadata)) if isinstance(metadata, Mapping) else {}
    text = payload.get("page_content")
    return Document(page_content=text if isinstance(text, str) else "", metadata=metadata,
                    id=str(point.id))


def _query_points(collection_name, request):
    with client_session(read_only=True) as client:
        return client.query_points(collection_name, **request).points


async def aquery(collection_name, prefetch, query, using, limit, score_threshold, filter):
    """Query a collection; returns [(Document, score), ...], best first.

    ``prefetch``: list of mappings with keys among "prefetch" (one nested entry
    or a list of them), "query", "using", "limit", "score_threshold", "filter".
    ``query``: a dense vector, a sparse vector {"indices", "values"}, the
    fusion query {"fusion": "rrf"} or a recommend query {"recommend":
    {"positive": [...], "negative": vector | [vectors] | None, "strategy":
    "best_score"}}.  ``filter``: a plain filter mapping or None.
    """
    request = build_query_request(prefetch, query, using, limit, score_threshold, filter)
    if request is None:
        return []
    # The client call blocks; it runs on the query pool so that concurrent
    # retrievals do not stall the event loop; the caller's context variables
    # go with it, as with asyncio.to_thread.
    call = contextvars.copy_context().run
    points = await asyncio.wrap_future(_query_pool().submit(call, _query_points, collection_name, request))
    return [(point_to_document(p), p.score) for p in points]


# --------------------------------------------------------------------------
# Session store
# --------------------------------------------------------------------------

class MemorySessionStore:
    """In-process hash store with a time-to-live per entry (thread-safe)."""

    SWEEP_INTERVAL = 60.0  # seconds between purges of expired entries

    def __init__(self, clock=time.monotonic):
        self._clock = clock
        self._entries = {}  # name -> [expires_at or None, {field: text}]
        self._lock = threading.Lock()
        self._last_sweep = clock()

    def _sweep(self):
        # Entries that are never read again must not pile up.
        now = self._clock()
        if now - self._last_sweep >= self.SWEEP_INTERVAL:
            self._last_sweep = now
            for name in [n for n, e in self._entries.items() if e[0] is not None and e[0] <= now]:
                del self._entries[name]

    def _live(self, name):
        entry = self._entries.get(name)
        if entry is not None and entry[0] is not None and entry[0] <= self._clock():
            del self._entries[name]
            entry = None
        return entry

    def hget(self, name, field):
        with self._lock:
            entry = self._live(name)
            return None if entry is None else entry[1].get(field)

    def hgetall(self, name):
        with self._lock:
            entry = self._live(name)
            return {} if entry is None else dict(entry[1])

    def hset(self, name, field, text, ttl=None):
        with self._lock:
            self._sweep()
            entry = self._live(name)
            if entry is None:
                entry = self._entries[name] = [None, {}]
            entry[1][field] = text
            if ttl is not None:
                if ttl <= 0:
                    del self._entries[name]
                else:
                    entry[0] = self._clock() + ttl

    def close(self):
        pass


_log = logging.getLogger(__name__)


class SessionLockTimeout(TimeoutError):
    """A session-store lock was not acquired within its wait."""


class SessionLockLost(RuntimeError):
    """A write under a session-store lock found the lock no longer held by
    its writer (it expired, or the store lost it): nothing was written."""


def _hash_tag(name):
    # The part of a key a Redis Cluster hashes: the text between its first
    # "{" and the next "}" when that is not empty, the whole key otherwise.
    start = name.find("{")
    if start >= 0:
        end = name.find("}", start + 1)
        if end > start + 1:
            return name[start + 1:end]
    return name


_slot_tags = {}


def _slot_tag(slot):
    # A short text that hashes to ``slot``, for names that cannot be
    # written inside braces (a "}" and no hash tag of their own).
    if slot not in _slot_tags:
        from redis.crc import key_slot

        i = 0
        while key_slot(str(i).encode()) != slot:  # every slot is reached below 10**6
            i += 1
        _slot_tags[slot] = str(i)
    return _slot_tags[slot]


def _lock_name(name, field):
    # One key per (entry, field); the length prefix keeps any two pairs
    # apart, and the hash tag puts the lock in the entry's own slot.
    tag = _hash_tag(name)
    if "}" in tag:
        from redis.crc import key_slot

        tag = _slot_tag(key_slot(name.encode("utf-8", "surrogatepass")))
    return "lock:{%s}:%d:%s:%s" % (tag, len(name), name, field)


# The locks this thread or task holds: (entry, field) -> lock. Never changed
# in place, so that a copied context keeps what it was given.
_held = contextvars.ContextVar("session_store_locks_held", default={})

# Deletes the lock only while it holds the caller's token.
_RELEASE_SCRIPT = """
if redis.call('get', KEYS[1]) == ARGV[1] then return redis.call('del', KEYS[1]) end
return 0
"""
# Writes the field only while the lock holds the writer's token; ARGV[4] is
# the time-to-live in milliseconds ('' leaves it, 0 deletes the entry).
_FENCED_HSET_SCRIPT = """
if redis.call('get', KEYS[1]) ~= ARGV[1] then return 0 end
redis.call('hset', KEYS[2], ARGV[2], ARGV[3])
if ARGV[4] ~= '' then
  local ms = tonumber(ARGV[4])
  if ms <= 0 then redis.call('del', KEYS[2]) else redis.call('pexpire', KEYS[2], ms) end
end
return 1
"""

# Round trips of asynchronous callers run here, off their event loops.
STORE_THREADS = 8
_store_threads = None
_store_threads_guard = threading.Lock()


def _store_pool():
    global _store_threads
    with _store_threads_guard:
        if _store_threads is None:
            _store_threads = concurrent.futures.ThreadPoolExecutor(max_workers=STORE_THREADS,
                                                                   thread_name_prefix="session-store")
        return _store_threads


def _forget_store_threads():
    global _store_threads, _store_threads_guard
    _store_threads, _store_threads_guard = None, threading.Lock()


os.register_at_fork(after_in_child=_forget_store_threads)


def _submit(fn, *args, **kwargs):
    # With the caller's context: a write made there is fenced as the caller's.
    return _store_pool().submit(contextvars.copy_context().run, fn, *args, **kwargs)


class RedisFieldLock:
    """Lock of one field of one entry, shared by every client of the Redis.

    A key set only when absent (``SET NX PX``) with a random token and an
    expiry; released by deleting it only while it still holds that token.
    While it is held, the holder's writes of the field are fenced (see the
    module's description).  ``with lock:`` waits in the calling thread (the
    GIL is released while it sleeps and while it talks to Redis); ``async
    with lock:`` waits on the event loop with asyncio sleeps and makes each
    try on the store's threads.  Single use, not re-entrant.

    An update that fails or is interrupted gives the lock back without
    waiting more than ``GIVE_BACK_WAIT`` for the store; a store that does
    not answer by then is left to the expiry.
    """

    MAX_POLL = 0.01
    GIVE_BACK_WAIT = 0.2

    def __init__(self, client, name, field, expiry=10.0, wait=30.0, poll=0.001):
        self.name = _lock_name(name, field)
        self.record = (name, field)
        self.expiry = float(expiry)
        self.wait = float(wait)
        self.poll = float(poll)
        self._client = client
        self._release_script = client.register_script(_RELEASE_SCRIPT)
        self._write_script = client.register_script(_FENCED_HSET_SCRIPT)
        self._token = None

    def _pauses(self):
        # Pauses between tries: doubling from ``poll`` with jitter, so that
        # waiters do not retry in step; ends when the wait is over.
        deadline = time.monotonic() + self.wait
        pause = self.poll
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise SessionLockTimeout("session store lock %r not acquired within %g s" % (self.name, self.wait))
            yield min(left, pause * random.uniform(0.5, 1.5))
            pause = min(pause * 2, self.MAX_POLL)

    def _try(self):
        # One round trip. A try whose answer never came (an interrupt, a
        # store error) may have set the key all the same: it is given back.
        token = uuid.uuid4().hex
        try:
            taken = self._client.set(self.name, token, nx=True, px=max(1, int(self.expiry * 1000)))
        except BaseException:
            self._give_back(token)
            raise
        if taken:
            self._token = token
        return bool(taken)

    def acquire(self):
        if not self._try():
            for pause in self._pauses():
                time.sleep(pause)
                if self._try():
                    break
        self._fence()

    async def acquire_async(self):
        if not await self._try_off_loop():
            for pause in self._pauses():
                await asyncio.sleep(pause)
                if await self._try_off_loop():
                    break
        self._fence()

    async def _try_off_loop(self):
        future = _submit(self._try)
        try:
            return await asyncio.wrap_future(future)
        except asyncio.CancelledError:
            # The try may still take the lock after its caller has gone.
            future.add_done_callback(
                lambda f: f.cancelled() or f.exception() is not None or not f.result() or _submit(self.release))
            raise

    def _fence(self):
        _held.set({**_held.get(), self.record: self})

    def _unfence(self):
        held = _held.get()
        if held.get(self.record) is self:
            held = dict(held)
            del held[self.record]
            _held.set(held)

    def write(self, text, ttl):
        """Set the field to ``text`` (and the entry's time-to-live) only
        while this lock is still held; ``SessionLockLost`` otherwise."""
        ms = "" if ttl is None else str(max(1, int(round(ttl * 1000))) if ttl > 0 else 0)
        name, field = self.record
        if not self._write_script(keys=[self.name, name], args=[self._token, field, text, ms]):
            raise SessionLockLost("session store lock %r expired or was lost before the write of %r, field %r: "
                                  "nothing written" % (self.name, name, field))

    def release(self, token=None):
        # A release that fails leaves the key to its expiry.  It must not
        # turn a completed update into a failure, nor hide the error of one
        # that failed.
        self._unfence()
        token = token or self._token
        if token is None:
            return
        try:
            if not self._release_script(keys=[self.name], args=[token]) and token == self._token:
                _log.warning("session store lock %r was no longer held at its release", self.name)
        except Exception as exc:  # noqa: BLE001 - logged, the key expires
            _log.warning("session store lock %r not released (%s: %s); it expires in %g s",
                         self.name, type(exc).__name__, exc, self.expiry)

    def _give_back(self, token):
        # Bounded: neither an interrupt nor a store that stopped answering
        # is held up by the release.
        if token is None:
            return
        thread = threading.Thread(target=self.release, args=(token,), name="session-lock-give-back", daemon=True)
        thread.start()
        thread.join(self.GIVE_BACK_WAIT)

    async def call(self, fn, /, *args, **kwargs):
        """``fn(*args, **kwargs)`` (a blocking store call of the holder) on
        the store's threads, with the caller's context, so that a write made
        there is fenced by this lock; the event loop runs meanwhile."""
        return await asyncio.wrap_future(_submit(fn, *args, **kwargs))

    def __enter__(self):
        self.acquire()
        return self

    def __exit__(self, exc_type, *exc_info):
        self._unfence()
        if exc_type is None:
            self.release()
        else:
            self._give_back(self._token)
        return False

    async def __aenter__(self):
        await self.acquire_async()
        return self

    async def __aexit__(self, exc_type, *exc_info):
        self._unfence()
        if exc_type is None:
            await self.call(self.release)
        else:
            _submit(self.release)  # not awaited: a failed update is not held up by the store
        return False


def _lock_settings():
    conf = get_configs("service").get("redis_lock") or {}
    return {key: float(conf[key]) for key in ("expiry", "wait", "poll") if conf.get(key) is not None}


class RedisSessionStore:
    """Redis hashes; the time-to-live applies to the whole key."""

    def __init__(self, url, **lock_settings):
        self.url = url
        self._redis = self._connect(url)
        self.lock_settings = lock_settings

    @staticmethod
    def _connect(url):
        import redis

        return redis.Redis.from_url(url, decode_responses=True)

    def hget(self, name, field):
        return self._redis.hget(name, field)

    def hgetall(self, name):
        return self._redis.hgetall(name)

    def hset(self, name, field, text, ttl=None):
        # One transaction: the entry is never left without its expiry.
        pipe = self._redis.pipeline(transaction=True)
        pipe.hset(name, field, text)
        if ttl is not None:
            if ttl <= 0:
                pipe.delete(name)
            elif float(ttl).is_integer():
                pipe.expire(name, int(ttl))
            else:
                pipe.pexpire(name, max(1, int(round(ttl * 1000))))
        pipe.execute()

    def field_lock(self, name, field):
        return RedisFieldLock(self._redis, name, field, **self.lock_settings)

    def close(self):
        self._redis.close()


class RedisClusterSessionStore(RedisSessionStore):
    """The same hashes and locks on a Redis Cluster (any node's URL)."""

    @staticmethod
    def _connect(url):
        from redis.cluster import RedisCluster

        return RedisCluster.from_url(url, decode_responses=True)


_store = None
_store_guard = threading.Lock()


def _redis_target():
    """(url, is_cluster) of the configured Redis, or (None, False)."""
    for url, cluster in ((os.environ.get("REDIS_CLUSTER_URL"), True), (os.environ.get("REDIS_URL"), False)):
        if url:
            return url, cluster
    conf = get_configs("service")
    for key, cluster in (("redis_cluster_url", True), ("redis_url", False)):
        if conf.get(key):
            return conf[key], cluster
    return None, False


def session_store():
    """The process-wide session store, chosen on first use."""
    global _store
    if _store is None:
        with _store_guard:
            if _store is None:
                url, cluster = _redis_target()
                if url is None:
                    _store = MemorySessionStore()
                else:
                    kind = RedisClusterSessionStore if cluster else RedisSessionStore
                    _store = kind(url, **_lock_settings())
    return _store


def set_session_store(store):
    """Install ``store`` (or None: choose again on next use); returns the
    previous one, which is not closed."""
    global _store
    with _store_guard:
        previous, _store = _store, store
    return previous


def get_redis_data(name, key=None):
    """Stored mapping of entry ``name``, field ``key`` (a new object), or None.

    Without ``key``: all fields of the entry as {field: value}, or None.
    """
    store = session_store()
    if key is None:
        fields = store.hgetall(name)
        return {f: json.loads(v) for f, v in fields.items()} or None
    text = store.hget(name, key)
    return None if text is None else json.loads(text)


def hset_redis_data(name, key, value, ttl=None):
    """Store ``value`` (JSON-encodable) under entry ``name``, field ``key``.

    ``ttl`` (seconds) is the time-to-live of the whole entry; None leaves the
    entry's expiry as it is.  Under the field's lock (``lock_redis_data``),
    ``SessionLockLost`` when the lock was lost meanwhile: nothing written.
    """
    text = json.dumps(value, ensure_ascii=False)
    holder = _held.get().get((name, key))
    if holder is not None:
        holder.write(text, ttl)  # only while the holder still holds its lock
    else:
        session_store().hset(name, key, text, ttl)
    return True


def lock_redis_data(name, key):
    """The lock writers of entry ``name``, field ``key`` take around a read
    and a later write of it (a context manager, also asynchronous), or None
    when the store needs none beyond the caller's own in-process lock."""
    field_lock = getattr(session_store(), "field_lock", None)
    return None if field_lock is None else field_lock(name, key)


def reset():
    """Drop the process-wide clients; the next use creates them afresh."""
    global _client, _store, _pool, _inherited_engine
    forget_collections()
    if _inherited_engine is not None:
        _abandoned_engines.append(_inherited_engine)
        _inherited_engine = None
    with _pool_guard:
        if _pool is not None:
            _pool.shutdown(wait=False)
        _pool = None
    with _client_guard:
        if _client is not None:
            with contextlib.suppress(Exception):
                _client.close()
        _client = None
    with _store_guard:
        if _store is not None:
            with contextlib.suppress(Exception):
                _store.close()
        _store = None


# Close the clients while the interpreter is still whole (an on-disk embedded
# database writes and unlocks its directory when closed).
atexit.register(reset)
