"""The project's one driver of the C++ compiler.

Every C++ build reads its modules, sources and flags from here: the build
script (community/buildmint.py, through `extension`), the incremental in-place
build (tools/quick_build.py), the tests' probe module, the fuzzers' plain and
sanitizer builds and the native splitter checks (`build_module`,
`build_program`), and the benchmarks' Cython baselines (`cythonize_copies`).

The modules and the flags common to all builds are in src/build.json. A build
has a profile: "release" (the modules as shipped), "plain" (optimised less,
for tests and fuzzers) or "sanitize" (AddressSanitizer and
UndefinedBehaviorSanitizer). A build for the tests or the benchmarks may add
the modules' test hooks (COMMUNITY_TEST_HOOKS); the build script's never
does. Outside the build script, objects are cached
under build/cxx/<profile>/ by a digest of their source, every header and the
flags, so a module shares its src/bind objects with every other module of the
same profile, and nothing is compiled twice for the same input.
"""
import hashlib
import json
import os
import shutil
import subprocess
import sys
import sysconfig
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SRC = ROOT / "src"
CONFIG = json.loads((SRC / "build.json").read_text())
CACHE = ROOT / "build" / "cxx"
EXT_SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")

SANITIZE = ["-fsanitize=address,undefined", "-fno-sanitize-recover=undefined", "-fno-omit-frame-pointer", "-O1", "-g"]
PROFILES = {
    "release": (CONFIG["release_flags"], CONFIG["link_flags"]),
    "plain": (["-O1", "-Werror"], []),
    "sanitize": ([*SANITIZE, "-Werror"], SANITIZE[:1]),
}
# Defined in a test build only: the modules gain their test hooks.
TEST_HOOKS = ["-DCOMMUNITY_TEST_HOOKS"]
# The test probe: the binding layer and a module of test-only functions.
PROBE = ROOT / "tests" / "bind" / "probe.cpp"


def werror():
    """COMMUNITY_WERROR=1 (CI) turns compiler warnings into errors in every profile."""
    return ["-Werror"] if os.environ.get("COMMUNITY_WERROR") == "1" else []


def compile_flags(profile):
    """Compiler flags of a profile, without include paths."""
    flags = [*CONFIG["cxx_flags"], *PROFILES[profile][0], *werror()]
    return list(dict.fromkeys(flags))


def link_flags(profile):
    return list(PROFILES[profile][1])


def include_dirs():
    import pybind11

    return [str(SRC), pybind11.get_include(), sysconfig.get_paths()["include"]]


def modules():
    """Short name ("qor", "cogsift") -> (dotted module name, folder of its own sources)."""
    return {name.rsplit(".", 1)[1]: (name, SRC.parent / folder) for name, folder in CONFIG["modules"].items()}


def module_sources(name):
    """The sources of module `name`: its folder's, then the binding layer's;
    "bindprobe" is the test probe on the binding layer."""
    bind = sorted((SRC / "bind").glob("*.cpp"))
    if name == "bindprobe":
        return bind + [PROBE]
    return sorted(modules()[name][1].glob("*.cpp")) + bind


def headers():
    return sorted(SRC.rglob("*.hpp")) + sorted(SRC.rglob("*.h"))


def extension(dotted_name, source_dir):
    """The setuptools Extension of one C++ module, as the build script compiles
    it (release profile, paths relative to the project root, where the build
    runs), or None while its folder holds no source."""
    import pybind11
    from setuptools import Extension

    own = sorted((ROOT / source_dir).glob("*.cpp"))
    if not own:
        return None
    relative = [path.relative_to(ROOT).as_posix() for path in own + sorted((SRC / "bind").glob("*.cpp"))]
    return Extension(
        dotted_name,
        sources=relative,
        include_dirs=["src", pybind11.get_include()],
        # a changed header rebuilds the module
        depends=[path.relative_to(ROOT).as_posix() for path in headers()],
        language="c++",
        extra_compile_args=compile_flags("release"),
        extra_link_args=link_flags("release"),
    )


# What every source of the modules begins with (src/bind/core.hpp): compiled
# once per build into a precompiled header, which spares each source the
# parsing of the interpreter's and pybind11's headers (about a quarter of a
# source's compile time here). The compiler uses it only where it was made
# with the same compiler and flags, and otherwise reads the headers as usual,
# so it makes a build faster, not different (one warning aside, below).
PCH_TEXT = "#include <Python.h>\n#include <pybind11/pybind11.h>\n"
PCH_NAME = "community_pch.hpp"
# pybind11 silences this warning around one of its declarations with a
# _Pragma inside a macro, which the compiler forgets once that declaration
# comes from a precompiled header: a build that uses one turns it off.
PCH_FLAGS = ["-Wno-missing-field-initializers"]


def precompiled_header(command, cache_dir):
    """Compiles the common headers with `command` (a compiler and every flag of
    the sources that will use them) under `cache_dir`, once per command,
    interpreter and pybind11 version; returns the flags that make a compile
    with the same command use the result (none when the compiler could not
    make it: the sources then read the headers themselves)."""
    import pybind11

    out_dir = Path(cache_dir) / f"pch-{_digest(*command, PCH_TEXT, pybind11.__version__, sys.version)}"
    header = out_dir / PCH_NAME
    gch = out_dir / (PCH_NAME + ".gch")
    if not gch.exists():
        out_dir.mkdir(parents=True, exist_ok=True)
        header.write_text(PCH_TEXT)
        tmp = out_dir / f"{PCH_NAME}.{os.getpid()}.tmp"
        try:
            _run([*command, *PCH_FLAGS, "-x", "c++-header", str(header), "-o", str(tmp)])
        except RuntimeError:
            return []
        os.replace(tmp, gch)
    return [*PCH_FLAGS, "-include", str(header)]


def _digest(*parts):
    digest = hashlib.sha256()
    for part in parts:
        digest.update(part if isinstance(part, bytes) else str(part).encode())
        digest.update(b"\0")
    return digest.hexdigest()[:16]


def _run(command):
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"{' '.join(map(str, command))}\nfailed with status {done.returncode}:\n"
                           f"{done.stdout}{done.stderr}")


def compile_objects(sources, profile, extra_flags=(), log=None):
    """Object files of `sources` for `profile`, compiled in parallel where
    their source, a header or the flags changed; cached across builds."""
    flags = [*compile_flags(profile), *extra_flags, "-fPIC", *("-I" + d for d in include_dirs())]
    header_digest = _digest(*(path.read_bytes() for path in headers()), *flags)
    objects_dir = CACHE / profile / "objects"
    objects_dir.mkdir(parents=True, exist_ok=True)
    objects = [objects_dir / f"{source.parent.name}_{source.stem}-{_digest(header_digest, source.read_bytes())}.o"
               for source in sources]
    missing = [(source, obj) for source, obj in zip(sources, objects) if not obj.exists()]
    if missing:
        flags = [*flags, *precompiled_header(["g++", *flags], CACHE / profile)]

    def compile_one(job):
        source, obj = job
        if log:
            log(f"compiling {source.relative_to(ROOT)} ({profile})")
        tmp = obj.with_suffix(f".{os.getpid()}.tmp")
        _run(["g++", *flags, "-c", str(source), "-o", str(tmp)])
        os.replace(tmp, obj)

    with ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        list(pool.map(compile_one, missing))
    return objects


def build_module(name, profile="plain", log=None, test_hooks=False):
    """Path of extension module `name` ("qor", "cogsift" or "bindprobe") built
    with `profile` (and its test hooks when `test_hooks`) under build/cxx/;
    built only when an input changed."""
    objects = compile_objects(module_sources(name), profile, TEST_HOOKS if test_hooks else (), log=log)
    out_dir = CACHE / profile / f"{name}-{_digest(*objects, *link_flags(profile))}"
    target = out_dir / (name + EXT_SUFFIX)
    if not target.exists():
        out_dir.mkdir(parents=True, exist_ok=True)
        tmp = target.with_suffix(f".{os.getpid()}.tmp")
        _run(["g++", "-shared", *link_flags(profile), *map(str, objects), "-o", str(tmp)])
        os.replace(tmp, target)
        if log:
            log(f"linked {target.relative_to(ROOT)}")
    return target


def install_in_place(name, profile="release", log=None):
    """Builds module `name` and puts it next to its package's sources (the
    in-place layout), replacing the file there only when it differs."""
    built = build_module(name, profile, log=log)
    dotted = modules()[name][0]
    target = ROOT.joinpath(*dotted.split(".")[:-1]) / (name + EXT_SUFFIX)
    if target.exists() and target.read_bytes() == built.read_bytes():
        return target
    tmp = target.with_suffix(".tmp")
    shutil.copyfile(built, tmp)
    os.replace(tmp, target)
    if log:
        log(f"installed {target.relative_to(ROOT)}")
    return target


def build_program(source, output, profile="plain", extra_flags=()):
    """Compiles the single-file C++ program `source` into `output`."""
    flags = [*compile_flags(profile), *extra_flags, f"-I{SRC}"]
    _run(["g++", *flags, str(source), "-o", str(output), *link_flags(profile)])
    return Path(output)


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


def load(name, path):
    """Imports the extension at `path` as `name` (full dotted name); the
    parent package's attribute is pointed at it too, so later imports get it."""
    import importlib.util

    found = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(found)
    sys.modules[name] = module
    found.loader.exec_module(module)
    if "." in name:
        parent, _, leaf = name.rpartition(".")
        setattr(sys.modules[parent], leaf, module)
    return module


def cythonize_copies(sources, build_dir):
    """Compiles Python modules with Cython's defaults: each `name: source` is
    copied to build_dir/<name>.py and compiled there into an extension module."""
    from Cython.Build import cythonize
    from setuptools import Distribution, Extension

    build_dir = Path(build_dir)
    build_dir.mkdir(parents=True, exist_ok=True)
    extensions = []
    for name, source in sources.items():
        shutil.copyfile(source, build_dir / (name + ".py"))
        extensions.append(Extension(name, [name + ".py"]))
    cwd = os.getcwd()
    os.chdir(build_dir)  # setuptools resolves the sources relative to here
    try:
        compiled = cythonize(extensions, compiler_directives={"language_level": 3}, quiet=True,
                             nthreads=os.cpu_count() or 1)
        dist = Distribution({"ext_modules": compiled, "script_name": "cxx_build.py"})
        cmd = dist.get_command_obj("build_ext")
        cmd.build_lib = str(build_dir)
        cmd.build_temp = str(build_dir / "tmp")
        cmd.parallel = os.cpu_count() or 1
        cmd.ensure_finalized()
        cmd.run()
    finally:
        os.chdir(cwd)


if __name__ == "__main__":
    # python tools/cxx_build.py [profile] : build every module with a profile
    chosen = sys.argv[1] if len(sys.argv) > 1 else "plain"
    for short_name in modules():
        print(build_module(short_name, chosen, log=print))
