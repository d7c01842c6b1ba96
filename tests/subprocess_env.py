"""The import path of the Python subprocesses the tests start.

A child gets the same search path as the test process: the directory the
tested `community` package was imported from (the checkout for an in-place
build, site-packages for an installed one), then the stand-ins of the
host's modules (service/) and the tests' helpers, as conftest.py puts them
on sys.path. Children run in service/, so a working directory on their path
(`python -c` puts it first) adds nothing, and never a checkout's `community`
by accident.
"""
import os
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SERVICE = ROOT / "service"
CWD = str(SERVICE)


def python_path():
    import community

    package_home = Path(community.__file__).resolve().parent.parent
    return [str(package_home), str(SERVICE), str(ROOT / "tests")]


def child_env(extra=None):
    """os.environ with PYTHONPATH set as above (what it held before comes
    after), the tiktoken cache of the test process, and `extra` on top."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(python_path() + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    shared = ROOT.parent / "shared" / "tiktoken"
    if "TIKTOKEN_CACHE_DIR" not in env and shared.is_dir():
        env["TIKTOKEN_CACHE_DIR"] = str(shared)
    env.update(extra or {})
    return env
