"""A user's script, checked by pyright against the stubs (test_stubs.py).

Lines marked `# error: <rule>` are misuse that must be flagged with that
rule; every other line must check cleanly. Never run.
"""
from langchain_core.documents import Document
from langchain_core.messages import AIMessage, BaseMessage

from community.models.cogsift import get_input_len, get_text_token_len, qorCogsift
from community.retrievers.qor import ExternalRetriever, VectorStoreRetriever, get_rrf_dict

config = {"input": {"session_id": "s"}, "metadata": {"model_name": "m", "prompt": "p"}}
message = AIMessage(content="<think>why</think>answer")

parsed: BaseMessage = qorCogsift().invoke(message, config)
qorCogsift().invoke(message)  # error: reportCallIssue
tokens: int = get_text_token_len("hello") + get_input_len([{"role": "user", "content": "hi"}])
get_text_token_len(123)  # error: reportArgumentType
scores: dict[int, float] = get_rrf_dict(3)
get_rrf_dict("3")  # error: reportArgumentType
label: str = get_rrf_dict(3)  # error: reportAssignmentType


def search(retriever: VectorStoreRetriever, external: ExternalRetriever) -> list[Document]:
    docs = retriever.invoke({"query": "q"})
    return docs + external.invoke({"query": "q"})
