"""Private Redis servers on loopback for the tests and benchmarks: a single
server, and a Redis Cluster of three masters."""
import shutil
import socket
import subprocess
import time


def _free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _free_cluster_port():
    # A cluster node also listens on its port + 10000 (the cluster bus).
    for _ in range(200):
        port = _free_port()
        if port + 10000 > 65535:
            continue
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            try:
                s.bind(("127.0.0.1", port + 10000))
            except OSError:
                continue
        return port
    raise RuntimeError("no free port pair for a Redis Cluster node")


def wait_for_redis(url, proc=None, timeout=10.0):
    import redis

    client = redis.Redis.from_url(url)
    deadline = time.monotonic() + timeout
    try:
        while True:
            try:
                if client.ping():
                    return
            except redis.exceptions.ConnectionError:
                if proc is not None and proc.poll() is not None:
                    raise RuntimeError("redis-server exited with status %s" % proc.returncode)
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)
    finally:
        client.close()


def _redis_binary():
    binary = shutil.which("redis-server")
    if binary is None:
        raise RuntimeError("redis-server not found on PATH: install it (Debian package redis-server) "
                           "or set REDIS_URL to a running Redis")
    return binary


class RedisServer:
    """A private redis-server on loopback, stopped with ``stop()``.

    ``directory`` (optional) keeps its data file, so that a server started
    again on the same port and directory finds the data of the last
    ``stop(save=True)``.
    """

    def __init__(self, port=None, directory=None, extra=()):
        self.port = port or _free_port()
        self.directory = directory
        self.extra = list(extra)
        self.url = "redis://127.0.0.1:%d/0" % self.port
        self.proc = None

    def start(self):
        args = [_redis_binary(), "--port", str(self.port), "--bind", "127.0.0.1", "--save", "",
                "--appendonly", "no", *self.extra]
        if self.directory is not None:
            args += ["--dir", str(self.directory)]
        self.proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        wait_for_redis(self.url, self.proc)
        return self

    def stop(self, save=False):
        if self.proc is None:
            return
        if save:
            import redis

            client = redis.Redis.from_url(self.url)
            try:
                client.shutdown(save=True)
            except redis.exceptions.ConnectionError:
                pass
            finally:
                client.close()
        else:
            self.proc.terminate()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.proc.stderr.close()
        self.proc = None


def start_cluster(directory, masters=3):
    """Three masters on loopback sharing the 16384 slots; returns the servers."""
    import redis

    servers = []
    try:
        for i in range(masters):
            node_dir = directory / ("node%d" % i)
            node_dir.mkdir()
            servers.append(RedisServer(port=_free_cluster_port(), directory=node_dir, extra=[
                "--cluster-enabled", "yes", "--cluster-config-file", "nodes.conf",
                "--cluster-node-timeout", "5000"]).start())
        clients = [redis.Redis(host="127.0.0.1", port=s.port) for s in servers]
        per = 16384 // masters
        for i, client in enumerate(clients):
            last = 16383 if i == masters - 1 else (i + 1) * per - 1
            client.execute_command("CLUSTER", "ADDSLOTSRANGE", i * per, last)
        for client in clients[1:]:
            client.execute_command("CLUSTER", "MEET", "127.0.0.1", servers[0].port)
        deadline = time.monotonic() + 30
        while not all(c.execute_command("CLUSTER", "INFO").decode().find("cluster_state:ok") >= 0
                      and len(c.execute_command("CLUSTER", "NODES").decode().strip().splitlines()) == masters
                      for c in clients):
            if time.monotonic() > deadline:
                raise RuntimeError("the Redis Cluster did not become ready")
            time.sleep(0.1)
        for client in clients:
            client.close()
        return servers
    except BaseException:
        for server in servers:
            server.stop()
        raise
