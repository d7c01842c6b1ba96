"""The embedded vector database on the search engine itself, in-process.

``EngineClient`` answers the part of the vector-database client's interface
that the stand-ins use (collections, upsert, delete, count, query_points,
payload indexes) with the client's own models, and runs every call on the
engine's shards: one shard per collection, in ``<path>/<collection>/shard``
beside ``params.json``, the collection's parameters as created.

Queries, upserts and deletes on a shard need no lock of ours: the engine
orders them itself and releases the GIL while it works.  One lock guards the
table of open shards (create, drop, first open).

One process at a time: the directory is locked (``.engine.lock``, an
exclusive ``flock``) before any shard is opened; a second process gets
``VectorEngineBusy``.  ``path`` None: a temporary directory, removed when the
client is closed (at exit at the latest) by the process that made it.
"""
import datetime
import errno
import fcntl
import json
import os
import re
import shutil
import tempfile
import threading
import types

import qdrant_edge as qe
from qdrant_client.http import models as qm

__all__ = ["EngineClient", "VectorEngineBusy", "RRF_K"]

# The server's reciprocal-rank constant: a hit at rank r (from 0) of a
# sub-search adds 1 / (RRF_K + r) to the fused score.
RRF_K = 2

_NAME_RE = re.compile(r"^[A-Za-z0-9_][A-Za-z0-9_.-]{0,254}$")
_PARAMS = "params.json"
_SHARD = "shard"
_LOCK = ".engine.lock"


class VectorEngineBusy(RuntimeError):
    """The database directory is open in another process."""


def _enum(kind, value):
    # The client's enums are text enums; the engine's members are CamelCase.
    text = value.value if hasattr(value, "value") else str(value)
    return getattr(kind, text[:1].upper() + text[1:].lower() if text.islower() else text)


# --------------------------------------------------------------------------
# Client models -> engine models
# --------------------------------------------------------------------------

def _match(match):
    if isinstance(match, qm.MatchValue):
        return qe.MatchValue(match.value)
    if isinstance(match, qm.MatchText):
        return qe.MatchText(match.text)
    if isinstance(match, qm.MatchAny):
        return qe.MatchAny(list(match.any))
    if isinstance(match, qm.MatchExcept):
        return qe.MatchExcept(list(match.except_))
    if isinstance(match, qm.MatchTextAny):
        return qe.MatchTextAny(match.text_any)
    if isinstance(match, qm.MatchPhrase):
        return qe.MatchPhrase(match.phrase)
    if isinstance(match, qm.MatchPrefix):
        return qe.MatchPrefix(match.prefix)
    if isinstance(match, qm.MatchSubstring):
        return qe.MatchSubstring(match.substring)
    raise TypeError("match not supported by the vector engine: %s" % type(match).__name__)


def _time(value):
    return value.isoformat() if isinstance(value, (datetime.date, datetime.datetime)) else value


def _range(rng):
    if isinstance(rng, qm.DatetimeRange):
        return qe.RangeDateTime(gte=_time(rng.gte), gt=_time(rng.gt), lte=_time(rng.lte), lt=_time(rng.lt))
    return qe.RangeFloat(gte=rng.gte, gt=rng.gt, lte=rng.lte, lt=rng.lt)


def _geo_point(p):
    return qe.GeoPoint(lon=p.lon, lat=p.lat)


def _field_condition(c):
    kwargs = {}
    if c.match is not None:
        kwargs["match"] = _match(c.match)
    if c.range is not None:
        kwargs["range"] = _range(c.range)
    if c.geo_bounding_box is not None:
        kwargs["geo_bounding_box"] = qe.GeoBoundingBox(_geo_point(c.geo_bounding_box.top_left),
                                                       _geo_point(c.geo_bounding_box.bottom_right))
    if c.geo_radius is not None:
        kwargs["geo_radius"] = qe.GeoRadius(_geo_point(c.geo_radius.center), c.geo_radius.radius)
    if c.geo_polygon is not None:
        kwargs["geo_polygon"] = qe.GeoPolygon(
            [_geo_point(p) for p in c.geo_polygon.exterior.points],
            [[_geo_point(p) for p in ring.points] for ring in c.geo_polygon.interiors or []] or None)
    if c.values_count is not None:
        v = c.values_count
        kwargs["values_count"] = qe.ValuesCount(lt=v.lt, gt=v.gt, lte=v.lte, gte=v.gte)
    for flag in ("is_empty", "is_null"):
        if getattr(c, flag, None) is not None:
            kwargs[flag] = getattr(c, flag)
    return qe.FieldCondition(c.key, **kwargs)


def _condition(c):
    if isinstance(c, qm.FieldCondition):
        return _field_condition(c)
    if isinstance(c, qm.Filter):
        return to_engine_filter(c)
    if isinstance(c, qm.IsEmptyCondition):
        return qe.IsEmptyCondition(c.is_empty.key)
    if isinstance(c, qm.IsNullCondition):
        return qe.IsNullCondition(c.is_null.key)
    if isinstance(c, qm.HasIdCondition):
        return qe.HasIdCondition(set(c.has_id))
    if isinstance(c, qm.HasVectorCondition):
        return qe.HasVectorCondition(c.has_vector)
    if isinstance(c, qm.NestedCondition):
        return qe.NestedCondition(c.nested.key, to_engine_filter(c.nested.filter))
    raise TypeError("condition not supported by the vector engine: %s" % type(c).__name__)


def _conditions(value):
    if value is None:
        return None
    return [_condition(c) for c in (value if isinstance(value, list) else [value])]


def to_engine_filter(f):
    """A client ``Filter`` (or None) as the engine's filter."""
    if f is None:
        return None
    min_should = None
    if f.min_should is not None:
        min_should = qe.MinShould(_conditions(f.min_should.conditions), f.min_should.min_count)
    return qe.Filter(must=_conditions(f.must), should=_conditions(f.should),
                     must_not=_conditions(f.must_not), min_should=min_should)


def _vector(value):
    if isinstance(value, qm.SparseVector):
        return qe.SparseVector(list(value.indices), list(value.values))
    if isinstance(value, list):
        return value
    raise TypeError("recommend examples must be vectors for the vector engine, not %s"
                    % type(value).__name__)


def _query(query, using):
    if query is None:
        return None
    if isinstance(query, qm.NearestQuery):
        query = query.nearest
    if isinstance(query, (list, qm.SparseVector)):
        return qe.Query.Nearest(_vector(query), using=using)
    if isinstance(query, qm.FusionQuery):
        return qe.Fusion.Rrf(k=RRF_K) if query.fusion == qm.Fusion.RRF else qe.Fusion.Dbsf()
    if isinstance(query, qm.RrfQuery):
        k = RRF_K if query.rrf.k is None else query.rrf.k
        return qe.Fusion.Rrf(k=k, weights=query.rrf.weights)
    if isinstance(query, qm.RecommendQuery):
        rec = query.recommend
        examples = qe.RecommendQuery([_vector(v) for v in rec.positive or []],
                                     [_vector(v) for v in rec.negative or []])
        if rec.strategy == qm.RecommendStrategy.SUM_SCORES:
            return qe.Query.RecommendSumScores(examples, using=using)
        if rec.strategy in (None, qm.RecommendStrategy.BEST_SCORE):
            return qe.Query.RecommendBestScore(examples, using=using)
    raise TypeError("query not supported by the vector engine: %s" % type(query).__name__)


def _prefetch(p):
    nested = p.prefetch
    if nested is not None and not isinstance(nested, list):
        nested = [nested]
    return qe.Prefetch(limit=10 if p.limit is None else p.limit, query=_query(p.query, p.using),
                       prefetches=[_prefetch(n) for n in nested] if nested else None,
                       filter=to_engine_filter(p.filter), score_threshold=p.score_threshold)


def _point(p):
    vector = p.vector
    if isinstance(vector, dict):
        vector = {name: _vector(v) for name, v in vector.items()}
    return qe.Point(p.id, vector, p.payload)


def _index_schema(schema):
    if isinstance(schema, qm.TextIndexParams):
        return qe.TextIndexParams(
            tokenizer=None if schema.tokenizer is None else _enum(qe.TokenizerType, schema.tokenizer),
            min_token_len=schema.min_token_len, max_token_len=schema.max_token_len,
            lowercase=schema.lowercase, ascii_folding=schema.ascii_folding,
            phrase_matching=schema.phrase_matching)
    if isinstance(schema, (str, qm.PayloadSchemaType)):
        return _enum(qe.PayloadSchemaType, schema)
    raise TypeError("payload index schema not supported by the vector engine: %s" % type(schema).__name__)


def _engine_config(vectors_config, sparse_vectors_config):
    if isinstance(vectors_config, qm.VectorParams):
        vectors_config = {"": vectors_config}
    dense = {name: qe.EdgeVectorParams(size=v.size, distance=_enum(qe.Distance, v.distance))
             for name, v in (vectors_config or {}).items()}
    sparse = {name: qe.EdgeSparseVectorParams(
        modifier=None if s.modifier is None else _enum(qe.Modifier, s.modifier))
        for name, s in (sparse_vectors_config or {}).items()}
    return qe.EdgeConfig(vectors=dense or None, sparse_vectors=sparse or None)


def _rank_key(point):
    # Best score first; equal scores by id (numbers before texts).
    pid = point.id
    return (-point.score, 0, pid, "") if isinstance(pid, int) else (-point.score, 1, 0, str(pid))


# --------------------------------------------------------------------------
# The client
# --------------------------------------------------------------------------

class _Collection:
    __slots__ = ("shard", "params")

    def __init__(self, shard, params):
        self.shard, self.params = shard, params


class EngineClient:
    """Collections as engine shards under ``path`` (None: a temporary
    directory of this process)."""

    def __init__(self, path=None):
        self._owner = os.getpid()
        self._temporary = path is None
        self.path = tempfile.mkdtemp(prefix="qor-vectors-") if path is None else os.path.abspath(str(path))
        os.makedirs(self.path, exist_ok=True)
        self._lock_fd = self._lock_directory(self.path)
        self._collections = {}
        self._guard = threading.RLock()
        self._closed = False

    @staticmethod
    def _lock_directory(path):
        fd = os.open(os.path.join(path, _LOCK), os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError as exc:
            os.close(fd)
            if exc.errno in (errno.EWOULDBLOCK, errno.EAGAIN, errno.EACCES):
                raise VectorEngineBusy(
                    "vector database directory %s is open in another process; the embedded engine "
                    "serves one process at a time (configure a server \"url\" to share a database)"
                    % path) from None
            raise
        return fd

    # -- collections ---------------------------------------------------------

    def _dir(self, name):
        if not isinstance(name, str) or not _NAME_RE.match(name):
            raise ValueError("collection name %r: use letters, digits, '_', '.' and '-' (not first)" % (name,))
        return os.path.join(self.path, name)

    def _open(self, name):
        """The open collection ``name``, opened on first use; None if absent."""
        with self._guard:
            if self._closed:
                raise RuntimeError("vector engine client is closed")
            found = self._collections.get(name)
            if found is None:
                directory = self._dir(name)
                params_file = os.path.join(directory, _PARAMS)
                if not os.path.isfile(params_file):
                    return None
                with open(params_file, encoding="utf-8") as fh:
                    params = qm.CollectionParams.model_validate_json(fh.read())
                shard = qe.EdgeShard.load(os.path.join(directory, _SHARD))
                found = self._collections[name] = _Collection(shard, params)
            return found

    def _get(self, name):
        found = self._open(name)
        if found is None:
            raise ValueError("Collection %s not found" % name)
        return found

    def collection_exists(self, collection_name):
        return self._open(collection_name) is not None

    def create_collection(self, collection_name, vectors_config=None, sparse_vectors_config=None, **_):
        """Create a collection (shard number, replication and the like have
        no meaning in one process and are ignored)."""
        with self._guard:
            if self._open(collection_name) is not None:
                raise ValueError("Collection %s already exists" % collection_name)
            directory = self._dir(collection_name)
            shutil.rmtree(directory, ignore_errors=True)  # a creation cut short
            os.makedirs(directory)
            shard = qe.EdgeShard.create(os.path.join(directory, _SHARD),
                                        _engine_config(vectors_config, sparse_vectors_config))
            params = qm.CollectionParams(vectors=vectors_config, sparse_vectors=sparse_vectors_config)
            staged = os.path.join(directory, _PARAMS + ".new")
            with open(staged, "w", encoding="utf-8") as fh:
                fh.write(params.model_dump_json())
            os.replace(staged, os.path.join(directory, _PARAMS))  # the collection exists from here
            self._collections[collection_name] = _Collection(shard, params)
        return True

    def delete_collection(self, collection_name, **_):
        with self._guard:
            found = self._open(collection_name)
            if found is None:
                return False
            del self._collections[collection_name]
            os.remove(os.path.join(self._dir(collection_name), _PARAMS))
            found.shard.close()
            shutil.rmtree(self._dir(collection_name), ignore_errors=True)
        return True

    def get_collection(self, collection_name):
        """Status, parameters (``config.params``, the client's model) and
        counts of a collection."""
        found = self._get(collection_name)
        info = found.shard.info()
        return types.SimpleNamespace(
            status=qm.CollectionStatus.GREEN, config=types.SimpleNamespace(params=found.params),
            points_count=info.points_count, indexed_vectors_count=info.indexed_vectors_count,
            segments_count=info.segments_count)

    def create_payload_index(self, collection_name, field_name, field_schema=None, **_):
        self._get(collection_name).shard.update(
            qe.UpdateOperation.create_field_index(field_name, _index_schema(field_schema)))

    def optimize(self, collection_name):
        """Build the indexes of what was written (blocks until done); True if
        anything changed."""
        return self._get(collection_name).shard.optimize()

    # -- points --------------------------------------------------------------

    def upsert(self, collection_name, points, **_):
        self._get(collection_name).shard.update(qe.UpdateOperation.upsert_points([_point(p) for p in points]))

    def delete(self, collection_name, points_selector, **_):
        shard = self._get(collection_name).shard
        if isinstance(points_selector, qm.FilterSelector):
            shard.update(qe.UpdateOperation.delete_points_by_filter(to_engine_filter(points_selector.filter)))
            return
        ids = points_selector.points if isinstance(points_selector, qm.PointIdsList) else points_selector
        shard.update(qe.UpdateOperation.delete_points(list(ids)))

    def count(self, collection_name, count_filter=None, exact=True, **_):
        n = self._get(collection_name).shard.count(qe.CountRequest(filter=to_engine_filter(count_filter),
                                                                   exact=bool(exact)))
        return types.SimpleNamespace(count=n)

    def retrieve(self, collection_name, ids, with_payload=True, with_vectors=False, **_):
        return self._get(collection_name).shard.retrieve(list(ids), with_payload, with_vectors)

    def query_points(self, collection_name, query=None, using=None, prefetch=None, query_filter=None,
                     score_threshold=None, limit=10, with_payload=True, with_vectors=False, **_):
        """Points of a query, best first (``.points``: id, score, payload).

        Fused scores tie often (rank r of one sub-search scores as rank r of
        another), and the engine returns ties in no fixed order.  Here a fused
        query asks for every candidate its sub-searches can give, orders ties
        by point id and keeps ``limit``: the same question gets the same
        answer every time.
        """
        if prefetch is not None and not isinstance(prefetch, list):
            prefetch = [prefetch]
        fused = prefetch and isinstance(query, (qm.FusionQuery, qm.RrfQuery))
        wanted = limit
        if fused:
            limit = max(limit, sum(10 if p.limit is None else p.limit for p in prefetch))
        request = qe.QueryRequest(
            limit=limit, query=_query(query, using),
            prefetches=[_prefetch(p) for p in prefetch] if prefetch else None,
            filter=to_engine_filter(query_filter), score_threshold=score_threshold,
            with_payload=with_payload, with_vector=with_vectors)
        points = self._get(collection_name).shard.query(request)
        if fused:
            points = sorted(points, key=_rank_key)[:wanted]
        return types.SimpleNamespace(points=points)

    # -- life ----------------------------------------------------------------

    def close(self):
        """Flush and close every shard, unlock the directory (and remove it
        when temporary).  Only in the process that opened it: a forked child
        leaves the parent's files alone."""
        with self._guard:
            if self._closed or os.getpid() != self._owner:
                return
            self._closed = True
            collections, self._collections = self._collections, {}
        for found in collections.values():
            found.shard.close()
        if self._temporary:
            shutil.rmtree(self.path, ignore_errors=True)
        os.close(self._lock_fd)

    def __repr__(self):
        return "<EngineClient %s%s>" % (self.path, " (temporary)" if self._temporary else "")
