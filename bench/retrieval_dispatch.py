"""Cost of one vector retrieval with a store that answers at once.

The service functions are replaced by ones that return a fixed answer, so
what is measured is the retriever's own work: the search-option copy, the
filter mapping, the dispatch, the single store call and the scoring. The
baseline is the same retriever written the plain Python way
(bench/baselines/retrievers_py.py), run in the same process.

    .venv/bin/python bench/retrieval_dispatch.py
"""
import asyncio

import common  # noqa: F401  (sets up sys.path)
from common import fmt_stat, measure, print_table
from langchain_core.documents import Document

from baselines import retrievers_py
from community.retrievers import qor
from oxa_vector_client.http import models

DOCS = [(Document(page_content="passage %d" % i, metadata={"doc_id": i}), 1.0 - i / 10) for i in range(5)]
COLLECTION = {"config": {"params": {"sparse_vectors": {"bm25": {}}}}}


async def aquery(collection_name, prefetch, query, using, limit, score_threshold, filter):
    return DOCS


def get_collection(name):
    return COLLECTION


def build(cls, store):
    return cls(vectorstore=store,
               search_kwargs={"filter": models.Filter(must=[models.FieldCondition(
                   key="metadata.lang", match=models.MatchValue(value="en"))]), "k": 5, "score_threshold": 0.2},
               post_process_kwargs={"weight": 0.5})


def main():
    from hostkit.vectorstore import QorVectorStore

    for module in (qor, retrievers_py):
        module.aquery, module.get_collection = aquery, get_collection
    store = QorVectorStore(create=False)
    retrievers = {"C++ module": build(qor.VectorStoreRetriever, store),
                  "Python": build(retrievers_py.VectorStoreRetriever, store)}
    inputs = {
        "dense": {"query": "q", "embedding": [0.1] * 8},
        "hybrid": {"query": "q", "embedding": [0.1] * 8, "bm25": {"indices": [1], "values": [1.0]}},
    }
    rows = []
    for shape, inp in inputs.items():
        stats = {}
        for name, r in retrievers.items():
            loop = asyncio.new_event_loop()
            coro_fn = r._aget_relevant_documents

            async def batch(n=200):
                for _ in range(n):
                    await coro_fn(inp)

            stats[name, "await"] = measure(lambda: loop.run_until_complete(batch()), 5)
            stats[name, "await"] = tuple(v / 200 for v in stats[name, "await"])
            loop.close()
            stats[name, "invoke"] = measure(lambda: r.invoke(inp), 200)
        for entry in ("await", "invoke"):
            cpp, py = stats["C++ module", entry], stats["Python", entry]
            label = {"await": "await _aget_relevant_documents (running loop)",
                     "invoke": "invoke (LangChain, new event loop per call)"}[entry]
            rows.append([shape, label, fmt_stat(cpp), fmt_stat(py), "%.2fx" % (py[0] / cpp[0])])
    print_table("One retrieval, store answering at once (median of 7 runs, min..max)",
                ["shape", "entry", "C++ module", "Python", "Python / C++"], rows)


if __name__ == "__main__":
    main()
