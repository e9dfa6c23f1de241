#!/usr/bin/env python3
"""Runs the Python example of docs/protocol.md against the real server.

Usage: run_protocol_example.py SERVER_BINARY PROTOCOL_MD

Starts the server on a free loopback port with a temporary working folder,
waits for its listening line, runs the example (the first ```python block of
the document) with that port and "quit", as the README tells a new user to,
checks what it printed, and expects the server to end with exit code 0 from
the example's command 25. The README's first session must name that command.
"""
import os
import re
import select
import socket
import subprocess
import sys
import tempfile
import time

STARTUP_SECONDS = 120
EXAMPLE_SECONDS = 120


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def example_code(document):
    text = open(document, encoding="utf-8").read()
    found = re.search(r"```python\n(.*?)```", text, re.S)
    if not found:
        sys.exit(f"no python example in {document}")
    return found.group(1)


def read_line(stream, seconds):
    """The first line the server prints, or '' when none comes in time."""
    deadline = time.monotonic() + seconds
    line = b""
    while not line.endswith(b"\n") and time.monotonic() < deadline:
        ready, _, _ = select.select([stream], [], [], 0.5)
        if ready:
            byte = os.read(stream.fileno(), 1)
            if not byte:
                break
            line += byte
    return line.decode(errors="replace")


def check_readme(document):
    """The README's first session ends the server the way the example does."""
    readme = os.path.join(os.path.dirname(os.path.abspath(document)), os.pardir, "README.md")
    text = open(readme, encoding="utf-8").read()
    if "python3 first.py 56342 quit" not in text:
        sys.exit("the README does not tell how the example ends the server")


def main():
    server_binary, document = sys.argv[1], sys.argv[2]
    code = example_code(document)
    check_readme(document)
    with tempfile.TemporaryDirectory(prefix="morvane-protocol-") as folder:
        env = dict(os.environ, ZARNWORKINGDIR=os.path.join(folder, "work"),
                   ZARN_LOG_DIR=os.path.join(folder, "logs"))
        port = free_port()
        server = subprocess.Popen([server_binary, "-p", str(port)], env=env, stdout=subprocess.PIPE)
        try:
            line = read_line(server.stdout, STARTUP_SECONDS)
            if f"listens on TCP port {port} " not in line:
                sys.exit(f"the server did not say it listens on port {port}: {line!r}")
            example = subprocess.run([sys.executable, "-", str(port), "quit"], input=code, text=True,
                                     capture_output=True, timeout=EXAMPLE_SECONDS)
            print(example.stdout, end="")
            if example.returncode != 0:
                sys.exit(f"the example failed:\n{example.stderr}")
            entries = re.search(r"spectrum of channel 0: (\d+) bins, (\d+) entries", example.stdout)
            if not entries or int(entries.group(1)) == 0 or int(entries.group(2)) == 0:
                sys.exit("the example fetched no spectrum with entries")
            if "-> 30.0" not in example.stdout:
                sys.exit("the example did not read back the DC offset it set")
            # The example's last request was command 25: the server ends by itself.
            if server.wait(timeout=60) != 0:
                sys.exit(f"the server ended with exit code {server.returncode}")
        finally:
            if server.poll() is None:
                server.kill()
                server.wait()


if __name__ == "__main__":
    main()
