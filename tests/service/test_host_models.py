import json
import warnings

import pytest
from qdrant_client.http import models as client_models

from oxa_vector_client.http import models


def test_json_dict_field_names_nulls_round_trip_and_no_sharing():
    f = models.Filter(
        must=[models.FieldCondition(key="page_content", match=models.MatchText(text="invoice")),
              models.FieldCondition(key="metadata.lang", match=models.MatchExcept(**{"except": ["zh"]})),
              models.FieldCondition(key="metadata.views", range=models.Range(gte=1, lt=10))],
        should=[models.FieldCondition(key="metadata.category", match=models.MatchAny(any=["billing"]))],
    )
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        text, plain = f.json(), f.dict()
    assert json.loads(text) == plain
    assert '"except_": ["zh"]' in text and '"except":' not in text
    assert plain["must"][0] == {"key": "page_content", "match": {"text": "invoice"}, "range": None,
                                "geo_bounding_box": None, "geo_radius": None, "geo_polygon": None,
                                "values_count": None, "is_empty": None, "is_null": None}
    assert plain["must_not"] is None
    back = client_models.Filter.model_validate(json.loads(text.replace("except_", "except")))
    assert back.model_dump() == f.model_dump()

    plain["must"].append({"key": "page_content", "match": {"text": "extra"}})
    plain["should"][0]["match"]["any"].append("api")
    again = f.dict()
    assert len(again["must"]) == len(f.must) == 3
    assert again["should"][0]["match"]["any"] == f.should[0].match.any == ["billing"]


@pytest.mark.parametrize("match", [
    models.MatchText(text="t"), models.MatchValue(value=3), models.MatchAny(any=[1, 2]),
    models.MatchExcept(except_=["a"]), models.MatchTextAny(text_any="a b"), models.MatchPhrase(phrase="a b"),
])
def test_subclasses_and_client_models_nest_in_each_other(match):
    client_filter = client_models.Filter(must=[models.FieldCondition(key="k", match=match)])
    ours = models.Filter(must=[client_models.FieldCondition(key="k", match=match)])
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert json.loads(ours.json()) == client_filter.model_dump(mode="json")
        assert ours.dict() == client_filter.model_dump()
    assert models.SparseVector is client_models.SparseVector
