"""The reasoning output parser's whole-response split, token counting and
usage accounting written the plain Python way: the baseline of the parser
benchmarks (the streaming split's baseline is the literal model of the
tests, tests/models/literal_split.py).

One deliberate match with the module: texts are counted with
`encode_ordinary`, as the module counts them (the literal form of a special
token is ordinary text there), so both sides ask the encoder for the same
work."""
import json
import re

import tiktoken
from langchain_core.messages import BaseMessage
from langchain_core.output_parsers import StrOutputParser
from langchain_core.prompt_values import ChatPromptValue
from pydantic import ConfigDict

# Replaced by the benchmark with the session-store functions the module uses.
get_redis_data = None
hset_redis_data = None

tokenizer = tiktoken.get_encoding("cl100k_base")
THINK_PATTERN = re.compile(r"<think>(.*?)</think>", re.DOTALL)


def get_text_token_len(text):
    return len(tokenizer.encode_ordinary(text))


def get_input_len(inputs):
    if type(inputs) is ChatPromptValue:
        inputs = inputs.messages
    if type(inputs) is str:
        return get_text_token_len(inputs)
    if type(inputs) is list:
        input_length = 0
        for message in inputs:
            if type(message) is dict:
                input_length += get_text_token_len(message["content"])
            elif isinstance(message, BaseMessage):
                if isinstance(message.content, list):
                    for item in message.content:
                        if "image_url" in item or "input_audio" in item:
                            continue
                        item_str = json.dumps(item)
                        input_length += get_text_token_len(item_str)
                else:
                    input_length += get_text_token_len(message.content)
            else:
                print("unknown message type:" + str(type(message)))
        return input_length
    return get_text_token_len(inputs.text)


def accumulate_usage(session_id, model_name, usage):
    usage_key = "usage:" + session_id
    existing_usage = get_redis_data(usage_key, key=model_name)
    if existing_usage:
        for name in ("prompt_tokens", "completion_tokens", "total_tokens"):
            existing_usage[name] = existing_usage[name] + usage.get(name, 0)
    else:
        existing_usage = {
            "prompt_tokens": usage.get("prompt_tokens", 0),
            "completion_tokens": usage.get("completion_tokens", 0),
            "total_tokens": usage.get("total_tokens", 0),
        }
    hset_redis_data(usage_key, key=model_name, value=existing_usage, ttl=600)


def _function():
    pass


class qorCogsift(StrOutputParser):
    # Compiled by Cython the methods are not Python functions; pydantic must
    # leave them alone.
    model_config = ConfigDict(ignored_types=(type(_function),))

    def invoke(self, input, config):
        session_id = config.get("input", {}).get("session_id", "default_session_id")
        model_name = config.get("metadata", {}).get("model_name", "unknown_model")
        content = input.content
        think_content = ""
        if "<think>" in content:
            match = THINK_PATTERN.search(content)
            if match:
                think_content = match.group(1)
        input.reasoning_content = think_content
        answer = content.split("</think>")[-1]
        input.content = answer
        if hasattr(input, "usage"):
            usage = input.usage
        else:
            prompt_tokens = get_input_len(config["metadata"]["prompt"])
            completion_tokens = get_text_token_len(answer)
            usage = {"prompt_tokens": prompt_tokens, "completion_tokens": completion_tokens,
                     "total_tokens": prompt_tokens + completion_tokens}
        accumulate_usage(session_id, model_name, usage)
        return input
