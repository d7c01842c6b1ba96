"""Builds the binding layer's probe extension once per source version."""
import pytest

import native_build


@pytest.fixture(scope="session")
def probe():
    return native_build.load("bindprobe", native_build.build("bindprobe", sanitize=False))
