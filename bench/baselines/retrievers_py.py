"""The vector retriever written the plain Python way, line by line as the
retrievers module behaves: the baseline of the retrieval benchmarks."""
import asyncio
import copy
import json
from functools import lru_cache
from typing import ClassVar, Collection, List

from langchain_core.documents import Document
from langchain_core.vectorstores import VectorStoreRetriever as _BaseVectorStoreRetriever
from pydantic import ConfigDict, model_validator

# Replaced by the benchmark with the same service functions the module uses.
aquery = None
get_collection = None


def _function():
    pass


# The type of this module's functions: compiled by Cython they are not
# Python functions, and pydantic must be told to leave them alone.
FUNCTION_TYPE = type(_function)


@lru_cache
def get_rrf_dict(k):
    rrf_score_dict = {}
    total_sum = 0
    for i in range(k, 0, -1):
        total_sum += 1 / (i + 60)
        rrf_score_dict[i] = total_sum
    return rrf_score_dict


def _hybrid_prefetch(inputs, search_kwargs, _filter, vector_name):
    """The dense and the sparse sub-searches of a hybrid query, fused by rank."""
    keyword_retrieve_num = search_kwargs["k"] // 2
    vector_retrieve_num = search_kwargs["k"] - keyword_retrieve_num
    if isinstance(inputs["query"], list):
        prefetch = []
        for vector in inputs["embedding"]:
            prefetch.append({"query": vector, "using": vector_name, "limit": vector_retrieve_num,
                             "score_threshold": search_kwargs["score_threshold"], "filter": _filter})
        for sparse_vector in inputs["bm25"]:
            prefetch.append({"prefetch": {"query": inputs["embedding"][-1], "using": vector_name,
                                          "limit": 1000, "filter": _filter},
                             "query": sparse_vector, "using": "bm25", "limit": keyword_retrieve_num})
    else:
        prefetch = [
            {"prefetch": {"query": inputs.get("embedding"), "using": vector_name, "limit": 1000,
                          "filter": _filter},
             "query": inputs.get("bm25"), "using": "bm25", "limit": keyword_retrieve_num},
            {"query": inputs.get("embedding"), "using": vector_name, "limit": vector_retrieve_num,
             "score_threshold": search_kwargs["score_threshold"], "filter": _filter},
        ]
    return prefetch


class VectorStoreRetriever(_BaseVectorStoreRetriever):
    """Base Retriever class for VectorStore."""

    model_config = ConfigDict(ignored_types=(FUNCTION_TYPE,))

    post_process_kwargs: dict
    search_type: str = "qor_search"
    allowed_search_types: ClassVar[Collection[str]] = ("qor_search",)

    @model_validator(mode="before")
    @classmethod
    def validate_search_type(cls, values):
        if isinstance(values, dict):
            search_type = values.get("search_type", "qor_search")
            if search_type not in cls.allowed_search_types:
                raise ValueError(f"search_type of {search_type} not allowed.")
        return values

    def post_process(self, docs_and_similarities, weight=None):
        if len(docs_and_similarities) == 0:
            return []
        docs = []
        for i, (doc, score) in enumerate(docs_and_similarities):
            rrf_score_dict = get_rrf_dict(self.search_kwargs["k"])
            doc.metadata["score"] = rrf_score_dict[i + 1]
            doc.metadata["score"] = doc.metadata["score"] * (
                self.post_process_kwargs.get("weight", 1.0) if weight is None else weight)
            docs.append(doc)
        return docs

    def _get_relevant_documents(self, inputs) -> List[Document]:
        return asyncio.run(self._aget_relevant_documents(inputs))

    async def _aget_relevant_documents(self, inputs) -> List[Document]:
        if self.search_type != "qor_search":
            raise ValueError(f"search_type of {self.search_type} not allowed.")
        search_kwargs = copy.deepcopy(self.search_kwargs)
        _filter = json.loads(search_kwargs["filter"].json().replace("except_", "except"))
        collection = get_collection(self.vectorstore.collection_name)
        vector_name = self.vectorstore.vector_name
        if (inputs.get("embedding") and inputs.get("bm25")
                and collection["config"]["params"].get("sparse_vectors")
                and "bm25" in collection["config"]["params"]["sparse_vectors"]):
            prefetch = _hybrid_prefetch(inputs, search_kwargs, _filter, vector_name)
            docs = await aquery(self.vectorstore.collection_name, prefetch, {"fusion": "rrf"}, None,
                                search_kwargs["k"], None, None)
            return self.post_process(docs, 1.0)
        prefetch = []
        if inputs.get("embedding") and not inputs.get("bm25"):
            if isinstance(inputs["query"], list):
                for vector in inputs["embedding"]:
                    prefetch.append({"query": vector, "using": vector_name, "limit": search_kwargs["k"],
                                     "score_threshold": search_kwargs["score_threshold"], "filter": _filter})
                using, query = None, {"fusion": "rrf"}
            else:
                using, query = vector_name, inputs.get("embedding")
        elif inputs.get("bm25") and not inputs.get("embedding"):
            if isinstance(inputs["query"], list):
                for sparse_vector in inputs["bm25"]:
                    prefetch.append({"query": sparse_vector, "using": "bm25", "limit": search_kwargs["k"],
                                     "filter": _filter})
                using, query = None, {"fusion": "rrf"}
            else:
                using, query = "bm25", inputs["bm25"]
        else:
            embed = self.vectorstore.embeddings.embed_query
            if isinstance(inputs["query"], list):
                for question in inputs["query"]:
                    prefetch.append({"query": embed(question), "using": vector_name, "limit": search_kwargs["k"],
                                     "score_threshold": search_kwargs["score_threshold"], "filter": _filter})
                using, query = None, {"fusion": "rrf"}
            else:
                using, query = vector_name, embed(inputs["query"])
        docs = await aquery(self.vectorstore.collection_name, prefetch, query, using, search_kwargs["k"],
                            search_kwargs["score_threshold"], _filter)
        return self.post_process(docs)
