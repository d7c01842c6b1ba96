"""The demonstration knowledge base and its indexing."""
import json
from pathlib import Path

from hostkit.vectorstore import QorVectorStore

CORPUS_PATH = Path(__file__).resolve().parent / "data" / "corpus.jsonl"


def load_corpus(path=None):
    """Passages of a JSON-lines file: [{"id", "text", "metadata"}, ...]."""
    path = Path(path) if path else CORPUS_PATH
    passages = []
    with open(path, encoding="utf-8") as fh:
        for lineno, line in enumerate(fh, 1):
            if not line.strip():
                continue
            item = json.loads(line)
            if not isinstance(item.get("id"), str) or not isinstance(item.get("text"), str):
                raise ValueError("%s:%d: a passage needs a text 'id' and 'text'" % (path, lineno))
            metadata = item.get("metadata") or {}
            if not isinstance(metadata, dict):
                raise ValueError("%s:%d: 'metadata' must be an object" % (path, lineno))
            passages.append({"id": item["id"], "text": item["text"], "metadata": metadata})
    return passages


def index_corpus(store=None, path=None, recreate=False, **store_kwargs):
    """Index the corpus into ``store`` (default: a QorVectorStore built from
    ``store_kwargs``, e.g. collection_name=..., embeddings=...).

    Idempotent: point ids derive from the passage ids, so indexing again
    replaces the same points.  Each passage's metadata gets its "doc_id".
    Returns the store.
    """
    if store is None:
        store = QorVectorStore(create=False, **store_kwargs)
    store.ensure_collection(recreate=recreate)
    passages = load_corpus(path)
    store.add_texts(
        [p["text"] for p in passages],
        metadatas=[dict(p["metadata"], doc_id=p["id"]) for p in passages],
        ids=[p["id"] for p in passages],
    )
    return store
