"""Entry point of `pip install .`, `pip wheel .` and `python -m build`.

The package's build script is community/buildmint.py; this file runs it, so a
wheel is compiled by the same setup call, extension list, flags and build
command as a release build. The one thing added is the wheel's install step
(tools/wheel_layout.py), which takes the `community` tree from the build output
and leaves out what the release layout puts beside it.
"""
import runpy
import sys
from pathlib import Path

import setuptools

ROOT = Path(__file__).resolve().parent
sys.path.insert(0, str(ROOT / "tools"))
from wheel_layout import InstallPackageOnly  # noqa: E402

_setup = setuptools.setup


def setup_with_wheel_layout(**kwargs):
    kwargs["cmdclass"] = {**kwargs.get("cmdclass", {}), "install_lib": InstallPackageOnly}
    return _setup(**kwargs)


setuptools.setup = setup_with_wheel_layout
runpy.run_path(str(ROOT / "community" / "buildmint.py"), run_name="__main__")
