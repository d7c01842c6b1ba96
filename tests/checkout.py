"""Where the tests find the package under test and the host stand-ins.

By default the package is the checkout's in-place build (`./dev.sh test`).
With COMMUNITY_TEST_INSTALLED=1 it must come from the environment's
site-packages (a wheel installed into a fresh virtual environment), and the
checkout's `community` folder is kept off the import path (subprocesses
the tests start get the same path: tests/subprocess_env.py).
"""
import os
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SERVICE = ROOT / "service"
TESTS = ROOT / "tests"
INSTALLED = os.environ.get("COMMUNITY_TEST_INSTALLED") == "1"


def path_entries():
    """sys.path entries the tests need: the stand-ins, the test helpers and,
    unless testing an installed package, the checkout holding `community`."""
    entries = [SERVICE, TESTS]
    if not INSTALLED:
        entries.insert(1, ROOT)
    return [str(entry) for entry in entries]


def is_checkout_path(path):
    """True when `path` lies inside the checkout's `community` folder."""
    try:
        Path(path).resolve().relative_to(ROOT / "community")
    except ValueError:
        return False
    return True


def guard_installed():
    """In installed mode, drop the checkout from sys.path and make sure
    `community` is imported from elsewhere; fails loudly otherwise."""
    if not INSTALLED:
        return
    sys.path[:] = [entry for entry in sys.path if Path(entry or ".").resolve() != ROOT]
    import community.models.cogsift
    import community.retrievers.qor

    for module in (community.models.cogsift, community.retrievers.qor):
        if is_checkout_path(module.__file__):
            raise RuntimeError(f"COMMUNITY_TEST_INSTALLED=1, but {module.__name__} was imported from the checkout: "
                               f"{module.__file__}")
