"""Tests of the package build script community/buildmint.py.

The fast tests load the script with setuptools' ``setup`` and Cython's
``cythonize`` replaced by recorders, so the build command class can be driven
directly on a temporary project tree. The slow tests really compile: the
real project (release build) and a small temporary project (in-place build).
Against an installed wheel (CI), the release build starts from the modules
that wheel's build compiled from this checkout, so it checks the command and
its layout without compiling everything a second time.
"""
import os
import runpy
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
import sysconfig
import Cython.Build
import setuptools
from Cython.Distutils import build_ext as CythonBuildExt
from setuptools.dist import Distribution

PROJECT = Path(__file__).resolve().parents[2]
SCRIPT = PROJECT / "community" / "buildmint.py"
PATTERN_DIRS = [
    "document_loaders", "embeddings", "graphs", "models",
    "retrievers", "text_splitters", "vectorstores",
]


def write(path, text=""):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)
    return path


def files_under(root):
    """Relative paths of all files and directories under root."""
    return sorted(str(p.relative_to(root)) for p in Path(root).rglob("*"))


@pytest.fixture
def project(tmp_path):
    """A minimal project tree holding a copy of the build script."""
    root = tmp_path / "proj"
    write(root / "community" / "__init__.py")
    for name in PATTERN_DIRS:
        write(root / "community" / name / "__init__.py")
    shutil.copy(SCRIPT, root / "community" / "buildmint.py")
    (root / "src").mkdir()
    shutil.copy(PROJECT / "src" / "build.json", root / "src" / "build.json")
    (root / "tools").mkdir()
    shutil.copy(PROJECT / "tools" / "cxx_build.py", root / "tools" / "cxx_build.py")
    return root


@pytest.fixture
def elsewhere(tmp_path):
    """An unrelated working directory with decoy data trees that must never be read."""
    cwd = tmp_path / "elsewhere"
    write(cwd / "configs" / "decoy.json", "{}")
    write(cwd / "community" / "keyinfo_extractors" / "model" / "decoy.bin", "x")
    write(cwd / "requirements.txt", "decoy\n")
    return cwd


@pytest.fixture
def load_script(monkeypatch, elsewhere):
    """Run a build script with setup/cythonize recorded instead of executed."""

    def load(root):
        calls = {}

        def fake_cythonize(module_list, **kwargs):
            calls["cythonize"] = (list(module_list), kwargs)
            return list(module_list)

        def fake_setup(**kwargs):
            calls["setup"] = kwargs

        monkeypatch.setattr(Cython.Build, "cythonize", fake_cythonize)
        monkeypatch.setattr(setuptools, "setup", fake_setup)
        monkeypatch.chdir(elsewhere)  # restored after the test
        namespace = runpy.run_path(str(root / "community" / "buildmint.py"), run_name="buildmint")
        calls["namespace"] = namespace
        calls["cwd_after_load"] = Path.cwd()
        return calls

    return load


@pytest.fixture
def run_build(monkeypatch, load_script, elsewhere):
    """Run the build command's data-file step on a project tree.

    The compilation is replaced by creating build_lib/community, which is what
    a real compilation leaves behind (keyinfo_extractors holds no compiled
    module, so it is not there).
    """

    def compile_stub(self):
        if not self.inplace:
            os.makedirs(os.path.join(self.build_lib, "community"), exist_ok=True)

    monkeypatch.setattr(CythonBuildExt, "run", compile_stub)

    def run(root, build_lib, inplace=False):
        command_class = load_script(root)["setup"]["cmdclass"]["build_ext"]
        command = command_class(Distribution())
        command.build_lib = str(build_lib)
        command.inplace = inplace
        monkeypatch.chdir(elsewhere)
        command.run()
        return command

    return run


def test_setup_call_and_extension_list(project, load_script):
    write(project / "src" / "retrievers" / "b.cpp")
    write(project / "src" / "retrievers" / "a.cpp")
    write(project / "src" / "bind" / "core.cpp")
    write(project / "src" / "bind" / "core.hpp")
    calls = load_script(project)

    setup_kwargs = calls["setup"]
    assert list(setup_kwargs) == ["name", "author", "version", "ext_modules", "cmdclass"]
    assert setup_kwargs["name"] == "kestrelio-community"
    assert setup_kwargs["author"] == "kestrelio"
    assert setup_kwargs["version"] == "1.0.0"
    command = setup_kwargs["cmdclass"]["build_ext"]
    assert command.__mro__[1] is CythonBuildExt

    extensions, options = calls["cythonize"]
    assert setup_kwargs["ext_modules"] == extensions
    assert options == {
        "build_dir": "build",
        "compiler_directives": {"always_allow_keywords": True, "language_level": 3},
    }
    python_exts = [(e.name, e.sources) for e in extensions[:8]]
    assert python_exts == [("kestrelio_community.*", ["community/*.py"])] + [
        (f"kestrelio_community.{d}.*", [f"community/{d}/*.py"]) for d in PATTERN_DIRS
    ]
    # The patterns are relative: the script works from the project root.
    assert calls["cwd_after_load"] == project

    (qor,) = extensions[8:]
    assert qor.name == "community.retrievers.qor"
    assert qor.sources == ["src/retrievers/a.cpp", "src/retrievers/b.cpp", "src/bind/core.cpp"]
    assert qor.include_dirs[0] == "src"
    assert qor.language == "c++"
    assert "src/bind/core.hpp" in qor.depends
    assert {"-std=c++20", "-fvisibility=hidden", "-Wall", "-Wextra"} <= set(qor.extra_compile_args)
    assert {"-O2", "-O3"} & set(qor.extra_compile_args)
    for ext in extensions[:8]:
        assert not ext.extra_compile_args


@pytest.mark.parametrize(
    "sources, expected",
    [
        ([], []),
        (["src/models/cogsift.cpp"], ["community.models.cogsift"]),
        (["src/retrievers/qor.cpp", "src/models/x.cpp"], ["community.retrievers.qor", "community.models.cogsift"]),
        (["src/models/notes.txt", "src/bind/core.cpp"], []),
    ],
)
def test_cxx_module_is_built_once_its_folder_has_a_source(project, load_script, sources, expected):
    for source in sources:
        write(project / source)
    extensions, _ = load_script(project)["cythonize"]
    assert [e.name for e in extensions[8:]] == expected


@pytest.mark.parametrize("with_requirements", [True, False])
def test_requirements_copied_to_top_of_build_lib(project, run_build, tmp_path, with_requirements):
    if with_requirements:
        write(project / "community" / "requirements.txt", "requests>=2.31,<3\n")
    build_lib = tmp_path / "out"
    run_build(project, build_lib)
    copied = build_lib / "requirements.txt"
    if with_requirements:
        assert copied.read_text() == "requests>=2.31,<3\n"
    else:
        assert not copied.exists()
    # Missing data trees copy nothing; nothing from the caller's working
    # directory leaks into the output.
    assert files_under(build_lib) == ["community"] + (["requirements.txt"] if with_requirements else [])


def test_nested_configs_tree_recreated_with_empty_directories(project, run_build, tmp_path):
    write(project / "configs" / "service.json", '{"a": 1}')
    write(project / "configs" / "sub" / "db.json", '{"b": 2}')
    write(project / "configs" / "sub" / "deeper" / "c.yaml", "c: 3")
    (project / "configs" / "empty" / "inner").mkdir(parents=True)
    build_lib = tmp_path / "out"
    run_build(project, build_lib)
    assert files_under(build_lib / "configs") == files_under(project / "configs")
    assert (build_lib / "configs" / "sub" / "deeper" / "c.yaml").read_text() == "c: 3"
    assert (build_lib / "configs" / "empty" / "inner").is_dir()


def test_second_run_overwrites_files_and_keeps_directories(project, run_build, tmp_path):
    write(project / "configs" / "sub" / "db.json", "old")
    write(project / "community" / "requirements.txt", "old\n")
    write(project / "community" / "keyinfo_extractors" / "model" / "vocab.txt", "old")
    build_lib = tmp_path / "out"
    run_build(project, build_lib)
    write(build_lib / "configs" / "sub" / "stale.json", "kept")

    write(project / "configs" / "sub" / "db.json", "new")
    write(project / "community" / "requirements.txt", "new\n")
    write(project / "community" / "keyinfo_extractors" / "model" / "vocab.txt", "new")
    run_build(project, build_lib)
    assert (build_lib / "configs" / "sub" / "db.json").read_text() == "new"
    assert (build_lib / "requirements.txt").read_text() == "new\n"
    assert (build_lib / "community" / "keyinfo_extractors" / "model" / "vocab.txt").read_text() == "new"
    assert (build_lib / "configs" / "sub" / "stale.json").read_text() == "kept"


def test_model_tree_copied_when_its_parent_is_missing_in_the_output(project, run_build, tmp_path):
    model = project / "community" / "keyinfo_extractors" / "model"
    write(model / "README.md", "models")
    write(model / "zh" / "weights.bin", "\x00\x01")
    build_lib = tmp_path / "out"
    run_build(project, build_lib)
    out_model = build_lib / "community" / "keyinfo_extractors" / "model"
    assert files_under(out_model) == ["README.md", "zh", "zh/weights.bin"]
    assert (out_model / "zh" / "weights.bin").read_bytes() == b"\x00\x01"


def test_release_build_ships_type_stubs_and_marker_inplace_leaves_them(project, run_build, tmp_path):
    write(project / "community" / "py.typed")
    write(project / "community" / "models" / "parser.pyi", "def f(x: int) -> int: ...\n")
    build_lib = tmp_path / "out"
    run_build(project, build_lib)
    assert (build_lib / "community" / "py.typed").is_file()
    assert (build_lib / "community" / "models" / "parser.pyi").read_text() == "def f(x: int) -> int: ...\n"
    before = files_under(project)
    run_build(project, tmp_path / "unused", inplace=True)
    assert [p for p in files_under(project) if p.endswith((".pyi", "py.typed"))] == [
        "community/models/parser.pyi", "community/py.typed"]
    assert set(before) <= set(files_under(project))


def test_inplace_build_copies_into_package_without_self_copy(project, run_build):
    requirements = write(project / "community" / "requirements.txt", "tiktoken>=0.7,<1\n")
    write(project / "configs" / "sub" / "db.json", "{}")
    write(project / "community" / "keyinfo_extractors" / "model" / "m.txt", "m")
    run_build(project, project / "build" / "lib", inplace=True)
    package = project / "community"
    assert requirements.read_text() == "tiktoken>=0.7,<1\n"
    assert (package / "configs" / "sub" / "db.json").read_text() == "{}"
    assert (package / "community" / "keyinfo_extractors" / "model" / "m.txt").read_text() == "m"
    assert not (project / "build").exists()


def test_copy_failure_ends_the_command(project, run_build, tmp_path):
    # A directory where a file is expected is an error, not a skip.
    (project / "community" / "requirements.txt").mkdir()
    with pytest.raises(IsADirectoryError):
        run_build(project, tmp_path / "out")


# ---------------------------------------------------------------------------
# Real compilations


def run_script(script, *args, cwd, env=None):
    return subprocess.run(
        [sys.executable, str(script), *args],
        cwd=cwd, env=env, capture_output=True, text=True, timeout=900,
    )


def python_in(path_entries, code, cwd):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(str(p) for p in path_entries))
    return subprocess.run(
        [sys.executable, "-c", code], cwd=cwd, env=env, capture_output=True, text=True, timeout=120,
    )


def reuse_the_wheels_modules(build_lib):
    """Copies the compiled modules of the wheel build made from this checkout
    (pip's build folder, build/lib.<platform>-<interpreter>) into `build_lib`,
    times kept: setuptools then skips each extension whose sources are not
    newer, and compiles the others. Only when testing that wheel installed;
    in place, the release build compiles from scratch."""
    if os.environ.get("COMMUNITY_TEST_INSTALLED") != "1":
        return []
    built = PROJECT / "build" / f"lib.{sysconfig.get_platform()}-{sys.implementation.cache_tag}"
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    reused = []
    for module in sorted(built.glob(f"community/**/*{suffix}")):
        target = build_lib / module.relative_to(built)
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(module, target)
        reused.append(target)
    return reused


@pytest.mark.integration
@pytest.mark.slow
def test_release_build_of_the_project_from_another_directory(tmp_path):
    build_lib, build_temp = tmp_path / "lib", tmp_path / "temp"
    reused = reuse_the_wheels_modules(build_lib)
    result = run_script(
        SCRIPT, "build_ext", "--build-lib", str(build_lib), "--build-temp", str(build_temp), "-j", "2",
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stderr[-4000:]
    warnings = [
        line for line in result.stderr.splitlines()
        if "warning:" in line and not line.startswith("build/")
    ]
    assert not warnings, "\n".join(warnings)

    # The retrievers import the host service's modules (stand-ins in service/).
    probe = python_in(
        [build_lib, PROJECT / "service"], "import community.retrievers.qor as m; print(m.__file__)", cwd=tmp_path,
    )
    assert probe.returncode == 0, probe.stderr
    assert Path(probe.stdout.strip()).parent == build_lib / "community" / "retrievers"

    assert (build_lib / "requirements.txt").read_bytes() == (PROJECT / "community" / "requirements.txt").read_bytes()
    model = PROJECT / "community" / "keyinfo_extractors" / "model"
    assert files_under(build_lib / "community" / "keyinfo_extractors" / "model") == files_under(model)
    if (PROJECT / "configs").is_dir():
        assert files_under(build_lib / "configs") == files_under(PROJECT / "configs")
    for stub in ("community/retrievers/qor.pyi", "community/models/cogsift.pyi", "community/py.typed"):
        assert (build_lib / stub).read_bytes() == (PROJECT / stub).read_bytes()
    # Nothing is written into the caller's working directory (the temporary
    # folder is made only when something is compiled).
    written = sorted(p.name for p in tmp_path.iterdir())
    assert written == ["lib", "temp"] or (reused and written == ["lib"])


QOR_SOURCE = """\
#include <pybind11/pybind11.h>
PYBIND11_MODULE(qor, m) { m.def("answer", [] { return 42; }); }
"""


@pytest.mark.integration
@pytest.mark.slow
def test_inplace_build_of_a_project_from_another_directory(project, elsewhere):
    write(project / "src" / "retrievers" / "qor_module.cpp", QOR_SOURCE)
    write(project / "community" / "requirements.txt", "requests>=2.31,<3\n")
    write(project / "configs" / "service.json", "old")
    script = project / "community" / "buildmint.py"
    # The Python modules are trivial; skip optimising them to keep this quick.
    env = dict(os.environ, CFLAGS="-O0 -g0")

    for generation in ("old", "new"):
        write(project / "configs" / "service.json", generation)
        result = run_script(script, "build_ext", "--inplace", "-j", "2", cwd=elsewhere, env=env)
        assert result.returncode == 0, result.stderr[-4000:]
        assert (project / "community" / "configs" / "service.json").read_text() == generation

    probe = python_in(
        [project], "import community.retrievers.qor as m; print(m.answer(), m.__file__)", cwd=elsewhere,
    )
    assert probe.returncode == 0, probe.stderr
    answer, location = probe.stdout.split()
    assert answer == "42"
    assert Path(location).parent == project / "community" / "retrievers"
    assert (project / "community" / "requirements.txt").read_text() == "requests>=2.31,<3\n"
    assert (project / "build").is_dir()
    assert not (elsewhere / "build").exists()
