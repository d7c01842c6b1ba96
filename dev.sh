#!/usr/bin/env bash
# Developer commands. Each one prepares everything it needs first: the
# virtual environment in .venv (created when missing, requirements installed
# when the requirement files changed), then an in-place build of the package.
#
#   ./dev.sh demo [args...]   run the demonstration (python -m hostkit.demo)
#   ./dev.sh test [args...]   run the test suite (args are passed to pytest)
#   ./dev.sh setup            prepare and build only
#   ./dev.sh bench [args...]  run the benchmarks (python bench/run.py; args go to it),
#                             after installing bench/requirements.txt into .venv
#
# Environment:
#   TIKTOKEN_CACHE_DIR  tokenizer data; defaults to ../shared/tiktoken when it exists
#   REDIS_URL           use this Redis instead of a private one started by the tests
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
cd "$ROOT"

VENV="$ROOT/.venv"
PY="$VENV/bin/python"
REQUIREMENT_FILES=(requirements-dev.txt requirements-build.txt community/requirements.txt service/requirements.txt)

say() { echo "dev.sh: $*" >&2; }

usage() {
    echo "usage: ./dev.sh {demo|test|setup|bench} [args...]" >&2
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
    bench)
        prepare
        ensure_bench_requirements
        exec "$PY" bench/run.py "$@"
        ;;
    *)
        usage
        ;;
esac
