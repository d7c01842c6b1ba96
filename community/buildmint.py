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
import importlib.util
import os
import shutil
import threading
from pathlib import Path

from setuptools import Extension, setup

from distutils.ccompiler import gen_preprocess_options  # setuptools' own copy, imported above

try:
    from setuptools.modified import newer_group
except ImportError:  # setuptools before 69
    from distutils.dep_util import newer_group

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

# The C++ modules (src/build.json: name -> folder of its own sources; the
# binding helpers in src/bind are linked into every module) come from the
# project's build driver, tools/cxx_build.py, with their release flags; those
# flags apply to our own C++ modules only: the Cython-generated sources keep
# the interpreter's. COMMUNITY_WERROR=1 turns warnings into errors.
# The driver is loaded from this project's own tools/ folder, whatever copy
# of it the running process may have imported already.
_driver = importlib.util.spec_from_file_location("cxx_build", PROJECT_DIR / "tools" / "cxx_build.py")
cxx_build = importlib.util.module_from_spec(_driver)
_driver.loader.exec_module(cxx_build)

CXX_MODULES = list(cxx_build.CONFIG["modules"].items())


CXX_NAMES = {name for name, _ in CXX_MODULES}


class MyBuildExt(build_ext):
    """``build_ext`` that also copies the package's data files into the build output."""

    _pch_lock = threading.Lock()

    def build_extension(self, ext):
        # Our C++ modules' sources share a precompiled header (the driver's),
        # made once per build with the exact command that compiles them.
        if ext.name in CXX_NAMES and self._will_compile(ext):
            compiler = self.compiler
            # The preprocessor options as the compiler object makes them for
            # the sources (build_ext passes undefined macros as 1-tuples).
            macros = [*compiler.macros, *ext.define_macros, *((name,) for name in ext.undef_macros)]
            command = [*getattr(compiler, "compiler_so_cxx", compiler.compiler_so),
                       *gen_preprocess_options(macros, [*ext.include_dirs, *compiler.include_dirs]),
                       *ext.extra_compile_args]
            with self._pch_lock:
                flags = cxx_build.precompiled_header(command, self.build_temp)
            ext.extra_compile_args = [*ext.extra_compile_args, *flags]
        super().build_extension(ext)

    def _will_compile(self, ext):
        """What build_ext decides: a module older than one of its inputs (or a
        forced build) is compiled."""
        return self.force or newer_group([*ext.sources, *ext.depends], self.get_ext_fullpath(ext.name), "newer")

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
extensions += [ext for ext in (cxx_build.extension(*module) for module in CXX_MODULES) if ext is not None]

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
