"""VectorStoreRetriever.add_keywords_to_filter."""
import copy
import logging

import pytest

from community.retrievers import qor
from oxa_vector_client.http import models

from .conftest import StubStore


class Tokenizer:
    def __init__(self, monkeypatch, result):
        self.result = result
        self.calls = []
        monkeypatch.setattr(qor, "custom_tokenizer", self)

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.result


def retriever(collection="kb"):
    return qor.VectorStoreRetriever(vectorstore=StubStore(collection_name=collection), post_process_kwargs={})


EXISTING = models.FieldCondition(key="metadata.lang", match=models.MatchValue(value="en"))


def search_kwargs():
    return {"filter": models.Filter(must=[EXISTING]), "k": 3}


def condition(text):
    return {"key": "page_content", "match": {"text": text}}


def messages(caplog):
    return [r.getMessage() for r in caplog.records if r.name == "qor.service"]


def test_keywords_are_appended_after_existing_conditions(monkeypatch, caplog):
    tok = Tokenizer(monkeypatch, ["同步", "sync"])
    inputs = {"query": "同步 sync", "user_dict": "同步,Harbor Sync"}
    kwargs = search_kwargs()
    before = (copy.deepcopy(inputs), kwargs["filter"].model_copy(deep=True))
    with caplog.at_level(logging.INFO, logger="qor.service"):
        result = retriever().add_keywords_to_filter(inputs, kwargs)
    existing = EXISTING.dict()
    assert result["must"] == [existing, condition("同步"), condition("sync")]
    assert list(result["must"][1]) == ["key", "match"]
    assert tok.calls == [(("同步 sync", {"同步", "Harbor Sync"}), {})]
    assert (inputs, kwargs["filter"]) == before  # neither argument changed
    assert messages(caplog) == [
        "keywords: ['同步', 'sync'] question: 同步 sync " + str(inputs) + " filter: " + str(result)]


@pytest.mark.parametrize(
    "keywords, added",
    [(None, []), ([[-1]], []), ([], []), ([-1], [condition(-1)]), (("a", "a"), [condition("a"), condition("a")])],
)
def test_tokenizer_results(monkeypatch, caplog, keywords, added):
    Tokenizer(monkeypatch, keywords)
    with caplog.at_level(logging.INFO, logger="qor.service"):
        result = retriever().add_keywords_to_filter({"query": "q"}, search_kwargs())
    assert result["must"] == [EXISTING.dict()] + added
    assert messages(caplog) and messages(caplog)[0].startswith("keywords: " + str(keywords) + " question: q ")


@pytest.mark.parametrize(
    "user_dict, expected",
    [(None, {""}), ("", {""}), ("a,,b", {"a", "", "b"}), (" a , b", {" a ", " b"}), ("a,a", {"a"})],
)
def test_user_dictionary_pieces_are_kept_as_split(monkeypatch, user_dict, expected):
    tok = Tokenizer(monkeypatch, [])
    inputs = {} if user_dict is None else {"user_dict": user_dict}
    retriever().add_keywords_to_filter(inputs, search_kwargs())
    assert tok.calls == [(("", expected), {})]


def test_disabled_collection_reads_and_logs_nothing(monkeypatch, caplog):
    tok = Tokenizer(monkeypatch, ["x"])
    with caplog.at_level(logging.INFO, logger="qor.service"):
        result = retriever("default_metric_lib").add_keywords_to_filter({"query": "q"}, {})
    assert result == {} and tok.calls == [] and messages(caplog) == []


def test_each_call_returns_an_independent_mapping(monkeypatch):
    Tokenizer(monkeypatch, ["k"])
    kwargs = search_kwargs()
    first = retriever().add_keywords_to_filter({"query": "q"}, kwargs)
    second = retriever().add_keywords_to_filter({"query": "q"}, kwargs)
    assert first == second and first["must"] is not second["must"]
    assert len(second["must"]) == 2


def test_failures_propagate_before_logging(monkeypatch, caplog):
    Tokenizer(monkeypatch, ["k"])
    with caplog.at_level(logging.INFO, logger="qor.service"):
        with pytest.raises(AttributeError):
            retriever().add_keywords_to_filter({"query": "q"}, {})  # no filter
        with pytest.raises(AttributeError):
            retriever().add_keywords_to_filter({"query": "q"}, {"filter": models.Filter()})  # "must" is null
    assert messages(caplog) == []
    error = RuntimeError("tokenizer down")

    def broken(*args):
        raise error

    monkeypatch.setattr(qor, "custom_tokenizer", broken)
    with pytest.raises(RuntimeError) as info:
        retriever().add_keywords_to_filter({"query": "q"}, search_kwargs())
    assert info.value is error
