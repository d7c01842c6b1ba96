"""Short runs of the protocol fuzzer (fuzz_protocol.py; its long run is in
docs/fuzzing.md): every sequence must agree with the Python twins, on the probe
the other tests use and on a build with AddressSanitizer and
UndefinedBehaviorSanitizer."""
import subprocess
import sys
import warnings
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))

import native_build  # noqa: E402
from fuzz_protocol import fuzz, py_gather_in_order  # noqa: E402


def test_protocol_fuzzer_agrees_with_python(probe):
    lines = []
    assert fuzz(probe, 3000, seed="suite", out=lines.append) == 0, "\n".join(lines)


@pytest.mark.integration
@pytest.mark.slow
def test_protocol_fuzzer_under_sanitizers():
    env, reason = native_build.sanitizer_env()
    if env is None:
        pytest.skip(reason)
    path = native_build.build("bindprobe", sanitize=True)
    done = subprocess.run([sys.executable, str(HERE / "fuzz_protocol.py"), "--probe", str(path), "--sequences",
                           "1000", "--seed", "suite-asan"], env=env, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout[-4000:] + done.stderr[-4000:]
    assert "0 of 1000 sequences differed (sanitizer build" in done.stdout


class Awaited:
    """Awaited by a body: yields "tick" until sent "done"; its close raises
    `close_raises` (a class) when given; every call is logged."""

    def __init__(self, log, close_raises=None):
        self.log, self.close_raises = log, close_raises

    def __await__(self):
        return self

    def __next__(self):
        return self.send(None)

    def send(self, value):
        self.log.append(("send", value))
        if value == "done":
            raise StopIteration("result")
        return "tick"

    def throw(self, exc, *rest):
        self.log.append(("throw", type(exc).__name__ if isinstance(exc, BaseException) else exc.__name__))
        raise exc

    def close(self):
        self.log.append(("close",))
        if self.close_raises is not None:
            raise self.close_raises()


def outcome(fn, *args):
    try:
        return ("value", repr(fn(*args)))
    except StopIteration as e:
        return ("StopIteration", repr(e.value))
    except BaseException as e:  # noqa: BLE001
        return (type(e).__name__, str(e))


def first_send_refused(gather, log):
    c = gather([Awaited(log)])
    return [outcome(c.send, 1), outcome(c.send, None), outcome(c.send, "done")]


def stop_iteration_into_unstarted(gather, log):
    return [outcome(gather([]).throw, StopIteration("s"))]


def generator_exit_closes_the_awaited(gather, log):
    c = gather([Awaited(log)])
    return [outcome(c.send, None), outcome(c.throw, GeneratorExit)]


def close_errors_of_the_awaited(gather, log):
    steps = []
    for error in (GeneratorExit, StopIteration, KeyError):
        c = gather([Awaited(log, error)])
        steps += [outcome(c.send, None), outcome(c.close)]
    return steps


CORNERS = [first_send_refused, stop_iteration_into_unstarted, generator_exit_closes_the_awaited,
           close_errors_of_the_awaited]


@pytest.mark.parametrize("corner", CORNERS, ids=lambda f: f.__name__)
def test_coroutine_corners_like_python(probe, corner):
    from fuzz_protocol import py_gather_in_order

    ours, twin = [], []
    assert corner(probe.gather_in_order, ours) + ours == corner(py_gather_in_order, twin) + twin


# What changed between versions, as the drivers must answer on each:
# (case, answer up to 3.11, from 3.12, from 3.13)
VERSION_CASES = [
    # a throw into an unstarted frame leaves as it is from 3.12
    ("StopIteration into unstarted", ("RuntimeError", "coroutine raised StopIteration"), ("StopIteration", "'s'"),
     ("StopIteration", "'s'")),
    # a StopIteration out of the awaited's close is the awaited result from
    # 3.12, and the body goes on to its return, which close() hands back from 3.13
    ("close stopped by the awaited", ("RuntimeError", "coroutine raised StopIteration"), ("value", "None"),
     ("value", "[None]")),
    # the three-argument throw warns from 3.12
    ("three-argument throw", ("KeyError", "'k'"), ("DeprecationWarning", "the (type, exc, tb) signature of throw() is "
                                                   "deprecated, use the single-arg signature instead."),
     ("DeprecationWarning", "the (type, exc, tb) signature of throw() is deprecated, use the single-arg signature "
                            "instead.")),
]


@pytest.mark.parametrize("case, before, at_12, at_13", VERSION_CASES, ids=[c[0] for c in VERSION_CASES])
def test_answers_that_changed_between_versions(probe, case, before, at_12, at_13):
    expected = at_13 if sys.version_info >= (3, 13) else at_12 if sys.version_info >= (3, 12) else before
    for gather in (probe.gather_in_order, py_gather_in_order):
        log = []
        if case == "StopIteration into unstarted":
            got = outcome(gather([]).throw, StopIteration("s"))
        elif case == "close stopped by the awaited":
            c = gather([Awaited(log, StopIteration)])
            c.send(None)
            got = outcome(c.close)
        else:
            with warnings.catch_warnings():
                warnings.simplefilter("error", DeprecationWarning)
                c = gather([])
                got = outcome(c.throw, KeyError, KeyError("k"), None)
            c.close()  # (never started where the warning refused the throw)
        assert got == expected, gather


def test_async_generator_athrow_and_aclose_corners_like_python(probe):
    from fuzz_protocol import py_relay, Source

    def run(relay):
        log = []
        finished = relay(Source([]))
        steps = [outcome(finished.__anext__().send, None), outcome(finished.athrow(KeyError).send, None)]
        unstarted = relay(Source([Awaited(log)]))
        steps += [outcome(unstarted.aclose().throw, KeyError), outcome(unstarted.asend(None).send, None)]
        return steps + log

    assert run(probe.relay) == run(py_relay)
