import sys
import uuid
from pathlib import Path

import pytest

SERVICE_DIR = Path(__file__).resolve().parents[2] / "service"
if str(SERVICE_DIR) not in sys.path:
    sys.path.insert(0, str(SERVICE_DIR))


@pytest.fixture(scope="session")
def corpus_store():
    """The demonstration corpus indexed into a collection of its own."""
    from hostkit import index_corpus

    return index_corpus(collection_name="test_corpus_" + uuid.uuid4().hex[:8])


@pytest.fixture
def collection_name():
    """A fresh collection name; the collection is dropped afterwards."""
    from utils import dbs

    name = "test_tmp_" + uuid.uuid4().hex[:8]
    yield name
    with dbs.client_session() as client:
        if client.collection_exists(name):
            client.delete_collection(name)
