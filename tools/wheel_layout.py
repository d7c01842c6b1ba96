"""The wheel's install step: the `community` package and nothing beside it.

The build command leaves its release layout in the build output: the compiled
package, and beside it the host's configuration tree and requirements.txt. A
service installs the package into an environment it shares with its own
modules, so the wheel takes only the `community` tree from the build output,
without the compiled build script (importing it would run a build).
"""
import os
from pathlib import Path

from setuptools.command.install_lib import install_lib

PACKAGE = "community"
LEFT_OUT = ("buildmint.",)  # compiled names start with the module's name


class InstallPackageOnly(install_lib):
    def install(self):
        source = Path(self.build_dir) / PACKAGE
        if not source.is_dir():
            self.warn(f"{source} is missing: nothing to install")
            return []
        target = Path(self.install_dir) / PACKAGE
        outfiles = self.copy_tree(str(source), str(target))
        kept = []
        for path in outfiles:
            if Path(path).parent == target and Path(path).name.startswith(LEFT_OUT):
                os.remove(path)
            else:
                kept.append(path)
        return kept
