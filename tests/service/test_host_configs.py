import asyncio
import json
import logging
import os
import time

import pytest

import configs
from utils.logger import logger


def test_service_section_is_fresh_on_every_call():
    conf = configs.get_configs("service")
    assert {"qor_host", "external_retrieve_url", "default_token"} <= set(conf["qor_service"])
    assert conf["qor_service"]["external_retrieve_url"].format(7) == \
        "/qor/api/knowledge/knowledge-base/7/external-retrieve"
    assert {"url", "path", "collection", "vector_name"} <= set(conf["vector_db"])
    conf["qor_service"]["qor_host"] = "changed"
    assert configs.get_configs("service")["qor_service"]["qor_host"] != "changed"


@pytest.fixture
def conf_dir(tmp_path, monkeypatch):
    (tmp_path / "app.json").write_text(json.dumps({"a": {"b": 1, "s": "x"}, "flag": True}))
    monkeypatch.setenv("QOR_CONFIG_DIR", str(tmp_path))
    return tmp_path


@pytest.mark.parametrize("env, expected", [
    ({"QOR_CONF__app__a__b": "42"}, {"a": {"b": 42, "s": "x"}, "flag": True}),
    ({"QOR_CONF__app__a__b": "null"}, {"a": {"b": None, "s": "x"}, "flag": True}),
    ({"QOR_CONF__app__a__s": "http://h:1/x"}, {"a": {"b": 1, "s": "http://h:1/x"}, "flag": True}),
    ({"QOR_CONF__app__new__deep": '{"z": [1]}'}, {"a": {"b": 1, "s": "x"}, "flag": True, "new": {"deep": {"z": [1]}}}),
    ({"QOR_CONF__app__a": '{"c": 2}', "QOR_CONF__app__a__d": "3"}, {"a": {"c": 2, "d": 3}, "flag": True}),
])
def test_environment_overrides(conf_dir, monkeypatch, env, expected):
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    assert configs.get_configs("app") == expected


def test_bad_overrides_and_sections(conf_dir, monkeypatch):
    with pytest.raises(KeyError):
        configs.get_configs("absent")
    monkeypatch.setenv("QOR_CONF__absent__k", "v")
    assert configs.get_configs("absent") == {"k": "v"}
    monkeypatch.setenv("QOR_CONF__app__flag__x", "1")
    with pytest.raises(ValueError, match="not a mapping"):
        configs.get_configs("app")
    for bad in ["../service", "a/b", "", None]:
        with pytest.raises(ValueError):
            configs.get_configs(bad)


def test_section_file_is_kept_and_read_again_when_it_changes(conf_dir, monkeypatch, blockbuster):
    """Outside an event loop a due check is made in place; on a running loop
    the answer comes from memory and the check is left to another thread."""
    path = conf_dir / "app.json"
    assert configs.get_configs("app")["flag"] is True
    path.write_text(json.dumps({"flag": "second"}))
    os.utime(path, ns=(0, 0))  # a rewrite within one tick of the clock: size and ctime still differ
    assert configs.get_configs("app")["flag"] is True  # not yet due for a check
    monkeypatch.setattr(configs, "CHECK_SECONDS", 0.0)
    assert configs.get_configs("app")["flag"] == "second"

    path.write_text(json.dumps({"flag": "third!"}))

    async def on_loop():
        first = configs.get_configs("app")["flag"]  # blockbuster: no stat, no read here
        for _ in range(200):
            await asyncio.sleep(0.01)
            if configs.get_configs("app")["flag"] != first:
                break
        return first, configs.get_configs("app")["flag"]

    assert asyncio.run(on_loop()) == ("second", "third!")


def test_logger_writes_info_and_error_and_propagates(caplog):
    assert isinstance(logger, logging.Logger) and logger.level == logging.INFO
    assert logger.propagate and len(logger.handlers) == 1
    with caplog.at_level(logging.INFO, logger=logger.name):
        logger.info("External API URL: http://x")
        logger.error("External API call timeout")
    assert [(r.levelno, r.getMessage()) for r in caplog.records] == [
        (logging.INFO, "External API URL: http://x"), (logging.ERROR, "External API call timeout")]
