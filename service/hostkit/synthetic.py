"""Synthetic passages for large collections: random runs of the demonstration
corpus's words, with the vectors the host kit's encoders give them.

Encoding a text whole costs milliseconds (segmentation, feature hashing in
Python); a passage made of whole vocabulary words is encoded here from
per-word parts with numpy, which gives the same dense and BM25 vectors
(``agreement`` checks it on a sample) about ten times faster.
"""
import random
import time
from collections import Counter

import numpy as np
from qdrant_client.http import models as qm

from hostkit.bm25 import Bm25Encoder
from hostkit.corpus import load_corpus
from hostkit.embeddings import HashingEmbeddings, text_features
from hostkit.hashing import stable_hash64, term_id
from utils import dbs
from utils.tokenizer import tokenize

WORDS_PER_PASSAGE = 40


def vocabulary():
    """Words of the corpus that the segmenter gives back whole alone."""
    words = sorted({t for p in load_corpus() for t in tokenize(p["text"])})
    return [w for w in words if tokenize(w) == [w] and w.isalnum()]


class WordEncoder:
    """The host kit's dense embedding and BM25 vectors of a text made of whole
    vocabulary words separated by spaces, summed from per-word parts."""

    def __init__(self, words, dim=256, bm25=None):
        self.dim = dim
        self.bm25 = bm25 or Bm25Encoder()
        table = {}
        self.word_features = {}
        for w in words:
            counter = text_features(w)
            ids = [table.setdefault(f, len(table)) for f in counter]
            self.word_features[w] = (np.array(ids), np.array(list(counter.values())))
        hashes = [stable_hash64(f) for f in table]
        self.slot = np.array([h % dim for h in hashes])
        self.sign = np.array([1.0 if (h >> 63) & 1 else -1.0 for h in hashes])
        self.n_features = len(table)
        self.term_ids = {w: term_id(w) for w in words}

    def dense(self, words):
        parts = [self.word_features[w] for w in words]
        weights = np.bincount(np.concatenate([p[0] for p in parts]), np.concatenate([p[1] for p in parts]),
                              minlength=self.n_features)
        present = weights.nonzero()[0]
        w = weights[present]
        values = np.where(w > 1.0, 1.0 + np.log(np.maximum(w, 1.0)), w) * self.sign[present]
        vec = np.bincount(self.slot[present], values, minlength=self.dim)
        return (vec / np.linalg.norm(vec)).tolist()

    def sparse_query(self, words):
        indices = sorted({self.term_ids[w] for w in words})
        return {"indices": indices, "values": [1.0] * len(indices)}

    def sparse(self, words):
        b = self.bm25
        norm = b.k1 * (1.0 - b.b + b.b * len(words) / b.avg_len)
        merged = {}
        for w, tf in Counter(words).items():
            idx = self.term_ids[w]
            merged[idx] = merged.get(idx, 0.0) + tf * (b.k1 + 1.0) / (tf + norm)
        indices = sorted(merged)
        return {"indices": indices, "values": [merged[i] for i in indices]}

    def agreement(self, rnd, samples=20):
        """Share of random passages whose vectors equal the whole-text ones."""
        words, emb, bm25, same = list(self.term_ids), HashingEmbeddings(self.dim), self.bm25, 0
        for _ in range(samples):
            passage = [rnd.choice(words) for _ in range(WORDS_PER_PASSAGE)]
            text = " ".join(passage)
            dense_ok = np.allclose(self.dense(passage), emb.embed_query(text), atol=1e-9)
            same += dense_ok and self.sparse(passage) == bm25.encode_document(text)
        return same / samples


def load(store, count, encoder=None, seed=0, batch=1000, progress=None, optimize=True):
    """Write ``count`` synthetic passages (point ids 0..count-1, metadata
    "doc_id" "synthetic-<n>") into ``store``'s collection, then bring its
    indexes up to date unless ``optimize`` is false.  ``progress(done,
    count)`` after each batch."""
    encoder = encoder or WordEncoder(vocabulary())
    words, rnd = list(encoder.term_ids), random.Random(seed)
    for first in range(0, count, batch):
        points = []
        for n in range(first, min(count, first + batch)):
            passage = [rnd.choice(words) for _ in range(WORDS_PER_PASSAGE)]
            points.append(qm.PointStruct(
                id=n, vector={store.vector_name: encoder.dense(passage),
                              "bm25": qm.SparseVector(**encoder.sparse(passage))},
                payload={"page_content": " ".join(passage),
                         "metadata": {"doc_id": "synthetic-%d" % n, "title": "synthetic passage"}}))
        with dbs.client_session() as client:
            client.upsert(store.collection_name, points=points, wait=True)
        if progress is not None:
            progress(min(count, first + batch), count)
    if optimize:
        store.optimize()


def progress_bar(label, stream):
    """A ``progress`` callback drawing one line on ``stream``."""
    started = time.perf_counter()

    def show(done, total):
        width = 30
        filled = width * done // max(total, 1)
        rate = done / max(time.perf_counter() - started, 1e-9)
        stream.write("\r%s [%s%s] %d/%d (%.0f/s)" % (label, "#" * filled, "." * (width - filled), done, total, rate))
        if done >= total:
            stream.write("\n")
        stream.flush()
    return show


__all__ = ["WORDS_PER_PASSAGE", "WordEncoder", "load", "progress_bar", "vocabulary"]
