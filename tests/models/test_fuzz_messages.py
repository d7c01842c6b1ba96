"""Short runs of the message fuzzer (fuzz_messages.py; its long run is in
docs/fuzzing.md): the direct attribute paths agree with the plain ones on
hostile messages, on the build with the test hooks (tests/hooks_build.py) and
on one with AddressSanitizer and UndefinedBehaviorSanitizer as well."""
import subprocess
import sys
from pathlib import Path

import pytest

from community.models import cogsift

from . import fuzz_messages
from .fuzz_messages import native_build


@pytest.mark.test_hooks
def test_message_fuzzer_agrees_with_the_plain_paths(memory_store):
    lines = []
    assert fuzz_messages.fuzz(cogsift, 1000, seed="suite", out=lines.append) is None, "\n".join(lines)


@pytest.mark.integration
@pytest.mark.slow
def test_message_fuzzer_under_sanitizers():
    env, reason = native_build.sanitizer_env()
    if env is None:
        pytest.skip(reason)
    path = native_build.build("cogsift", sanitize=True)
    done = subprocess.run([sys.executable, fuzz_messages.__file__, "--module", str(path), "--sanitize", "--cases",
                           "300", "--seed", "suite-asan"], env=env, capture_output=True, text=True, timeout=600,
                          cwd=Path(fuzz_messages.ROOT))
    assert done.returncode == 0, done.stdout[-4000:] + done.stderr[-4000:]
    assert "300 cases agreed (sanitizer build" in done.stdout
