"""An S3-compatible server on 127.0.0.1 for the tests of object storage: moto's standalone
server, started in a process of its own on a free port, with fake credentials that the tests'
processes find in the environment as every S3 client reads them."""

from __future__ import annotations

import contextlib
import os
import socket
import subprocess
import sys
import time
import urllib.request
from collections.abc import Iterator

ACCESS_KEY = "vertisift-test-key"
SECRET_KEY = "vertisift-test-secret-0123456789"


def _free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


@contextlib.contextmanager
def s3_server() -> Iterator[dict[str, str]]:
    """Runs the server until the block ends; yields the environment that points S3 clients
    at it (endpoint, credentials, region)."""
    port = _free_port()
    server = subprocess.Popen(
        [sys.executable, "-m", "moto.server", "-H", "127.0.0.1", "-p", str(port)],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    endpoint = f"http://127.0.0.1:{port}"
    try:
        deadline = time.monotonic() + 60
        while True:
            try:
                urllib.request.urlopen(endpoint, timeout=1).close()
                break
            except OSError:
                if server.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError("the S3 test server did not start") from None
                time.sleep(0.1)
        yield {
            "AWS_ENDPOINT_URL": endpoint,
            "AWS_ACCESS_KEY_ID": ACCESS_KEY,
            "AWS_SECRET_ACCESS_KEY": SECRET_KEY,
            "AWS_DEFAULT_REGION": "us-east-1",
        }
    finally:
        server.terminate()
        server.wait(timeout=30)


def uses(environment: dict[str, str]) -> contextlib.AbstractContextManager[None]:
    """The block runs with `environment` in os.environ (and fsspec's cached clients, made
    with another environment, forgotten)."""

    @contextlib.contextmanager
    def applied() -> Iterator[None]:
        saved = {name: os.environ.get(name) for name in environment}
        os.environ.update(environment)
        _forget_clients()
        try:
            yield
        finally:
            for name, value in saved.items():
                if value is None:
                    os.environ.pop(name, None)
                else:
                    os.environ[name] = value
            _forget_clients()

    return applied()


def _forget_clients() -> None:
    import fsspec

    fsspec.filesystem("s3").clear_instance_cache()
