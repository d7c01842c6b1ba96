#!/usr/bin/env bash
# Developer commands. Each one prepares everything it needs first: the
# virtual environment in .venv (created when missing, requirements installed
# when the requirement files changed), then an in-place build of the package.
#
#   ./dev.sh demo [args...]   run the demonstration (python -m hostkit.demo)
#   ./dev.sh test [args...]   run the test suite (args are passed to pytest)
#   ./dev.sh setup            prepare and build only
#   ./dev.sh check            what CI runs: for each supported Python (3.10-3.13) build the
#                             wheel, install it into a fresh virtual environment and run the
#                             tests against it (the whole suite on $FULL_SUITE_PYTHONS, the
#                             unit tests on the others); fails when an interpreter is missing
#   ./dev.sh bench [args...]  run the benchmarks (python bench/run.py; args go to it),
#                             after installing bench/requirements.txt into .venv
#
# Environment:
#   TIKTOKEN_CACHE_DIR  tokenizer data; defaults to ../shared/tiktoken when it exists
#   REDIS_URL           use this Redis instead of a private one started by the tests
#   PYTHONS             versions `check` tests (default "3.10 3.11 3.12 3.13")
#   FULL_SUITE_PYTHONS  versions `check` runs the whole suite on (default "3.11")
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
cd "$ROOT"

VENV="$ROOT/.venv"
PY="$VENV/bin/python"
REQUIREMENT_FILES=(requirements-dev.txt requirements-build.txt community/requirements.txt service/requirements.txt)

say() { echo "dev.sh: $*" >&2; }

usage() {
    echo "usage: ./dev.sh {demo|test|check|setup|bench} [args...]" >&2
    exit 2
}

as_root() {
    if [[ $(id -u) -eq 0 ]]; then "$@"; else return 1; fi
}

apt_install() {
    say "installing $*"
    as_root apt-get update -qq &&
        DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq "$@" >/dev/null
}

python_has_headers() {
    python3 -c 'import os, sysconfig, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' 2>/dev/null
}

# Compiler, Python headers and venv support; installed through apt when
# missing and we may (root on a Debian-like system).
ensure_toolchain() {
    local missing=()
    command -v g++ >/dev/null || missing+=(g++)
    [[ -x "$PY" ]] || python3 -c 'import ensurepip' 2>/dev/null || missing+=(python3-venv)
    python_has_headers || missing+=(python3-dev)
    ((${#missing[@]} == 0)) && return 0
    if command -v apt-get >/dev/null && apt_install "${missing[@]}"; then
        return 0
    fi
    say "missing system packages: ${missing[*]} (install them, then retry)"
    exit 1
}

requirements_digest() {
    local file
    for file in "${REQUIREMENT_FILES[@]}"; do
        if [[ -f "$file" ]]; then sha256sum "$file"; fi
    done | sha256sum | cut -d' ' -f1
}

ensure_venv() {
    if [[ ! -x "$PY" ]]; then
        say "creating $VENV"
        python3 -m venv "$VENV"
    fi
    local stamp="$VENV/.requirements-installed" digest
    digest="$(requirements_digest)"
    if [[ ! -f "$stamp" || "$(cat "$stamp")" != "$digest" ]]; then
        say "installing requirements-dev.txt into .venv"
        "$PY" -m pip install -q --disable-pip-version-check -r requirements-dev.txt
        echo "$digest" >"$stamp"
    fi
}

build_inplace() {
    local log="$VENV/.build.log" jobs
    jobs="$(nproc 2>/dev/null || echo 2)"
    if ! "$PY" community/buildmint.py -q build_ext --inplace -j "$jobs" >"$log" 2>&1; then
        cat "$log" >&2
        say "build failed"
        exit 1
    fi
    # Compiler warnings are worth seeing even when the build succeeds.
    grep -i 'warning' "$log" >&2 || true
}

export_env() {
    if [[ -z "${TIKTOKEN_CACHE_DIR:-}" && -d "$ROOT/../shared/tiktoken" ]]; then
        TIKTOKEN_CACHE_DIR="$(cd "$ROOT/../shared/tiktoken" && pwd)"
        export TIKTOKEN_CACHE_DIR
    fi
    export PYTHONPATH="$ROOT:$ROOT/service${PYTHONPATH:+:$PYTHONPATH}"
}

# The tests start a private Redis on loopback unless REDIS_URL names one.
ensure_redis_server() {
    [[ -n "${REDIS_URL:-}" ]] && return 0
    command -v redis-server >/dev/null && return 0
    if command -v apt-get >/dev/null && apt_install redis-server; then
        return 0
    fi
    say "redis-server not found and REDIS_URL not set; the tests that need Redis will fail"
}

# The benchmarks' own requirements (plotting), kept out of the test set-up;
# installed again only when bench/requirements.txt changed.
ensure_bench_requirements() {
    local stamp="$VENV/.bench-requirements-installed" digest
    digest="$(sha256sum bench/requirements.txt | cut -d' ' -f1)"
    if [[ ! -f "$stamp" || "$(cat "$stamp")" != "$digest" ]]; then
        say "installing bench/requirements.txt into .venv"
        "$PY" -m pip install -q --disable-pip-version-check -r bench/requirements.txt
        echo "$digest" >"$stamp"
    fi
}

prepare() {
    ensure_toolchain
    ensure_venv
    build_inplace
    export_env
}

# The interpreter for version $1 (e.g. 3.10): python3.10 on PATH, else
# pyenv's versions folder. Fails with a message when there is none.
find_python() {
    local version="$1" candidate root
    root="$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")"
    for candidate in "$(command -v "python$version" 2>/dev/null)" "$root"/versions/"$version".*/bin/"python$version"; do
        if [[ -n "$candidate" && -x "$candidate" ]] &&
            [[ "$("$candidate" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)" == "$version" ]]; then
            echo "$candidate"
            return 0
        fi
    done
    say "Python $version not found (looked for python$version on PATH and in $root/versions/$version.*)"
    return 1
}

# Wheel for interpreter version $1 into build/wheels/, then a fresh
# environment build/check/$1 with it and the test requirements.
install_wheel() {
    local version="$1" python venv wheel tag start
    python="$(find_python "$version")" || return 1
    start=$SECONDS
    say "== Python $version ($python): building the wheel"
    tag="$("$python" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')"
    rm -f build/wheels/kestrelio_community-*-"$tag"-*.whl
    "$python" -m pip wheel -q --disable-pip-version-check --no-deps -w build/wheels . >"build/wheel-$version.log" 2>&1 ||
        { cat "build/wheel-$version.log" >&2; say "wheel build failed on $version"; return 1; }
    wheel="$(ls build/wheels/kestrelio_community-*-"$tag"-*.whl)"
    venv="build/check/$version"
    rm -rf "$venv"
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel" -r requirements-dev.txt
    say "== Python $version: $(basename "$wheel") installed in $(( SECONDS - start )) s"
}

# The tests ($2: "whole" or "unit") against the installed package of version $1.
run_checks() {
    local version="$1" scope="$2" start=$SECONDS marks=()
    [[ "$scope" == unit ]] && marks=(-m "not integration and not slow")
    # The whole suite compares the streaming split with its model on more
    # random streams than the unit set does.
    local streams=1000
    [[ "$scope" == whole ]] && streams=3000
    say "== Python $version: tests ($scope)"
    # Run from service/, not from the checkout's root: no process the tests
    # start (`python -c`, which puts its working directory on the path) may
    # import the checkout's `community` instead of the installed one.
    (cd service && COMMUNITY_TEST_INSTALLED=1 COGSIFT_EQUIV_STREAMS=$streams "../build/check/$version/bin/python" -m pytest -q -p no:cacheprovider \
        -c ../pytest.ini --rootdir .. --durations=15 "${marks[@]}" ../tests) ||
        { say "tests failed on Python $version"; return 1; }
    say "== Python $version: tests ($scope) passed in $(( SECONDS - start )) s"
}

# Every version: the whole suite runs in the background on the first of
# $FULL_SUITE_PYTHONS while the other wheels build and their unit tests run
# (the whole suite spends most of its time waiting on servers and deadlines,
# the wheel builds on the compiler). Its output is printed when it ends.
check_all() {
    local version status=0 failed=() versions=(${PYTHONS:-3.10 3.11 3.12 3.13})
    local full=" ${FULL_SUITE_PYTHONS:-3.11} " background=() pids=()
    mkdir -p build/wheels build/check
    for version in "${versions[@]}"; do
        find_python "$version" >/dev/null || exit 1
    done
    for version in "${versions[@]}"; do
        [[ "$full" == *" $version "* ]] || continue
        if install_wheel "$version"; then
            run_checks "$version" whole >"build/check-$version.log" 2>&1 &
            background+=("$version")
            pids+=($!)
        else
            status=1
            failed+=("$version")
        fi
    done
    for version in "${versions[@]}"; do
        [[ "$full" == *" $version "* ]] && continue
        { install_wheel "$version" && run_checks "$version" unit; } || { status=1; failed+=("$version"); }
    done
    local i
    for i in "${!pids[@]}"; do
        wait "${pids[$i]}" || { status=1; failed+=("${background[$i]}"); }
        say "== Python ${background[$i]}: whole suite output"
        cat "build/check-${background[$i]}.log" >&2
    done
    ((status == 0)) || say "failed on Python ${failed[*]}"
    return $status
}

command="${1:-}"
[[ $# -gt 0 ]] && shift
case "$command" in
    demo)
        prepare
        exec "$PY" -m hostkit.demo "$@"
        ;;
    test)
        prepare
        ensure_redis_server
        exec "$PY" -m pytest -q "$@"
        ;;
    setup)
        prepare
        ;;
    check)
        ensure_toolchain
        ensure_redis_server
        export_env
        unset PYTHONPATH
        check_all
        ;;
    bench)
        prepare
        ensure_bench_requirements
        exec "$PY" bench/run.py "$@"
        ;;
    *)
        usage
        ;;
esac
