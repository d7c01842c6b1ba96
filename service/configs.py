"""Configuration store of the service.

Every section lives in its own JSON file, ``<config dir>/<section>.json``.  The
config dir is the project's ``configs/`` directory unless the environment
variable ``QOR_CONFIG_DIR`` names another one.

Single entries can be overridden from the environment::

    QOR_CONF__<section>__<key>[__<subkey>...]=<value>

for example ``QOR_CONF__service__qor_service__qor_host=http://10.0.0.5:8000``.
The value is parsed as JSON when it parses (``null``, ``30``, ``{"a": 1}``,
``"text"``) and taken as a plain string otherwise.  Intermediate mappings are
created when missing.  Overrides are applied in the sorted order of the
variable names, so a whole-mapping override is applied before overrides of its
entries.

Every call returns a new plain dict, which the caller may change freely. The
files themselves are kept in memory once read and read again when they change:
a file is checked (its size, times and inode, one ``os.stat``) at most once per
``CHECK_SECONDS``. A call made on a thread whose event loop is running never
touches the disk once its section has been read: it answers from memory and
leaves the check to a background thread, so a change shows there one check
later; a call from any other thread checks in place.
"""
import asyncio
import concurrent.futures
import json
import os
import re
import stat
import time
from pathlib import Path

__all__ = ["get_configs", "config_dir", "ENV_PREFIX"]

ENV_PREFIX = "QOR_CONF__"
_DEFAULT_DIR = Path(__file__).resolve().parent.parent / "configs"
_SECTION_RE = re.compile(r"^[A-Za-z0-9][A-Za-z0-9_.-]*$")


def config_dir():
    """Directory holding the section files."""
    return Path(os.environ.get("QOR_CONFIG_DIR") or _DEFAULT_DIR)


# Seconds between two checks of one section file.
CHECK_SECONDS = 1.0


class _Entry:
    """One section file as last read: its stat signature (None: no such file),
    its JSON text (None: no such file) and when it was last checked."""

    __slots__ = ("signature", "text", "checked")

    def __init__(self, signature, text):
        self.signature, self.text, self.checked = signature, text, time.monotonic()


_files = {}  # path -> _Entry
_checker = None  # one thread checking files for calls made on event loops


def _signature(path):
    try:
        st = os.stat(path)
    except (FileNotFoundError, NotADirectoryError):
        return None
    if not stat.S_ISREG(st.st_mode):
        return None
    return st.st_ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns


def _load(path):
    signature = _signature(path)
    text = None
    if signature is not None:
        with open(path, encoding="utf-8") as fh:
            data = json.load(fh)
        if not isinstance(data, dict):
            raise ValueError("configuration file %s does not hold a JSON object" % path)
        text = json.dumps(data)
    entry = _files[path] = _Entry(signature, text)
    return entry


def _check(path, entry):
    """The entry of ``path``, read again if the file changed since ``entry``."""
    try:
        return entry if _signature(path) == entry.signature else _load(path)
    except BaseException:
        # The next call reads the file in place and reports what is wrong.
        _files.pop(path, None)
        raise


def _check_later(path, entry):
    global _checker
    if _checker is None:
        _checker = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="configs-check")
    _checker.submit(_check, path, entry)


def _forget_checker():
    global _checker
    _checker = None  # a forked child has no thread behind the parent's


os.register_at_fork(after_in_child=_forget_checker)


def _section_text(path):
    """JSON text of the section file at ``path``, or None when there is none."""
    entry = _files.get(path)
    if entry is None:
        return _load(path).text
    now = time.monotonic()
    if now - entry.checked >= CHECK_SECONDS:
        entry.checked = now
        if asyncio._get_running_loop() is None:
            entry = _check(path, entry)
        else:
            _check_later(path, entry)
    return entry.text


def _parse_value(text):
    try:
        return json.loads(text)
    except ValueError:
        return text


def _env_overrides(section):
    prefix = ENV_PREFIX + section + "__"
    found = []
    for name in sorted(os.environ):
        if name.startswith(prefix):
            path = name[len(prefix):].split("__")
            if any(not part for part in path):
                raise ValueError("malformed configuration override variable: " + name)
            found.append((path, _parse_value(os.environ[name])))
    return found


def _apply(data, path, value, section):
    node = data
    for depth, part in enumerate(path[:-1]):
        child = node.get(part)
        if child is None:
            child = node[part] = {}
        elif not isinstance(child, dict):
            where = ".".join([section] + path[: depth + 1])
            raise ValueError("cannot override below %s: it is not a mapping" % where)
        node = child
    node[path[-1]] = value


def get_configs(section):
    """Return the configuration section ``section`` as a new plain dict."""
    if not isinstance(section, str) or not _SECTION_RE.match(section):
        raise ValueError("invalid configuration section name: %r" % (section,))
    path = config_dir() / (section + ".json")
    overrides = _env_overrides(section)
    text = _section_text(path)
    if text is not None:
        data = json.loads(text)
    elif overrides:
        data = {}
    else:
        raise KeyError("configuration section %r not found (looked for %s)" % (section, path))
    for key_path, value in overrides:
        _apply(data, key_path, value, section)
    return data
