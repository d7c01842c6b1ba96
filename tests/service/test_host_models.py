import json
import warnings

import pytest
from qdrant_client.http import models as client_models

from oxa_vector_client.http import models


def sample_filter():
    return models.Filter(
        must=[
            models.FieldCondition(key="page_content", match=models.MatchText(text="invoice")),
            models.FieldCondition(key="metadata.lang", match=models.MatchExcept(**{"except": ["zh"]})),
            models.FieldCondition(key="metadata.views", range=models.Range(gte=1, lt=10)),
        ],
        should=[models.FieldCondition(key="metadata.category", match=models.MatchAny(any=["billing"]))],
        must_not=[models.FieldCondition(key="metadata.title", match=models.MatchValue(value="x"))],
    )


def test_json_and_dict_use_field_names_include_nulls_and_do_not_warn():
    f = sample_filter()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        text = f.json()
        plain = f.dict()
    assert json.loads(text) == plain
    assert '"except_": ["zh"]' in text and '"except"' not in text.replace('"except_"', "")
    cond = plain["must"][0]
    assert cond["match"] == {"text": "invoice"}
    assert "range" in cond and cond["range"] is None
    assert plain["must"][2]["range"] == {"lt": 10.0, "gt": None, "gte": 1.0, "lte": None}


def test_json_round_trips_into_the_client_filter_after_alias_fix():
    f = sample_filter()
    mapping = json.loads(f.json().replace("except_", "except"))
    back = client_models.Filter.model_validate(mapping)
    assert back.must[1].match.except_ == ["zh"]
    assert back.model_dump() == f.model_dump()


def test_dict_shares_no_containers_with_the_model():
    f = sample_filter()
    first = f.dict()
    first["must"].append({"key": "page_content", "match": {"text": "extra"}})
    first["should"][0]["match"]["any"].append("api")
    second = f.dict()
    assert len(second["must"]) == 3 and len(f.must) == 3
    assert second["should"][0]["match"]["any"] == ["billing"]
    assert f.should[0].match.any == ["billing"]


@pytest.mark.parametrize("match", [
    models.MatchText(text="t"), models.MatchValue(value=3), models.MatchAny(any=[1, 2]),
    models.MatchExcept(except_=["a"]), models.MatchTextAny(text_any="a b"), models.MatchPhrase(phrase="a b"),
])
def test_subclasses_nest_in_client_models_and_client_models_nest_in_subclasses(match):
    cond = models.FieldCondition(key="k", match=match)
    client_filter = client_models.Filter(must=[cond])  # subclass accepted by the client model
    ours = models.Filter(must=[client_models.FieldCondition(key="k", match=match)])
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert json.loads(ours.json()) == client_filter.model_dump(mode="json")
        assert models.Filter(must=[cond]).dict() == client_filter.model_dump()


def test_module_reexports_the_client_models():
    assert models.SparseVector is client_models.SparseVector
    assert models.Distance.COSINE == client_models.Distance.COSINE
    assert issubclass(models.Filter, client_models.Filter)
