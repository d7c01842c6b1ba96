"""Keyword extraction for Chinese, English and mixed questions.

Two word segmenters are kept, both private instances (the module-level
segmenter of the word-segmentation library is never touched):

* the keyword segmenter of ``custom_tokenizer``, which learns the words of
  every user dictionary it is given;
* the analysis segmenter of ``tokenize``, which keeps its stock dictionary so
  that text features derived from it (embeddings, sparse vectors) do not
  depend on which questions were asked before.
"""
import logging
import re
import threading
from pathlib import Path

import jieba

__all__ = ["custom_tokenizer", "tokenize", "is_stopword", "STOPWORDS", "NO_KEYWORDS"]

# Silence the segmenter's start-up lines ("Building prefix dict ...").
jieba.setLogLevel(logging.WARNING)

NO_KEYWORDS = [[-1]]

_STOPWORDS_FILE = Path(__file__).with_name("stopwords.txt")
# A token is content only if it holds a letter or a digit (underscore excluded).
_CONTENT_RE = re.compile(r"[^\W_]")
_NOT_LEARNED_RE = re.compile(r"[A-Za-z0-9\s]")


def _load_stopwords(path):
    words = set()
    with open(path, encoding="utf-8") as fh:
        for line in fh:
            word = line.strip()
            if word and not word.startswith("#"):
                words.add(word.lower())
    return frozenset(words)


STOPWORDS = _load_stopwords(_STOPWORDS_FILE)


def is_stopword(token):
    return token.lower() in STOPWORDS


def _is_content(token):
    return bool(_CONTENT_RE.search(token)) and not is_stopword(token.strip())


class _Segmenter:
    """A lazily initialised private segmenter."""

    def __init__(self):
        self._tokenizer = None
        self._lock = threading.Lock()

    def get(self):
        if self._tokenizer is None:
            with self._lock:
                if self._tokenizer is None:
                    tok = jieba.Tokenizer()
                    tok.initialize()
                    self._tokenizer = tok
        return self._tokenizer


_keyword_segmenter = _Segmenter()
_analysis_segmenter = _Segmenter()
_learned_words = set()
_learn_lock = threading.Lock()


def _ascii_alnum(ch):
    return ch.isascii() and ch.isalnum()


def _user_word_pattern(words):
    """Regex finding the user words in a text, longest first.

    Words are matched case-insensitively; a word that begins (ends) with an
    ASCII letter or digit must not be glued to another one on that side, so
    "app" is not found inside "apple".
    """
    parts = []
    for word in sorted(words, key=lambda w: (-len(w), w)):
        part = re.escape(word)
        if _ascii_alnum(word[0]):
            part = r"(?<![A-Za-z0-9])" + part
        if _ascii_alnum(word[-1]):
            part = part + r"(?![A-Za-z0-9])"
        parts.append(part)
    return re.compile("|".join(parts), re.IGNORECASE)


def _learn(tokenizer, words):
    # Only words without ASCII letters, digits or whitespace go into the
    # dictionary: an ASCII entry such as "app" would make the segmenter cut
    # "apple" into "app" + "le".  Every user word is kept whole by the
    # pre-split in custom_tokenizer anyway.
    new = [w for w in words if w not in _learned_words and not _NOT_LEARNED_RE.search(w)]
    if not new:
        return
    with _learn_lock:
        for word in new:
            if word not in _learned_words:
                tokenizer.add_word(word)
                _learned_words.add(word)


def custom_tokenizer(question, user_dict):
    """Keywords of ``question``, in order of appearance, without duplicates.

    ``user_dict`` is a collection of words (empty or blank ones are ignored)
    that are kept whole: each comes out as one keyword, spelled as in the
    dictionary.  Punctuation, whitespace and stopwords are dropped; duplicates
    are recognised case-insensitively and the first spelling is kept.
    Returns ``[[-1]]`` when the question has no keyword.  A list of questions
    gives the keywords of all of them.
    """
    if question is None:
        question = ""
    if isinstance(question, (list, tuple)) and all(isinstance(q, str) for q in question):
        question = "\n".join(question)
    if not isinstance(question, str):
        raise TypeError("question must be a text, not %s" % type(question).__name__)
    words = {w.strip() for w in (user_dict or ()) if isinstance(w, str) and w.strip()}
    tokenizer = _keyword_segmenter.get()
    if words:
        _learn(tokenizer, words)

    pieces = []
    if words:
        by_lower = {}
        for word in sorted(words):
            by_lower.setdefault(word.lower(), word)
        pos = 0
        for match in _user_word_pattern(words).finditer(question):
            pieces.extend(tokenizer.cut(question[pos:match.start()]))
            pieces.append(by_lower[match.group(0).lower()])
            pos = match.end()
        pieces.extend(tokenizer.cut(question[pos:]))
    else:
        pieces = tokenizer.cut(question)

    keywords, seen = [], set()
    for token in pieces:
        token = token.strip()
        if not token or not _is_content(token):
            continue
        folded = token.lower()
        if folded not in seen:
            seen.add(folded)
            keywords.append(token)
    return keywords if keywords else NO_KEYWORDS


def tokenize(text, drop_stopwords=True):
    """Lower-cased content tokens of ``text`` in order, duplicates kept.

    Uses the stock dictionary only, so the result depends on the text alone.
    """
    tokens = []
    for token in _analysis_segmenter.get().cut(text or ""):
        token = token.strip().lower()
        if not token or not _CONTENT_RE.search(token):
            continue
        if drop_stopwords and token in STOPWORDS:
            continue
        tokens.append(token)
    return tokens
