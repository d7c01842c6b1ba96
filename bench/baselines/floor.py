"""The floor of the streaming split: only the work no implementation can
avoid per chunk (read `content`, set `content` and `reasoning_content`, hand
the chunk on), the Python way."""


def floor_transform(chunks):
    for chunk in chunks:
        text = chunk.content
        chunk.content = text
        chunk.reasoning_content = ""
        yield chunk


async def floor_atransform(chunks):
    async for chunk in chunks:
        text = chunk.content
        chunk.content = text
        chunk.reasoning_content = ""
        yield chunk
