"""Extension builds for the fuzzers: the probe module and the parser module,
plain or with AddressSanitizer and UndefinedBehaviorSanitizer, each cached
under build/ by a digest of its sources, headers and flags (the in-place
modules are never replaced).

A sanitized module only loads into an interpreter that has the sanitizer
runtimes preloaded: `sanitizer_env()` gives the environment for such a
subprocess, or the reason it cannot be had on this machine.
"""
import hashlib
import json
import os
import subprocess
import sys
import sysconfig
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CONFIG = json.loads((ROOT / "src" / "build.json").read_text())
INCLUDES = [f"-I{ROOT / 'src'}", f"-I{sysconfig.get_paths()['include']}"]
SANITIZE = ["-fsanitize=address,undefined", "-fno-sanitize-recover=undefined", "-fno-omit-frame-pointer", "-O1", "-g"]
PLAIN = ["-O2"]
PROBE = Path(__file__).resolve().parent / "bind" / "probe.cpp"


def _pybind11_include():
    import pybind11

    return f"-I{pybind11.get_include()}"


def _sources(name):
    bind = sorted((ROOT / "src" / "bind").glob("*.cpp"))
    if name == "bindprobe":
        return bind + [PROBE]
    own = {module.rsplit(".", 1)[1]: folder for module, folder in CONFIG["modules"].items()}[name]
    return sorted((ROOT / own).glob("*.cpp")) + bind


def build(name, sanitize, log=None):
    """Path of module `name` ("bindprobe", "cogsift" or "qor"), built when
    its sources or flags changed since the last build."""
    flags = [*CONFIG["cxx_flags"], *(SANITIZE if sanitize else PLAIN), "-fPIC", "-Werror",
             *INCLUDES, _pybind11_include()]
    sources = _sources(name)
    headers = hashlib.sha256(" ".join(flags).encode())
    for path in sorted((ROOT / "src").rglob("*.hpp")):
        headers.update(path.read_bytes())

    def object_digest(src):
        return hashlib.sha256(headers.digest() + src.read_bytes()).hexdigest()[:16]

    top = ROOT / "build" / ("asan" if sanitize else "fuzz")
    digest = hashlib.sha256("".join(object_digest(s) for s in sources).encode()).hexdigest()[:16]
    out_dir = top / f"{name}-{digest}"
    target = out_dir / (name + sysconfig.get_config_var("EXT_SUFFIX"))
    if target.exists():
        return target
    out_dir.mkdir(parents=True, exist_ok=True)
    (top / "objects").mkdir(exist_ok=True)
    if log:
        log(f"building {target.relative_to(ROOT)} ({len(sources)} sources)")

    def compile_one(src):
        # Objects are shared between modules (src/bind is in every one).
        obj = top / "objects" / f"{src.parent.name}_{src.stem}-{object_digest(src)}.o"
        if not obj.exists():
            tmp = obj.with_suffix(f".{os.getpid()}.tmp")
            subprocess.run(["g++", *flags, "-c", str(src), "-o", str(tmp)], check=True)
            os.replace(tmp, obj)
        return obj

    with ThreadPoolExecutor(max_workers=2) as pool:
        objects = list(pool.map(compile_one, sources))
    tmp = target.with_suffix(".tmp")
    subprocess.run(["g++", "-shared", *(SANITIZE[:1] if sanitize else []), *map(str, objects), "-o", str(tmp)],
                   check=True)
    os.replace(tmp, target)
    return target


def sanitizer_env():
    """(environment, None) for a subprocess that can load sanitized modules,
    or (None, reason) when this machine lacks the runtimes."""
    libs = []
    for lib in ("libasan.so", "libubsan.so"):
        found = subprocess.run(["g++", f"-print-file-name={lib}"], capture_output=True, text=True).stdout.strip()
        if not os.path.isabs(found) or not os.path.exists(found):
            return None, f"the compiler has no {lib} (g++ -print-file-name={lib} gave {found!r})"
        libs.append(os.path.realpath(found))
    env = dict(os.environ)
    env.update({
        "LD_PRELOAD": " ".join(libs),
        # The interpreter keeps its own objects until exit: only errors count.
        "ASAN_OPTIONS": "detect_leaks=0:abort_on_error=0:exitcode=86",
        "UBSAN_OPTIONS": "halt_on_error=1:print_stacktrace=1:exitcode=87",
        # Freed Python objects go back to malloc, where the sanitizer sees
        # any later use of them.
        "PYTHONMALLOC": "malloc",
    })
    probe = subprocess.run([sys.executable, "-c", "pass"], env=env, capture_output=True, text=True, timeout=60)
    if probe.returncode != 0:
        return None, f"the interpreter does not start with the sanitizer runtimes preloaded: {probe.stderr[-300:]}"
    return env, None


def load(name, path, package=None):
    """Imports the extension at `path` as `name` (full dotted name); the
    package attribute is pointed at it too, so later imports get this one."""
    import importlib.util

    found = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(found)
    sys.modules[name] = module
    found.loader.exec_module(module)
    if "." in name:
        parent, _, leaf = name.rpartition(".")
        setattr(sys.modules[parent], leaf, module)
    return module
