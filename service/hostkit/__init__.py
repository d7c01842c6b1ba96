"""Helpers around the service stand-ins: embeddings, sparse encoder, vector
store and the demonstration corpus."""
from hostkit.bm25 import Bm25Encoder
from hostkit.corpus import CORPUS_PATH, index_corpus, load_corpus
from hostkit.embeddings import HashingEmbeddings
from hostkit.vectorstore import QorVectorStore

__all__ = [
    "Bm25Encoder", "HashingEmbeddings", "QorVectorStore",
    "CORPUS_PATH", "index_corpus", "load_corpus",
]
