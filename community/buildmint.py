"""Build script of the ``community`` package.

Compiles the package's Python modules (through Cython) and its C++ modules
into extension modules, then copies the package's data files into the build
output:

    python community/buildmint.py build_ext --inplace   # modules next to their sources
    python community/buildmint.py build_ext             # release build under build/lib.*

The build always runs in the project root (the directory holding the
``community`` package), whatever the caller's working directory, so relative
paths given on the command line (``--build-lib``, ``--build-temp``) are taken
relative to that root.
"""
import json
import os
import shutil
from glob import glob
from pathlib import Path

from setuptools import Extension, setup

import pybind11
from pybind11.setup_helpers import ParallelCompile
from Cython.Build import cythonize
from Cython.Distutils import build_ext

# community/ (this script's directory) and the project root above it.
PACKAGE_DIR = Path(os.path.abspath(__file__)).parent
PROJECT_DIR = PACKAGE_DIR.parent

os.chdir(PROJECT_DIR)

# Compile the sources of one module in parallel (one job per CPU unless
# COMMUNITY_BUILD_JOBS says otherwise); `-j N` parallelises across modules.
ParallelCompile("COMMUNITY_BUILD_JOBS").install()

# src/build.json: the C++ modules (name -> folder of its own sources; the
# binding helpers in src/bind are linked into every module; a module is built
# as soon as its folder holds a .cpp file) and their flags, which apply to our
# own C++ modules only: the Cython-generated sources keep the interpreter's.
# Modules carry no debug information.
BUILD_CONFIG = json.loads((PROJECT_DIR / "src" / "build.json").read_text())
CXX_FLAGS = BUILD_CONFIG["cxx_flags"] + BUILD_CONFIG["release_flags"]
if os.environ.get("COMMUNITY_WERROR") == "1":
    CXX_FLAGS.append("-Werror")
CXX_MODULES = list(BUILD_CONFIG["modules"].items())


def cxx_extension(name, source_dir):
    """Extension for a C++ module, or None while its folder has no source."""
    own_sources = sorted(glob(f"{source_dir}/*.cpp"))
    if not own_sources:
        return None
    return Extension(
        name,
        sources=own_sources + sorted(glob("src/bind/*.cpp")),
        include_dirs=["src", pybind11.get_include()],
        # a changed header rebuilds the module
        depends=sorted(glob("src/**/*.h", recursive=True) + glob("src/**/*.hpp", recursive=True)),
        language="c++",
        extra_compile_args=CXX_FLAGS,
        extra_link_args=BUILD_CONFIG["link_flags"],
    )


class MyBuildExt(build_ext):
    """``build_ext`` that also copies the package's data files into the build output."""

    def run(self):
        super().run()
        build_dir = Path(self.build_lib)
        root_dir = PACKAGE_DIR
        target_dir = root_dir if self.inplace else build_dir
        self.deep_copy_file("configs", PROJECT_DIR, target_dir)
        self.copy_file("requirements.txt", root_dir, target_dir)
        self.deep_copy_file("community/keyinfo_extractors/model", PROJECT_DIR, target_dir)
        if not self.inplace:
            self.copy_type_information(build_dir)

    def copy_type_information(self, destination_dir):
        """Ship the type stubs (``*.pyi``) and the ``py.typed`` marker beside the compiled modules.

        An in-place build already has them next to its modules.
        """
        for source in sorted(PACKAGE_DIR.rglob("*.pyi")) + sorted(PACKAGE_DIR.rglob("py.typed")):
            relative = source.relative_to(PROJECT_DIR)
            (Path(destination_dir) / relative).parent.mkdir(parents=True, exist_ok=True)
            self.copy_file(relative, PROJECT_DIR, destination_dir)

    def copy_file(self, path, source_dir, destination_dir):
        """Copy the file ``source_dir/path`` to ``destination_dir/path``.

        A missing source is skipped; the destination's directory must exist.
        A file is never copied onto itself (an in-place build copies data
        files into the package directory they may come from).
        """
        source = Path(source_dir) / path
        destination = Path(destination_dir) / path
        if not source.exists():
            return
        if destination.exists() and os.path.samefile(source, destination):
            return
        shutil.copyfile(str(source), str(destination))

    def deep_copy_file(self, path, src_dir, dst_dir):
        """Recreate the tree ``src_dir/path`` (files and directories) under ``dst_dir/path``.

        A missing tree copies nothing. Directory links are not followed.
        """
        src_dir = Path(src_dir)
        for dirpath, _dirnames, filenames in os.walk(str(src_dir / path)):
            cur_src_dir = Path(dirpath)
            cur_dst_dir = Path(dst_dir) / cur_src_dir.relative_to(src_dir)
            if not cur_dst_dir.exists():
                os.makedirs(str(cur_dst_dir))
            for filename in filenames:
                self.copy_file(filename, cur_src_dir, cur_dst_dir)


extensions = [
    Extension("kestrelio_community.*", ["community/*.py"]),
    Extension("kestrelio_community.document_loaders.*", ["community/document_loaders/*.py"]),
    Extension("kestrelio_community.embeddings.*", ["community/embeddings/*.py"]),
    Extension("kestrelio_community.graphs.*", ["community/graphs/*.py"]),
    Extension("kestrelio_community.models.*", ["community/models/*.py"]),
    Extension("kestrelio_community.retrievers.*", ["community/retrievers/*.py"]),
    Extension("kestrelio_community.text_splitters.*", ["community/text_splitters/*.py"]),
    Extension("kestrelio_community.vectorstores.*", ["community/vectorstores/*.py"]),
]
extensions += [ext for ext in (cxx_extension(*module) for module in CXX_MODULES) if ext is not None]

setup(
    name="kestrelio-community",
    author="kestrelio",
    version="1.0.0",
    ext_modules=cythonize(
        extensions,
        build_dir="build",
        compiler_directives={"always_allow_keywords": True, "language_level": 3},
    ),
    cmdclass={"build_ext": MyBuildExt},
)
