"""The "bm25" sparse encoder.

Documents get BM25 term-frequency weights; the inverse document frequency is
left to the database (the collection's sparse vector uses the IDF modifier).
Queries get weight 1 per distinct term.  Term ids are stable 31-bit hashes.
"""
from collections import Counter

from hostkit.hashing import term_id
from utils.tokenizer import tokenize


class Bm25Encoder:
    def __init__(self, k1=1.2, b=0.75, avg_len=48.0):
        if k1 < 0 or not 0 <= b <= 1 or avg_len <= 0:
            raise ValueError("need k1 >= 0, 0 <= b <= 1 and avg_len > 0")
        self.k1 = float(k1)
        self.b = float(b)
        self.avg_len = float(avg_len)

    @staticmethod
    def _by_id(weights):
        # Distinct terms may share an id; their weights are added up so that
        # every index appears once.
        merged = {}
        for term, weight in weights.items():
            idx = term_id(term)
            merged[idx] = merged.get(idx, 0.0) + weight
        indices = sorted(merged)
        return {"indices": indices, "values": [merged[i] for i in indices]}

    def encode_document(self, text):
        terms = tokenize(text)
        counts = Counter(terms)
        norm = self.k1 * (1.0 - self.b + self.b * len(terms) / self.avg_len)
        weights = {t: tf * (self.k1 + 1.0) / (tf + norm) for t, tf in counts.items()}
        return self._by_id(weights)

    def encode_documents(self, texts):
        return [self.encode_document(t) for t in texts]

    def encode_query(self, text):
        return self._by_id({t: 1.0 for t in tokenize(text)})
