"""The streaming reasoning split written out literally, as plain Python.

This is the reference the compiled module is compared with: every step is
the straightforward one (the whole held-back buffer is rescanned on every
chunk), the end-of-input flush changes the last chunk in place, and the text
the usage step would count is handed to ``on_answer``. With
``starts_in_reasoning`` the stream begins inside the reasoning, as for a
model whose prompt already opened it.
"""

START_TAG = "<think>"
END_TAG = "</think>"


def partial_scan(buffer, tag, cancel_on_gt):
    max_partial, cut_pos = 0, -1
    n = len(buffer)
    for i in range(n):
        if cancel_on_gt and max_partial > 0 and buffer[i] == ">":
            max_partial, cut_pos = 0, -1
        if buffer[i] != "<":
            continue
        for k in range(1, len(tag) + 1):
            if i + k > n:
                break
            if buffer[i:i + k] == tag[:k]:
                if k > max_partial:
                    max_partial, cut_pos = k, i
            else:
                break
    return max_partial, cut_pos


class LiteralSplit:
    def __init__(self, starts_in_reasoning=False):
        self.buffer = ""
        self.in_think = starts_in_reasoning
        self.pending_output = []
        self.pending_think = []

    def split(self):
        while True:
            if not self.in_think:
                start_pos = self.buffer.find(START_TAG)
                if start_pos != -1:
                    output_part = self.buffer[:start_pos]
                    if output_part:
                        self.pending_output.append(output_part)
                    self.buffer = self.buffer[start_pos + len(START_TAG):]
                    self.in_think = True
                    continue
                max_partial, cut_pos = partial_scan(self.buffer, START_TAG, True)
                if max_partial > 0:
                    output_part = self.buffer[:cut_pos]
                    if output_part:
                        self.pending_output.append(output_part)
                    self.buffer = self.buffer[cut_pos:]
                else:
                    if self.buffer:
                        self.pending_output.append(self.buffer)
                    self.buffer = ""
                return
            end_pos = self.buffer.find(END_TAG)
            if end_pos != -1:
                self.pending_think.append(self.buffer[:end_pos])
                self.buffer = self.buffer[end_pos + len(END_TAG):]
                self.in_think = False
                continue
            max_partial, cut_pos = partial_scan(self.buffer, END_TAG, False)
            if max_partial > 0:
                self.pending_think.append(self.buffer[:cut_pos])
                self.buffer = self.buffer[cut_pos:]
            else:
                if self.buffer:
                    self.pending_think.append(self.buffer)
                self.buffer = ""
            return

    def on_chunk(self, chunk):
        """True when `chunk` is emitted (after being changed)."""
        if hasattr(chunk, "reasoning_content"):
            return True
        self.buffer += chunk.content
        self.split()
        output = "".join(self.pending_output)
        think = "".join(self.pending_think)
        if output or think:
            chunk.content = output
            chunk.reasoning_content = think
            self.pending_output = []
            self.pending_think = []
            return True
        return False

    def on_end(self, last):
        """The flushed chunk, or None."""
        if not self.in_think and self.buffer:
            last.content = self.buffer
            last.reasoning_content = ""
            return last
        if self.in_think:
            if self.buffer:
                self.pending_think.append(self.buffer)
            if self.pending_think:
                last.content = ""
                last.reasoning_content = "".join(self.pending_think)
                return last
        return None


def _answer_step(answer, chunk):
    if chunk.content:
        answer += chunk.content
    elif hasattr(chunk, "reasoning_content"):
        answer += chunk.reasoning_content
    return answer


def literal_transform(chunks, on_answer=None, starts_in_reasoning=False):
    """The split of a stream (and the answer the usage step counts, handed to
    `on_answer` when it is given)."""
    state = LiteralSplit(starts_in_reasoning)
    answer = ""
    last = None
    for chunk in chunks:
        if on_answer is not None:
            answer = _answer_step(answer, chunk)
        last = chunk
        if state.on_chunk(chunk):
            yield chunk
    if last is not None:
        flushed = state.on_end(last)
        if flushed is not None:
            yield flushed
    if on_answer is not None:
        on_answer(answer)


async def literal_atransform(chunks, on_answer=None, starts_in_reasoning=False):
    state = LiteralSplit(starts_in_reasoning)
    answer = ""
    last = None
    async for chunk in chunks:
        if on_answer is not None:
            answer = _answer_step(answer, chunk)
        last = chunk
        if state.on_chunk(chunk):
            yield chunk
    if last is not None:
        flushed = state.on_end(last)
        if flushed is not None:
            yield flushed
    if on_answer is not None:
        on_answer(answer)
