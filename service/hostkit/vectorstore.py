"""LangChain vector store over one collection of the service's vector database.

Each point holds a dense vector (named ``vector_name``), a "bm25" sparse
vector and the payload {"page_content": text, "metadata": mapping}, the layout
the retrievers query through ``utils.dbs.aquery``.
"""
import uuid
from typing import Any, Iterable, List, Optional

from langchain_core.documents import Document
from langchain_core.embeddings import Embeddings
from langchain_core.vectorstores import VectorStore
from qdrant_client.http import models as qm

from hostkit.bm25 import Bm25Encoder
from hostkit.embeddings import HashingEmbeddings
from utils import dbs

SPARSE_VECTOR_NAME = "bm25"
_ID_NAMESPACE = uuid.UUID("6f1c1d2e-6a55-4c39-9f0e-2b7d8f3f4a10")


def point_id(value):
    """A database point id for any id text: UUIDs and unsigned ints are kept,
    other texts map to a stable UUID."""
    if isinstance(value, int) and not isinstance(value, bool) and value >= 0:
        return value
    text = str(value)
    try:
        return str(uuid.UUID(text))
    except ValueError:
        return str(uuid.uuid5(_ID_NAMESPACE, text))


class QorVectorStore(VectorStore):
    """Vector store of the collection ``collection_name``.

    ``embeddings`` may be any LangChain embeddings (default: the built-in
    hashing embedding); the dense vector size is taken from it.
    """

    def __init__(self, collection_name: Optional[str] = None, embeddings: Optional[Embeddings] = None,
                 vector_name: Optional[str] = None, sparse_encoder: Optional[Bm25Encoder] = None,
                 create: bool = True):
        conf = dbs.vector_db_config()
        self.collection_name = collection_name or conf.get("collection") or "qor_kb"
        self.vector_name = vector_name or conf.get("vector_name") or "dense"
        self._embeddings = embeddings if embeddings is not None else HashingEmbeddings()
        self.sparse_encoder = sparse_encoder or Bm25Encoder()
        self._shard_number = conf.get("shard_number")
        self._replication_factor = conf.get("replication_factor")
        if create:
            self.ensure_collection()

    @property
    def embeddings(self) -> Embeddings:
        return self._embeddings

    # -- collection ----------------------------------------------------------

    def ensure_collection(self, recreate: bool = False) -> None:
        """Create the collection when missing (or drop and create it).

        An existing collection must have a dense vector of this store's name
        and size and the "bm25" sparse vector; otherwise ValueError.
        """
        size = len(self._embeddings.embed_query("dimension probe"))
        with dbs.client_session() as client:
            exists = client.collection_exists(self.collection_name)
            if exists and recreate:
                client.delete_collection(self.collection_name)
                exists = False
            if exists:
                self._check_layout(client.get_collection(self.collection_name), size)
                return
            client.create_collection(
                self.collection_name,
                vectors_config={self.vector_name: qm.VectorParams(size=size, distance=qm.Distance.COSINE)},
                sparse_vectors_config={SPARSE_VECTOR_NAME: qm.SparseVectorParams(modifier=qm.Modifier.IDF)},
                shard_number=self._shard_number,
                replication_factor=self._replication_factor,
            )
            if dbs.client_kind() != "local":
                # Full-text index so that MatchText conditions on the passage
                # text match words; the multilingual tokenizer segments
                # Chinese.  (The local mode has no indexes.)
                client.create_payload_index(
                    self.collection_name, "page_content",
                    field_schema=qm.TextIndexParams(
                        type=qm.TextIndexType.TEXT, tokenizer=qm.TokenizerType.MULTILINGUAL,
                        lowercase=True,
                    ),
                    wait=True,
                )

    def _check_layout(self, info, size):
        params = info.config.params
        vectors = params.vectors if isinstance(params.vectors, dict) else {}
        dense = vectors.get(self.vector_name)
        if dense is None or dense.size != size:
            raise ValueError(
                "collection %r has no dense vector %r of size %d; recreate it for these embeddings"
                % (self.collection_name, self.vector_name, size)
            )
        if SPARSE_VECTOR_NAME not in (params.sparse_vectors or {}):
            raise ValueError("collection %r has no sparse vector %r"
                             % (self.collection_name, SPARSE_VECTOR_NAME))

    # -- writing -------------------------------------------------------------

    def add_texts(self, texts: Iterable[str], metadatas: Optional[List[dict]] = None,
                  ids: Optional[List[Any]] = None, batch_size: int = 64, **kwargs: Any) -> List[str]:
        """Embed and store texts; existing points with the same ids are replaced.

        Returns the point ids.  Without ``ids`` random ones are made.  Then the
        indexes are brought up to date (``optimize()``) unless ``optimize`` is
        false: a bulk load in many calls passes False and optimizes once.
        """
        texts = list(texts)
        if metadatas is not None and len(metadatas) != len(texts):
            raise ValueError("metadatas and texts differ in length")
        if ids is not None and len(ids) != len(texts):
            raise ValueError("ids and texts differ in length")
        ids = [point_id(i) for i in ids] if ids is not None else [str(uuid.uuid4()) for _ in texts]
        for start in range(0, len(texts), batch_size):
            chunk = texts[start:start + batch_size]
            dense = self._embeddings.embed_documents(chunk)
            points = []
            for offset, (text, vector) in enumerate(zip(chunk, dense)):
                n = start + offset
                sparse = self.sparse_encoder.encode_document(text)
                points.append(qm.PointStruct(
                    id=ids[n],
                    vector={
                        self.vector_name: [float(x) for x in vector],
                        SPARSE_VECTOR_NAME: qm.SparseVector(**sparse),
                    },
                    payload={"page_content": text, "metadata": dict(metadatas[n]) if metadatas else {}},
                ))
            with dbs.client_session() as client:
                client.upsert(self.collection_name, points=points, wait=True)
        if kwargs.get("optimize", True):
            self.optimize()
        return [str(i) for i in ids]

    def optimize(self) -> None:
        """Build the indexes of what was written, as a server does in the
        background (on the in-process engine only; blocks until done)."""
        if dbs.client_kind() == "engine":
            with dbs.client_session(read_only=True) as client:
                client.optimize(self.collection_name)

    def delete(self, ids: Optional[List[Any]] = None, **kwargs: Any) -> Optional[bool]:
        if not ids:
            return False
        with dbs.client_session() as client:
            client.delete(self.collection_name,
                          points_selector=qm.PointIdsList(points=[point_id(i) for i in ids]), wait=True)
        return True

    def count(self) -> int:
        with dbs.client_session(read_only=True) as client:
            return client.count(self.collection_name, exact=True).count

    # -- searching -----------------------------------------------------------

    def similarity_search_with_score(self, query: str, k: int = 4, filter: Any = None,
                                     score_threshold: Optional[float] = None,
                                     **kwargs: Any) -> List[tuple]:
        """Dense search for ``query``; ``filter`` a Filter model or mapping."""
        request = dbs.build_query_request(
            None, self._embeddings.embed_query(query), self.vector_name, k, score_threshold, filter
        )
        if request is None:
            return []
        with dbs.client_session(read_only=True) as client:
            points = client.query_points(self.collection_name, **request).points
        return [(dbs.point_to_document(p), p.score) for p in points]

    def similarity_search(self, query: str, k: int = 4, **kwargs: Any) -> List[Document]:
        return [doc for doc, _ in self.similarity_search_with_score(query, k=k, **kwargs)]

    def _select_relevance_score_fn(self):
        # Cosine similarity in [-1, 1] -> relevance in [0, 1].
        return lambda score: (score + 1.0) / 2.0

    @classmethod
    def from_texts(cls, texts: List[str], embedding: Embeddings, metadatas: Optional[List[dict]] = None,
                   *, ids: Optional[List[Any]] = None, collection_name: Optional[str] = None,
                   vector_name: Optional[str] = None, **kwargs: Any) -> "QorVectorStore":
        store = cls(collection_name=collection_name, embeddings=embedding, vector_name=vector_name, **kwargs)
        store.add_texts(texts, metadatas=metadatas, ids=ids)
        return store
