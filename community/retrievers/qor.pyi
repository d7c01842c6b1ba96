# Types of the compiled module community.retrievers.qor. The annotations in
# inspect.signature of its functions use the same text.
from typing import Any, ClassVar, Collection, Dict, List, Mapping, Optional, Tuple

from langchain_core.documents import Document
from langchain_core.retrievers import BaseRetriever
from langchain_core.runnables import RunnableConfig
from langchain_core.vectorstores import VectorStoreRetriever as _LangChainVectorStoreRetriever
from pydantic import model_validator

__all__ = ["VectorStoreRetriever", "VectorStoreRecommender", "ExternalRetriever", "get_rrf_dict"]

def get_rrf_dict(k: int) -> Dict[int, float]: ...

class VectorStoreRetriever(_LangChainVectorStoreRetriever):
    post_process_kwargs: Dict[str, Any]
    search_type: str = "qor_search"
    allowed_search_types: ClassVar[Collection[str]]
    @model_validator(mode="before")
    @classmethod
    def validate_search_type(cls, values: Any) -> Any: ...
    def post_process(self, docs_and_similarities: List[Tuple[Document, float]]) -> List[Document]: ...
    def add_keywords_to_filter(self, inputs: Mapping[str, Any], search_kwargs: Mapping[str, Any]) -> Dict[str, Any]: ...
    # The retrievers take the retrieval input mapping, not a query string.
    def invoke(  # type: ignore[override]
        self, input: Mapping[str, Any], config: Optional[RunnableConfig] = None, **kwargs: Any
    ) -> List[Document]: ...
    async def ainvoke(  # type: ignore[override]
        self, input: Mapping[str, Any], config: Optional[RunnableConfig] = None, **kwargs: Any
    ) -> List[Document]: ...
    def _get_relevant_documents(self, inputs: Mapping[str, Any]) -> List[Document]: ...  # type: ignore[override]
    async def _aget_relevant_documents(self, inputs: Mapping[str, Any]) -> List[Document]: ...  # type: ignore[override]

class VectorStoreRecommender(BaseRetriever):
    vectorstore: Any
    search_kwargs: Dict[str, Any]
    def post_process(self, docs_and_similarities: List[Tuple[Document, float]]) -> List[Document]: ...
    def invoke(  # type: ignore[override]
        self, input: Mapping[str, Any], config: Optional[RunnableConfig] = None, **kwargs: Any
    ) -> List[Document]: ...
    async def ainvoke(  # type: ignore[override]
        self, input: Mapping[str, Any], config: Optional[RunnableConfig] = None, **kwargs: Any
    ) -> List[Document]: ...
    def _get_relevant_documents(self, inputs: Mapping[str, Any]) -> List[Document]: ...  # type: ignore[override]
    async def _aget_relevant_documents(self, inputs: Mapping[str, Any]) -> List[Document]: ...  # type: ignore[override]

class ExternalRetriever(BaseRetriever):
    search_kwargs: Dict[str, Any]
    def __init__(self, **kwargs: Any) -> None: ...
    def post_process(self, docs_and_similarities: List[Tuple[Document, float]]) -> List[Document]: ...
    def invoke(  # type: ignore[override]
        self, input: Mapping[str, Any], config: Optional[RunnableConfig] = None, **kwargs: Any
    ) -> List[Document]: ...
    async def ainvoke(  # type: ignore[override]
        self, input: Mapping[str, Any], config: Optional[RunnableConfig] = None, **kwargs: Any
    ) -> List[Document]: ...
    def _get_relevant_documents(self, inputs: Mapping[str, Any]) -> List[Document]: ...  # type: ignore[override]
    async def _aget_relevant_documents(self, inputs: Mapping[str, Any]) -> List[Document]: ...  # type: ignore[override]
    async def _call_external_api(
        self, inputs: Mapping[str, Any], search_kwargs: Mapping[str, Any]
    ) -> List[Tuple[Document, float]]: ...
    def _parse_external_response(self, api_response: Any) -> List[Tuple[Document, float]]: ...
