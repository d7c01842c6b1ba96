"""Deterministic dense embedding built from hashed text features."""
import math
import re
from collections import Counter
from typing import List

from langchain_core.embeddings import Embeddings

from hostkit.hashing import stable_hash64
from utils.tokenizer import tokenize

_RUN_RE = re.compile(r"[^\W_]+")
_ASCII_RE = re.compile(r"^[a-z0-9]+$")


def text_features(text):
    """Weighted features of a text: words, and character n-grams.

    * every content word (segmenter token, lower-cased, stopwords dropped);
    * character bigrams of every run of non-ASCII letters (catches Chinese
      words the segmenter cut differently);
    * character trigrams of every ASCII word padded with "<" and ">" (catches
      inflections such as install / installing).
    """
    features = Counter()
    for token in tokenize(text):
        features["w:" + token] += 1.0
    lowered = (text or "").lower()
    for run in _RUN_RE.findall(lowered):
        if _ASCII_RE.match(run):
            padded = "<" + run + ">"
            for i in range(len(padded) - 2):
                features["a:" + padded[i:i + 3]] += 0.25
        else:
            for piece in re.split(r"[a-z0-9]+", run):
                for i in range(len(piece) - 1):
                    features["c:" + piece[i:i + 2]] += 0.5
                if len(piece) == 1:
                    features["c:" + piece] += 0.5
    return features


class HashingEmbeddings(Embeddings):
    """Signed feature hashing into ``dim`` dimensions, L2-normalised.

    The same text gives the same vector in every process; nothing is
    downloaded.  Each feature weight is dampened as 1 + log(weight) when above 1.
    """

    def __init__(self, dim: int = 256):
        if dim < 8:
            raise ValueError("dim must be at least 8")
        self.dim = dim

    def _embed(self, text: str) -> List[float]:
        if not isinstance(text, str):
            raise TypeError("text must be a str, not %s" % type(text).__name__)
        features = text_features(text) or Counter({"empty:": 1.0})
        vec = [0.0] * self.dim
        for feature, weight in features.items():
            h = stable_hash64(feature)
            sign = 1.0 if (h >> 63) & 1 else -1.0
            value = 1.0 + math.log(weight) if weight > 1.0 else weight
            vec[h % self.dim] += sign * value
        norm = math.sqrt(sum(v * v for v in vec))
        if norm == 0.0:  # all features cancelled out
            vec[stable_hash64(text) % self.dim] = 1.0
            return vec
        return [v / norm for v in vec]

    def embed_documents(self, texts: List[str]) -> List[List[float]]:
        return [self._embed(t) for t in texts]

    def embed_query(self, text: str) -> List[float]:
        return self._embed(text)
