"""Builds the binding layer's probe extension once per source version."""
import hashlib
import importlib.util
import json
import subprocess
import sys
import sysconfig
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pybind11
import pytest

ROOT = Path(__file__).resolve().parents[2]
SOURCES = sorted((ROOT / "src" / "bind").glob("*.cpp")) + [Path(__file__).with_name("probe.cpp")]
HEADERS = sorted((ROOT / "src" / "bind").glob("*.hpp"))
# The modules' own flags (src/build.json), optimised less, warnings as errors.
FLAGS = [*json.loads((ROOT / "src" / "build.json").read_text())["cxx_flags"], "-O2", "-fPIC", "-Werror",
         f"-I{ROOT / 'src'}", f"-I{pybind11.get_include()}", f"-I{sysconfig.get_paths()['include']}"]


def _build(out_dir: Path) -> Path:
    target = out_dir / ("bindprobe" + sysconfig.get_config_var("EXT_SUFFIX"))
    if target.exists():
        return target
    out_dir.mkdir(parents=True, exist_ok=True)

    def compile_one(src: Path) -> Path:
        obj = out_dir / (src.stem + ".o")
        subprocess.run(["g++", *FLAGS, "-c", str(src), "-o", str(obj)], check=True)
        return obj

    with ThreadPoolExecutor(max_workers=2) as pool:
        objects = list(pool.map(compile_one, SOURCES))
    tmp = target.with_suffix(".tmp")
    subprocess.run(["g++", "-shared", *map(str, objects), "-o", str(tmp)], check=True)
    tmp.rename(target)
    return target


@pytest.fixture(scope="session")
def probe():
    digest = hashlib.sha256()
    for path in SOURCES + HEADERS:
        digest.update(path.read_bytes())
    digest.update(" ".join(FLAGS).encode())
    target = _build(ROOT / "build" / "test-probe" / digest.hexdigest()[:16])
    found = importlib.util.spec_from_file_location("bindprobe", target)
    module = importlib.util.module_from_spec(found)
    sys.modules["bindprobe"] = module
    found.loader.exec_module(module)
    return module
