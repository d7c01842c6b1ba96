"""The vector database client's models.

Everything of the client's model module is re-exported.  The models that
filters are built from are replaced by subclasses whose ``json()`` and
``dict()`` behave as the service code expects:

* ``json()`` is the JSON text of the model with field names (not aliases) and
  null values included, so a ``MatchExcept`` shows its key as ``"except_"``;
* ``dict()`` is a new plain nested dict with the same keys, sharing no list or
  dict with the model;

both without the deprecation warnings of the underlying model library.  The
subclasses are accepted wherever the client's own models are (``Filter.must``
and friends), and the client's own models nest inside them as well.
"""
import json as _json

from pydantic import ConfigDict as _ConfigDict
from qdrant_client.http import models as _client_models
from qdrant_client.http.models import *  # noqa: F401,F403


class _PlainForms:
    """``json()`` / ``dict()`` with field names and null values included."""

    __slots__ = ()

    def dict(self, *, include=None, exclude=None, by_alias=False, exclude_unset=False,
             exclude_defaults=False, exclude_none=False):
        return self.model_dump(
            include=include, exclude=exclude, by_alias=by_alias, exclude_unset=exclude_unset,
            exclude_defaults=exclude_defaults, exclude_none=exclude_none,
        )

    def json(self, *, include=None, exclude=None, by_alias=False, exclude_unset=False,
             exclude_defaults=False, exclude_none=False, **dumps_kwargs):
        data = self.model_dump(
            mode="json", include=include, exclude=exclude, by_alias=by_alias,
            exclude_unset=exclude_unset, exclude_defaults=exclude_defaults,
            exclude_none=exclude_none,
        )
        return _json.dumps(data, **dumps_kwargs)


class Filter(_PlainForms, _client_models.Filter):
    pass


class FieldCondition(_PlainForms, _client_models.FieldCondition):
    pass


class MatchValue(_PlainForms, _client_models.MatchValue):
    pass


class MatchText(_PlainForms, _client_models.MatchText):
    pass


class MatchTextAny(_PlainForms, _client_models.MatchTextAny):
    pass


class MatchPhrase(_PlainForms, _client_models.MatchPhrase):
    pass


class MatchAny(_PlainForms, _client_models.MatchAny):
    pass


class MatchExcept(_PlainForms, _client_models.MatchExcept):
    # Allows MatchExcept(except_=[...]) besides MatchExcept(**{"except": [...]}).
    model_config = _ConfigDict(populate_by_name=True)


class Range(_PlainForms, _client_models.Range):
    pass


class DatetimeRange(_PlainForms, _client_models.DatetimeRange):
    pass


class ValuesCount(_PlainForms, _client_models.ValuesCount):
    pass


class PayloadField(_PlainForms, _client_models.PayloadField):
    pass


class IsEmptyCondition(_PlainForms, _client_models.IsEmptyCondition):
    pass


class IsNullCondition(_PlainForms, _client_models.IsNullCondition):
    pass


class HasIdCondition(_PlainForms, _client_models.HasIdCondition):
    pass


class Nested(_PlainForms, _client_models.Nested):
    pass


class NestedCondition(_PlainForms, _client_models.NestedCondition):
    pass


class MinShould(_PlainForms, _client_models.MinShould):
    pass


class GeoPoint(_PlainForms, _client_models.GeoPoint):
    pass


class GeoRadius(_PlainForms, _client_models.GeoRadius):
    pass


class GeoBoundingBox(_PlainForms, _client_models.GeoBoundingBox):
    pass
