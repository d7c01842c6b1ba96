"""Index the demonstration corpus and answer a few questions with each query shape.

    python -m hostkit.demo ["question" ...]       (with service/ on sys.path)
"""
import asyncio
import sys

from hostkit.corpus import index_corpus
from oxa_vector_client.http import models
from utils.dbs import aquery, get_collection
from utils.tokenizer import custom_tokenizer

DEFAULT_QUESTIONS = ["How do I install the client on Windows?", "同步卡住不动怎么办", "发票在哪里下载"]


async def ask(store, question):
    dense = store.embeddings.embed_query(question)
    sparse = store.sparse_encoder.encode_query(question)
    keywords = custom_tokenizer(question, set())
    print("\n== %s\n   keywords: %s" % (question, keywords))
    f = models.Filter(must=[])
    shapes = {
        "dense": ([], dense, store.vector_name),
        "bm25": ([], sparse, "bm25"),
        "hybrid": ([
            {"query": sparse, "using": "bm25", "limit": 3},
            {"query": dense, "using": store.vector_name, "limit": 3},
        ], {"fusion": "rrf"}, None),
    }
    for name, (prefetch, query, using) in shapes.items():
        hits = await aquery(store.collection_name, prefetch, query, using, 3, None, f.dict())
        print("   %-6s %s" % (name, ", ".join("%s (%.3f)" % (d.metadata["doc_id"], s) for d, s in hits)))


def main(argv):
    store = index_corpus()
    params = get_collection(store.collection_name)["config"]["params"]
    print("collection %s: %d passages, sparse vectors %s"
          % (store.collection_name, store.count(), sorted(params["sparse_vectors"] or {})))
    for question in argv or DEFAULT_QUESTIONS:
        asyncio.run(ask(store, question))


if __name__ == "__main__":
    main(sys.argv[1:])
