"""The parser module with its test hooks, for the tests that use them.

The module as shipped has no test hooks (`cogsift._fast_attributes`, which
reports and switches the direct attribute paths for message objects). They
are compiled into a test build only (tools/cxx_build.py, COMMUNITY_TEST_HOOKS;
tests/native_build.py builds it). A test that uses them carries
`@pytest.mark.test_hooks`: where the process's parser module lacks them, the
test runs instead in a child pytest whose `community.models.cogsift` is the
build with them (one child per test function, all its parameters at once),
and passes when the very same test passed there. The binding layer keeps
one copy of its state per process, so the two builds never share one.
Such a test starts a compiler and a subprocess: it is an integration test.
"""
import os
import subprocess
import sys
from pathlib import Path

import native_build
from subprocess_env import CWD, child_env

ROOT = Path(__file__).resolve().parent.parent
# Set in the child: the path of the build it loads.
MODULE_ENV = "COMMUNITY_TEST_HOOKS_MODULE"
_children = {}  # test function ("path::name") -> the child's report


def load_requested():
    """In the child: loads the build named by MODULE_ENV as
    community.models.cogsift, before anything imports the shipped one."""
    path = os.environ.get(MODULE_ENV)
    if path:
        import community.models  # noqa: F401 - the package the module is loaded into

        native_build.load("community.models.cogsift", path)


def present():
    from community.models import cogsift

    return hasattr(cogsift, "_fast_attributes")


def _child_report(item):
    function = f"{item.path}::{item.originalname}"
    if function not in _children:
        path = native_build.build("cogsift", sanitize=False)
        done = subprocess.run(
            [sys.executable, "-m", "pytest", "-q", "-rA", "-p", "no:cacheprovider", "-c", str(ROOT / "pytest.ini"),
             "--rootdir", str(ROOT), function],
            cwd=CWD, env=child_env({MODULE_ENV: str(path)}), capture_output=True, text=True, timeout=900)
        _children[function] = done.stdout + done.stderr
    return _children[function]


def run_in_child(item):
    """Runs test `item` in a child on the build with the test hooks; fails
    unless it passed there."""
    import pytest

    if os.environ.get(MODULE_ENV):
        pytest.fail(f"{os.environ[MODULE_ENV]} has no test hooks")
    report = _child_report(item)
    # The child names its tests relative to the folder it runs in.
    if f"PASSED {os.path.relpath(item.path, CWD)}::{item.name}" not in report.splitlines():
        pytest.fail(f"{item.nodeid} did not pass on the build with the test hooks:\n{report[-6000:]}")
