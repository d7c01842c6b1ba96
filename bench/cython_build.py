"""The baselines compiled by Cython.

Each baseline module is copied unchanged under the name `<name>_cy` into
build/bench/cython/ (ignored by git) and compiled there with Cython's defaults by the project's build driver
(language level 3, no type declarations added); the benchmark imports the
compiled copy next to the plain one. A copy is compiled again only when its
source, Cython or the interpreter changed.

    .venv/bin/python bench/cython_build.py     # compile (or check) all baselines
"""
import hashlib
import importlib
import sys
import sysconfig
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tools"))
import cxx_build  # noqa: E402  (the project's build driver)

BUILD_DIR = ROOT / "build" / "bench" / "cython"

# name -> source of the plain module
SOURCES = {
    "literal_split": ROOT / "tests" / "models" / "literal_split.py",
    "floor": ROOT / "bench" / "baselines" / "floor.py",
    "parser_py": ROOT / "bench" / "baselines" / "parser_py.py",
    "retrievers_py": ROOT / "bench" / "baselines" / "retrievers_py.py",
    "external_py": ROOT / "bench" / "baselines" / "external_py.py",
}


def _stamp(source):
    import Cython

    digest = hashlib.sha256(source.read_bytes())
    digest.update(("%s|%s|%s" % (Cython.__version__, sys.version, sysconfig.get_config_var("EXT_SUFFIX"))).encode())
    return digest.hexdigest()


def _stale(name):
    stamp_file = BUILD_DIR / (name + "_cy.stamp")
    ext = BUILD_DIR / (name + "_cy" + sysconfig.get_config_var("EXT_SUFFIX"))
    return not ext.exists() or not stamp_file.exists() or stamp_file.read_text() != _stamp(SOURCES[name])


def build(names=None, quiet=True):
    """Compiles the stale copies; returns the names compiled."""
    names = [n for n in (names or SOURCES) if _stale(n)]
    if not names:
        return []
    if not quiet:
        print("cythonizing baselines: " + ", ".join(names), file=sys.stderr)
    cxx_build.cythonize_copies({name + "_cy": SOURCES[name] for name in names}, BUILD_DIR)
    for name in names:
        (BUILD_DIR / (name + "_cy.stamp")).write_text(_stamp(SOURCES[name]))
    return names


def load(name):
    """The compiled copy of baseline `name` (compiled first when stale)."""
    build([name])
    if str(BUILD_DIR) not in sys.path:
        sys.path.insert(0, str(BUILD_DIR))
    module = importlib.import_module(name + "_cy")
    assert not module.__file__.endswith(".py"), module.__file__
    return module


if __name__ == "__main__":
    built = build(quiet=False)
    print("compiled: " + (", ".join(built) if built else "nothing (all up to date)"))
