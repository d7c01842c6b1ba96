"""A child forked while another thread is inside a usage update (holding the
in-process lock of that session and model) updates the same key and streams."""
import subprocess
import sys
import textwrap

from .usage_workers import ROOT, worker_env

CHILD = textwrap.dedent("""
    import os, signal, sys, threading
    from langchain_core.messages import AIMessage, AIMessageChunk
    from community.models import cogsift
    from utils import dbs

    store = dbs.MemorySessionStore()
    dbs.set_session_store(store)
    inside, release = threading.Event(), threading.Event()
    plain_get = dbs.get_redis_data

    def blocking_get(*args, **kwargs):
        if threading.current_thread().name == "holder":
            inside.set()
            release.wait()
        return plain_get(*args, **kwargs)

    cogsift.get_redis_data = blocking_get
    parser = cogsift.qorCogsift()
    config = {"input": {"session_id": "s"}, "metadata": {"model_name": "m", "prompt": "p"}}

    def update():
        message = AIMessage(content="<think>r</think>a")
        message.usage = {"prompt_tokens": 1, "completion_tokens": 2, "total_tokens": 3}
        parser.invoke(message, config)

    stream = parser.transform(iter([AIMessageChunk(content="<think>r"), AIMessageChunk(content="</think>a")]), config)
    first = next(stream)  # suspended across the fork
    holder = threading.Thread(target=update, name="holder")
    holder.start()
    inside.wait()
    pid = os.fork()
    if pid == 0:
        signal.alarm(20)  # a child stuck on an inherited lock ends instead of lingering
        try:
            update()
            rest = [c.content for c in stream]
            print("child", dbs.get_redis_data("usage:s", key="m"), first.content, rest, flush=True)
        finally:
            os._exit(0)
    release.set()
    holder.join()
    _, status = os.waitpid(pid, 0)
    print("parent", os.waitstatus_to_exitcode(status), flush=True)
""")


def test_forked_child_updates_usage_and_streams(tmp_path):
    env = worker_env({})
    done = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True, timeout=60, cwd=ROOT,
                          env=env)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[-1] == "parent 0", done.stdout + done.stderr
    assert lines[0].startswith("child {"), done.stdout
