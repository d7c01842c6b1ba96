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

The files are read again on every call and every call returns a new plain dict,
which the caller may change freely.
"""
import json
import os
import re
from pathlib import Path

__all__ = ["get_configs", "config_dir", "ENV_PREFIX"]

ENV_PREFIX = "QOR_CONF__"
_DEFAULT_DIR = Path(__file__).resolve().parent.parent / "configs"
_SECTION_RE = re.compile(r"^[A-Za-z0-9][A-Za-z0-9_.-]*$")


def config_dir():
    """Directory holding the section files."""
    return Path(os.environ.get("QOR_CONFIG_DIR") or _DEFAULT_DIR)


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
    if path.is_file():
        with open(path, encoding="utf-8") as fh:
            data = json.load(fh)
        if not isinstance(data, dict):
            raise ValueError("configuration file %s does not hold a JSON object" % path)
    elif overrides:
        data = {}
    else:
        raise KeyError("configuration section %r not found (looked for %s)" % (section, path))
    for key_path, value in overrides:
        _apply(data, key_path, value, section)
    return data
