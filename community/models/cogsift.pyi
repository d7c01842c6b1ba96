# Types of the compiled module community.models.cogsift. The annotations in
# inspect.signature of its functions use the same text.
from typing import Any, AsyncIterable, AsyncIterator, Dict, Iterable, Iterator, List, Literal, Mapping, Union

import tiktoken
from langchain_core.messages import BaseMessage
from langchain_core.output_parsers import StrOutputParser
from langchain_core.outputs import Generation
from langchain_core.prompt_values import PromptValue

__all__ = ["qorCogsift", "get_input_len", "get_text_token_len", "atransform"]

tokenizer: tiktoken.Encoding

def get_input_len(inputs: Union[str, PromptValue, List[Union[BaseMessage, Dict[str, Any]]]]) -> int: ...
def get_text_token_len(text: str) -> int: ...
def atransform(chunks: Iterable[BaseMessage]) -> Iterator[BaseMessage]: ...
def demo() -> None: ...

# The parser hands back the message objects it was given, changed in place,
# and needs the run configuration (session, model, prompt) on every call.
class qorCogsift(StrOutputParser):
    starts_in_reasoning: bool = False
    hold_back: Literal["candidate", "tag_prefix"] = "candidate"
    usage_source: Literal["count", "provider"] = "count"
    hand_on: Literal["received", "copy"] = "received"
    @classmethod
    def get_lc_namespace(cls) -> List[str]: ...
    @property
    def InputType(self) -> Any: ...
    @property
    def OutputType(self) -> Any: ...
    def parse_result(self, result: List[Generation], *, partial: bool = False) -> BaseMessage: ...  # type: ignore[override]
    def parse(self, text: str) -> BaseMessage: ...  # type: ignore[override]
    def invoke(self, input: BaseMessage, config: Mapping[str, Any]) -> BaseMessage: ...  # type: ignore[override]
    async def ainvoke(self, input: BaseMessage, config: Mapping[str, Any]) -> BaseMessage: ...  # type: ignore[override]
    def transform(  # type: ignore[override]
        self, chunks: Iterable[BaseMessage], config: Mapping[str, Any]
    ) -> Iterator[BaseMessage]: ...
    def atransform(  # type: ignore[override]
        self, chunks: AsyncIterable[BaseMessage], config: Mapping[str, Any]
    ) -> AsyncIterator[BaseMessage]: ...
