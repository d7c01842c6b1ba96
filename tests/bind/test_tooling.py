"""Compiled functions seen by tools: the type's module, pickling and copying
by reference, coroutine detection, stub generation."""
import copy
import inspect
import os
import pickle
import shutil
import subprocess
import sys

import pydantic
import pytest

from subprocess_env import CWD, child_env


def test_functions_pickle_and_copy_by_reference(probe):
    Probe = probe.make_model(pydantic.BaseModel)
    probe.Probe = Probe  # where pickle finds the class by its qualified name
    try:
        for f in (probe.echo, probe.gather_in_order, Probe.gather, Probe.public_method):
            assert isinstance(type(f).__module__, str) and f.__module__ == "bindprobe"
            for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
                assert pickle.loads(pickle.dumps(f, protocol)) is f
            assert copy.deepcopy(f) is f and copy.copy(f) is f
            assert copy.deepcopy({"f": [f]})["f"][0] is f
    finally:
        del probe.Probe
    assert inspect.iscoroutinefunction(probe.gather_in_order)
    assert inspect.iscoroutinefunction(Probe.gather) and inspect.iscoroutinefunction(Probe(required=1).gather)
    assert not inspect.iscoroutinefunction(probe.echo) and not inspect.iscoroutinefunction(Probe.public_method)
    assert str(inspect.signature(probe.echo)) == "(a, b='b-default', *, c=None, **rest)"
    probe.echo.__module__ = "elsewhere"
    try:
        assert probe.echo.__module__ == "elsewhere" and type(probe.echo).__module__ == "bindprobe"
    finally:
        probe.echo.__module__ = "bindprobe"


@pytest.mark.integration
@pytest.mark.parametrize("module", ["community.models.cogsift", "community.retrievers.qor"])
def test_stubgen_runs_on_the_modules(module, tmp_path):
    stubgen = shutil.which("stubgen", path=os.path.dirname(sys.executable))
    if stubgen is None:
        pytest.skip("mypy's stubgen is not installed (requirements-dev.txt)")
    # stubgen imports the module in a child of its own, which needs the host's
    # stand-ins on its path as much as the tests do
    done = subprocess.run([stubgen, "-m", module, "-o", str(tmp_path)], capture_output=True, text=True,
                          timeout=300, cwd=CWD, env=child_env())
    assert done.returncode == 0, done.stderr
    stub = tmp_path.joinpath(*module.split(".")).with_suffix(".pyi").read_text()
    assert "class " in stub
