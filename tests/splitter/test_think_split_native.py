"""Builds and runs the native checks of the streaming reasoning splitter.

The C++ program (test_think_split.cpp) checks the documented examples and
compares the splitter with the plain reference on random streams.

Environment:
  COGSIFT_SPLIT_ITERS        random streams to compare (default 300000)
  COGSIFT_SPLIT_SEED         first seed (default 1)
  COGSIFT_SPLIT_BENCH_CHARS  length of the adversarial timing stream
                             (default 50000; 0 skips the timing report)
"""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

import native_build

pytestmark = pytest.mark.integration

HERE = Path(__file__).resolve().parent
SOURCE = HERE / "test_think_split.cpp"


@pytest.fixture(scope="module")
def program(tmp_path_factory):
    compiler = shutil.which("g++")
    if compiler is None:
        pytest.skip("g++ is not installed")
    # The modules' own flags, optimised less, warnings as errors.
    return native_build.build_program(SOURCE, tmp_path_factory.mktemp("think_split") / "test_think_split")


def test_splitter_matches_reference(program):
    iters = os.environ.get("COGSIFT_SPLIT_ITERS", "300000")
    seed = os.environ.get("COGSIFT_SPLIT_SEED", "1")
    bench_chars = os.environ.get("COGSIFT_SPLIT_BENCH_CHARS", "50000")
    args = [str(program), "--iters", iters, "--seed", seed]
    if int(bench_chars) > 0:
        args += ["--bench-chars", bench_chars]
    else:
        args.append("--no-bench")
    run = subprocess.run(args, capture_output=True, text=True, timeout=600)
    print(run.stdout)
    assert run.returncode == 0, f"exit status {run.returncode}\n{run.stdout}{run.stderr}"
    assert "examples: ok" in run.stdout
    assert f"differential: {int(iters)} streams" in run.stdout
