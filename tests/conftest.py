"""Test-suite set-up shared by every test directory.

The package's modules import the host service's modules (`configs`,
`utils.*`, `oxa_vector_client`); the stand-ins for them live in `service/`.
"""
import os
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
for entry in (ROOT / "service", ROOT):
    if str(entry) not in sys.path:
        sys.path.insert(0, str(entry))

# tiktoken must never download its encoding: use the checked copy beside the
# project unless the environment already names one.
_shared = ROOT.parent / "shared" / "tiktoken"
if "TIKTOKEN_CACHE_DIR" not in os.environ and _shared.is_dir():
    os.environ["TIKTOKEN_CACHE_DIR"] = str(_shared)
