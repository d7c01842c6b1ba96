"""The external retriever's response handling written the plain Python way:
turning a decoded response body into scored documents, and stamping their
metadata. The baseline of the external-retriever benchmarks; only these two
steps are modelled (the HTTP exchange around them is not)."""
from langchain_core.documents import Document

from utils.logger import logger


class ExternalResponse:
    """The two response-handling methods of the external retriever."""

    def post_process(self, docs_and_similarities):
        if len(docs_and_similarities) == 0:
            return []
        docs = []
        for doc, score in docs_and_similarities:
            doc.metadata["score"] = score
            doc.metadata["source_type"] = "external"
            docs.append(doc)
        return docs

    def _parse_external_response(self, api_response):
        docs_and_similarities = []
        try:
            if api_response.get("code") != "200":
                logger.error(f"External API returned error: {api_response.get('message', 'Unknown error')}")
                return []
            data_list = api_response.get("data", [])
            for item in data_list:
                score = item.get("score", 0.0)
                chunk = item.get("chunk", {})
                content = chunk.get("content", "")
                metadata = chunk.get("metadata", {})
                doc_metadata = {
                    "source_type": "external",
                    "external_score": score,
                    "chunk_id": chunk.get("id", ""),
                    "data_type": "external_src",
                    "title": chunk.get("document", {}).get("name"),
                    **metadata,
                }
                doc = Document(page_content=content, metadata=doc_metadata)
                docs_and_similarities.append((doc, score))
        except Exception as e:
            logger.error(f"Error parsing external API response: {e}")
        return docs_and_similarities
