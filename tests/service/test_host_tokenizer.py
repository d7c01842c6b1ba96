import os
import subprocess
import sys
from pathlib import Path

import pytest

from utils.tokenizer import custom_tokenizer, tokenize

SERVICE_DIR = Path(__file__).resolve().parents[2] / "service"


@pytest.mark.parametrize("question, expected", [
    ("如何配置QorDrive的API密钥?", ["配置", "QorDrive", "API", "密钥"]),
    ("How do I reset my password?", ["reset", "password"]),
    ("同步失败 error 502，同步又失败了 ERROR", ["同步", "失败", "error", "502"]),
    ("发票在哪里下载", ["发票", "下载"]),
    (["安装失败", "发票 下载 安装"], ["安装", "失败", "发票", "下载"]),
])
def test_keywords_in_order_without_stopwords_punctuation_or_duplicates(question, expected):
    assert custom_tokenizer(question, {""}) == expected


@pytest.mark.parametrize("question", ["", "   ", "的了吗？？", "what is the ... ?!", None])
def test_no_keywords_gives_the_sentinel(question):
    assert custom_tokenizer(question, set()) == [[-1]]


def test_user_words_come_out_whole():
    question = "港湾同步助手安装失败, Sync Agent 无法启动"
    plain = custom_tokenizer(question, set())
    assert "港湾同步助手" not in plain and "Sync Agent" not in plain
    got = custom_tokenizer(question, {"港湾同步助手", "Sync Agent", "", "  "})
    assert got[0] == "港湾同步助手"
    assert "Sync Agent" in got and "Sync" not in got and "Agent" not in got
    assert got.index("港湾同步助手") < got.index("安装") < got.index("Sync Agent")


def test_ascii_user_word_is_not_found_inside_longer_words():
    assert custom_tokenizer("apple app APP", {"app"}) == ["apple", "app"]


def test_user_dictionaries_do_not_change_text_analysis():
    before = tokenize("资料柜同步器启动慢")
    custom_tokenizer("资料柜同步器启动慢", {"资料柜同步器"})
    assert tokenize("资料柜同步器启动慢") == before
    assert "资料柜同步器" not in before


@pytest.mark.integration
def test_segmenter_start_up_is_quiet():
    code = "from utils.tokenizer import custom_tokenizer; print(custom_tokenizer('安装失败', set()))"
    out = subprocess.run([sys.executable, "-c", code], cwd=SERVICE_DIR, capture_output=True, text=True,
                         env=dict(os.environ, PYTHONPATH=str(SERVICE_DIR)), timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "['安装', '失败']"
    assert out.stderr == ""
