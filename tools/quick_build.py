"""Incremental developer build of the C++ modules, in place.

The build script compiles every source of a module on each run; while
working on the C++ code this rebuilds only the objects whose source or
headers changed, in parallel, and links the module next to its package:

    .venv/bin/python tools/quick_build.py [qor|cogsift ...]

The release build is still `python community/buildmint.py build_ext`.
"""
import hashlib
import json
import os
import subprocess
import sys
import sysconfig
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pybind11

ROOT = Path(__file__).resolve().parent.parent
CONFIG = json.loads((ROOT / "src" / "build.json").read_text())  # the build script's modules and flags
# short name -> (folder of its own sources, package folder of the module)
MODULES = {name.rsplit(".", 1)[1]: (src, name.rsplit(".", 1)[0].replace(".", "/"))
           for name, src in CONFIG["modules"].items()}
FLAGS = [*CONFIG["cxx_flags"], *CONFIG["release_flags"], "-fPIC",
         *(["-Werror"] if os.environ.get("COMMUNITY_WERROR") == "1" else []),
         f"-I{ROOT / 'src'}", f"-I{pybind11.get_include()}", f"-I{sysconfig.get_paths()['include']}"]


def newest_header():
    return max(p.stat().st_mtime for p in (ROOT / "src").rglob("*.hpp"))


def build(name):
    src_dir, pkg_dir = MODULES[name]
    sources = sorted((ROOT / src_dir).glob("*.cpp")) + sorted((ROOT / "src/bind").glob("*.cpp"))
    if not any(s.parent == ROOT / src_dir for s in sources):
        return
    # Objects built with other flags (or for another interpreter) are kept apart.
    tag = hashlib.sha256(" ".join(FLAGS).encode()).hexdigest()[:10]
    obj_dir = ROOT / "build" / "quick" / f"{name}-{tag}"
    obj_dir.mkdir(parents=True, exist_ok=True)
    headers = newest_header()

    def compile_one(src):
        obj = obj_dir / (src.parent.name + "_" + src.stem + ".o")
        if obj.exists() and obj.stat().st_mtime > max(src.stat().st_mtime, headers):
            return obj, False
        print("compiling", src.relative_to(ROOT), flush=True)
        subprocess.run(["g++", *FLAGS, "-c", str(src), "-o", str(obj)], check=True)
        return obj, True

    with ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        results = list(pool.map(compile_one, sources))
    target = ROOT / pkg_dir / (name + sysconfig.get_config_var("EXT_SUFFIX"))
    if target.exists() and not any(changed for _, changed in results):
        return
    tmp = target.with_suffix(".tmp")
    subprocess.run(["g++", "-shared", *CONFIG["link_flags"], *[str(o) for o, _ in results], "-o", str(tmp)],
                   check=True)
    os.replace(tmp, target)
    print("linked", target.relative_to(ROOT))


if __name__ == "__main__":
    for module in sys.argv[1:] or list(MODULES):
        build(module)
