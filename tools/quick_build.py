"""Incremental developer build of the C++ modules, in place.

The build script compiles every source of a module on each run; while
working on the C++ code this rebuilds only the objects whose source, headers
or flags changed (tools/cxx_build.py caches them), in parallel, and puts the
module next to its package:

    .venv/bin/python tools/quick_build.py [qor|cogsift ...]

The release build is still `python community/buildmint.py build_ext`.
"""
import sys

from cxx_build import install_in_place, modules

if __name__ == "__main__":
    for module in sys.argv[1:] or list(modules()):
        install_in_place(module, "release", log=print)
