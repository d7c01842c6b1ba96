"""Stable feature hashing (independent of the interpreter's randomised hash())."""
import hashlib


def stable_hash64(text):
    """64-bit unsigned hash of a text, the same in every process."""
    return int.from_bytes(hashlib.blake2b(text.encode("utf-8"), digest_size=8).digest(), "little")


def term_id(term):
    """31-bit id of a term, used as a sparse-vector index."""
    return stable_hash64("term:" + term) & 0x7FFFFFFF
