"""Model output streams for the streaming-split benchmarks, as lists of chunk
texts (the benchmark wraps them into message chunks before each timed run).

* realistic: "<think>", a reasoning of prose with an occasional comparison
  ("a < b"), "</think>", an answer of prose with a little markup ("<b>...</b>"),
  cut into chunks of 1 to 8 characters.  Inside the reasoning every "<" is
  a possible start of "</think>", so from the first one on the reasoning is
  held back until the closing tag arrives.
* adversarial: "<think>", then a "<" early in a reasoning that never closes,
  in 4-character chunks: everything after the "<" stays held back to the end.
* bounded: alternating reasoning and answer blocks of about a thousand
  characters each, with comparisons and markup; what is held back never
  outgrows one block however long the stream.
"""
import random
import string

WORDS = ("the so we then let check value first next step because number total answer each case "
         "which means that gives but also").split()


def prose(rng, length, markup=False, compare=0.0):
    """About `length` characters of words; `markup` adds a rare "<b>word</b>",
    `compare` is the chance per word of a comparison such as "n < 12"."""
    out, size = [], 0
    while size < length:
        word = rng.choice(WORDS)
        if markup and rng.random() < 0.01:
            word = "<b>" + word + "</b>"
        elif compare and rng.random() < compare:
            word = "%s < %d" % (rng.choice("abnxy"), rng.randint(1, 99))
        out.append(word)
        size += len(word) + 1
        if rng.random() < 0.08:
            out.append(rng.choice(".,;:") + "\n")
    return " ".join(out)[:length]


def cut(text, rng, low, high):
    pieces, i = [], 0
    while i < len(text):
        step = rng.randint(low, high)
        pieces.append(text[i:i + step])
        i += step
    return pieces


def realistic(length=25000, seed=1):
    """A stream of about `length` characters: four fifths reasoning, one
    fifth answer (25,000 gives the 20,000 + 5,000 of the headline stream)."""
    rng = random.Random(seed)
    reasoning = prose(rng, length * 4 // 5, compare=0.004)
    answer = prose(rng, length - length * 4 // 5, markup=True)
    return cut("<think>" + reasoning + "</think>" + answer, rng, 1, 8)


def adversarial(length=200000, seed=1):
    """A reasoning of `length` characters that never closes, with a "<" at
    position 6 of it, in 4-character chunks."""
    return list(adversarial_lazy(length, seed))


def adversarial_lazy(length, seed=1):
    """The chunk texts of adversarial(length, seed), made one by one."""
    rng = random.Random(seed)
    letters = string.ascii_lowercase + " "
    text = "<think>" + "let a < b hold; "[:length]
    remaining = length - (len(text) - 7)
    while text or remaining > 0:
        while len(text) < 4 and remaining > 0:
            text += rng.choice(letters)
            remaining -= 1
        yield text[:4]
        text = text[4:]


def bounded(length=1000000, seed=1, block=1000):
    """Yields the chunk texts of a stream of about `length` characters, lazily,
    so that the stream itself never exists in memory."""
    rng = random.Random(seed)
    size = 0
    while size < length:
        text = ("<think>" + prose(rng, block, compare=0.004) + "</think>" + prose(rng, block, markup=True)
                + "\n")
        size += len(text)
        yield from cut(text, rng, 1, 8)


def response(length=50000, seed=3):
    """A whole model response of `length` characters: "<think>", four fifths
    reasoning, "</think>", the answer."""
    rng = random.Random(seed)
    reasoning = prose(rng, length * 4 // 5 - 15, compare=0.004)
    return "<think>" + reasoning + "</think>" + prose(rng, length - len(reasoning) - 15, markup=True)


def chat_history(count=200, seed=2):
    """A chat history of `count` messages: user messages whose content is a
    list of parts (text, sometimes a second text or an image), assistant
    messages as text, some of them as plain role/content mappings."""
    from langchain_core.messages import AIMessage, HumanMessage

    rng = random.Random(seed)
    history = []
    for i in range(count):
        if i % 2 == 0:
            parts = [{"type": "text", "text": prose(rng, rng.randint(100, 600))}]
            if i % 6 == 0:
                parts.insert(0, {"type": "text", "text": "用户资料：" + prose(rng, rng.randint(50, 200))})
            if i % 10 == 0:
                parts.append({"type": "image_url", "image_url": {"url": "https://img.example/%d.png" % i}})
            history.append(HumanMessage(content=parts))
        elif i % 7 == 3:
            history.append({"role": "assistant", "content": prose(rng, rng.randint(200, 1200))})
        else:
            history.append(AIMessage(content=prose(rng, rng.randint(200, 1200))))
    return history


def characters(pieces):
    return sum(len(p) for p in pieces)
