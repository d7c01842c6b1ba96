"""VectorStoreRecommender: the recommend query, its refusals and its scoring."""
import asyncio
import inspect
import json
import logging

import pytest
from langchain_core.retrievers import BaseRetriever

from community.retrievers import qor

from .conftest import StubStore, make_filter

POS, POS2, NEG = [0.1, 0.2], [0.3, 0.4], [0.9, 0.9]
FILTER = json.loads(make_filter().json())


def rank(r, k):
    total = 0
    for j in range(k, r - 1, -1):
        total = total + 1 / (j + 60)
    return total


@pytest.fixture
def recommender():
    return qor.VectorStoreRecommender(vectorstore=StubStore(), search_kwargs={"filter": make_filter(), "k": 5})


def recommend(positive, negative):
    return {"recommend": {"positive": positive, "negative": negative, "strategy": "best_score"}}


@pytest.mark.parametrize(
    "inputs, query",
    [
        pytest.param({"query": "q", "embedding": POS, "negative_embedding": NEG}, recommend([POS], NEG), id="single"),
        pytest.param({"embedding": POS, "negative_embedding": [NEG]}, recommend([POS], [NEG]), id="no-query-key"),
        pytest.param({"query": ["a", "b"], "embedding": [POS, POS2], "negative_embedding": [NEG]},
                     recommend([POS, POS2], [NEG]), id="multi-question"),
        pytest.param({"query": ("a", "b"), "embedding": POS, "negative_embedding": NEG},
                     recommend([POS], NEG), id="tuple-is-one-question"),
    ],
)
def test_one_recommend_query(recommender, store, inputs, query):
    docs = recommender.invoke(inputs)
    assert store.only_call == ("kb", [], query, "dense", 5, None, FILTER)
    assert store.collections == []  # no collection lookup
    assert [d.metadata["score"] for d in docs] == [rank(r, 5) for r in (1, 2, 3)]  # no weight


@pytest.mark.parametrize(
    "inputs",
    [{"query": "q", "embedding": POS}, {"query": "q", "negative_embedding": NEG},
     {"query": "q", "embedding": [], "negative_embedding": NEG}, {"query": "q", "embedding": POS, "negative_embedding": None}],
)
def test_missing_example_is_logged_not_raised(recommender, store, inputs, caplog):
    with caplog.at_level(logging.INFO, logger="qor.service"):
        assert recommender.invoke(inputs) == []
    assert [r.getMessage() for r in caplog.records] == ["embedding is required for recommend search"]
    assert caplog.records[0].levelno == logging.ERROR
    assert store.calls == []


def test_missing_filter_fails_even_when_the_input_would_be_refused(store):
    r = qor.VectorStoreRecommender(vectorstore=StubStore(), search_kwargs={"k": 5})
    with pytest.raises(KeyError, match="filter"):
        r.invoke({"query": "q"})


def test_five_hits_score_the_whole_table(recommender, store):
    store.hits = 5
    docs = asyncio.run(recommender.ainvoke({"query": "q", "embedding": POS, "negative_embedding": NEG}))
    assert [d.metadata["score"] for d in docs] == list(qor.get_rrf_dict(5).values())[::-1]
    assert round(docs[0].metadata["score"], 6) == 0.079405 and round(docs[-1].metadata["score"], 6) == 0.015385
    assert recommender.search_kwargs["k"] == 5 and "score" not in str(recommender.search_kwargs)


def test_class_shape_and_batch(recommender, store):
    R = qor.VectorStoreRecommender
    assert issubclass(R, BaseRetriever) and R.__mro__[1] is BaseRetriever
    assert R.__doc__ is None
    assert [f for f in R.model_fields if f not in BaseRetriever.model_fields] == ["vectorstore", "search_kwargs"]
    assert all(R.model_fields[f].is_required() for f in ("vectorstore", "search_kwargs"))
    assert not hasattr(R, "search_type") and not hasattr(R, "post_process_kwargs")
    assert list(inspect.signature(R._aget_relevant_documents).parameters) == ["self", "inputs"]
    inputs = {"query": "q", "embedding": POS, "negative_embedding": NEG}
    assert [len(d) for d in recommender.batch([inputs, {"query": "q"}])] == [3, 0]
