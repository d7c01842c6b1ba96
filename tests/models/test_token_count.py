"""Token counting: every input shape by exact type, JSON text of content
parts, the unknown-type line, and special-token text counted as text."""
import collections
import json

import pytest
import tiktoken
from langchain_core.messages import AIMessage, AIMessageChunk, HumanMessage, SystemMessage
from langchain_core.prompt_values import ChatPromptValue, StringPromptValue

from community.models import cogsift

ENC = tiktoken.get_encoding("cl100k_base")


def n(text):
    return len(ENC.encode(text, disallowed_special=()))


def test_tokenizer_is_the_shared_cl100k_encoding():
    assert isinstance(cogsift.tokenizer, tiktoken.Encoding) and cogsift.tokenizer.name == "cl100k_base"


@pytest.mark.parametrize("text", ["", "hello world", "你好，世界", "x" * 1000, "a\ud800b",
                                  "quote <|endoftext|> and <|fim_prefix|>"])
def test_text_count(text):
    # Special-token markers are counted as the characters they are.
    assert cogsift.get_text_token_len(text) == cogsift.get_text_token_len(text=text) == n(text)


PARTS = [{"type": "image_url", "image_url": {"url": "http://x/y.png"}}, {"type": "text", "text": "describe"}]


@pytest.mark.parametrize("inputs, expected", [
    pytest.param("", 0, id="empty-text"),
    pytest.param([], 0, id="empty-list"),
    pytest.param("plain question", n("plain question"), id="text"),
    pytest.param([{"role": "user", "content": "hi there"}, HumanMessage("how are you"), AIMessage("fine <|endoftext|>")],
                 n("hi there") + n("how are you") + n("fine <|endoftext|>"), id="mapping-and-messages"),
    pytest.param(ChatPromptValue(messages=[SystemMessage("be brief"), HumanMessage("q")]), n("be brief") + n("q"),
                 id="chat-prompt-value"),
    pytest.param([HumanMessage(content=PARTS)], n('{"type": "text", "text": "describe"}'), id="image-part-skipped"),
    pytest.param([HumanMessage(content=["see image_url here", "plain", {"input_audio": {}}])], n('"plain"'),
                 id="text-items"),
    pytest.param([HumanMessage(content=[{"type": "text", "text": "你好"}])],
                 n('{"type": "text", "text": "\\u4f60\\u597d"}'), id="non-ascii-part-escaped"),
    pytest.param([AIMessageChunk(content="你好")], n("你好"), id="non-ascii-plain-content"),
    pytest.param(StringPromptValue(text="string prompt"), n("string prompt"), id="text-attribute"),
])
def test_input_shapes(inputs, expected, capsys):
    assert cogsift.get_input_len(inputs) == expected
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("element, type_text", [
    (5, "<class 'int'>"),
    (collections.OrderedDict(content="ignored"), "<class 'collections.OrderedDict'>"),
])
def test_unknown_elements_print_a_line_and_count_nothing(element, type_text, capsys):
    assert cogsift.get_input_len([element, {"content": "ab"}]) == n("ab")
    assert capsys.readouterr().out == "unknown message type:" + type_text + "\n"


class Items(list):
    pass


@pytest.mark.parametrize("call, error", [
    (lambda: cogsift.get_input_len(Items(["a"])), AttributeError),  # a list subclass is not a list here
    (lambda: cogsift.get_input_len(("a",)), AttributeError),
    (lambda: cogsift.get_input_len({"content": "a"}), AttributeError),
    (lambda: cogsift.get_input_len([{"role": "user"}]), KeyError),
    (lambda: cogsift.get_input_len([{"content": ["a"]}]), TypeError),
    (lambda: cogsift.get_text_token_len(12), TypeError),
    (lambda: cogsift.get_input_len(), TypeError),
])
def test_errors_propagate(call, error):
    with pytest.raises(error):
        call()


def test_content_parts_use_the_hosts_json_text(monkeypatch):
    seen = []
    monkeypatch.setattr(json, "dumps", lambda item: seen.append(item) or "x")
    assert cogsift.get_input_len([HumanMessage(content=PARTS)]) == n("x")
    assert seen == [PARTS[1]]
