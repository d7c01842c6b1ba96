"""Extension builds for the tests and fuzzers: the probe module and the
package's modules with their test hooks, plain or with AddressSanitizer and
UndefinedBehaviorSanitizer, through the project's build driver
(tools/cxx_build.py), which caches them under build/cxx/ (the in-place modules
are never replaced).

A sanitized module only loads into an interpreter that has the sanitizer
runtimes preloaded: `sanitizer_env()` gives the environment for such a
subprocess, or the reason it cannot be had on this machine.
"""
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))
from cxx_build import build_module, build_program, load, sanitizer_env  # noqa: E402,F401


def build(name, sanitize, log=None):
    """Path of module `name` ("bindprobe", "cogsift" or "qor"), built when
    its sources or flags changed since the last build."""
    return build_module(name, "sanitize" if sanitize else "plain", log=log, test_hooks=True)
