#!/usr/bin/env bash
# Builds the C++ modules for other interpreters and runs the fast tests with
# each, e.g. the oldest and the newest the service supports:
#
#   tools/other_pythons.sh python3.10 python3.13
#
# Each interpreter gets its own virtual environment under build/pythons/; the
# modules are built in place next to the 3.11 ones (the file names carry the
# interpreter's tag).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
export TIKTOKEN_CACHE_DIR="${TIKTOKEN_CACHE_DIR:-$(cd "$ROOT/../shared/tiktoken" 2>/dev/null && pwd || true)}"
status=0
for python in "$@"; do
    venv="build/pythons/$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
    [[ -x "$venv/bin/python" ]] || "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check -r requirements-dev.txt
    "$venv/bin/python" tools/quick_build.py
    echo "== $("$venv/bin/python" --version)"
    "$venv/bin/python" -m pytest -q -p no:cacheprovider -m "not slow" || status=1
done
exit $status
