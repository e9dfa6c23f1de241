#!/usr/bin/env python3
"""Wire transcripts of a fixed client session on every board the server opens.

A reshaping of the server or the library must not change what a client
receives. This tool plays the same session against each simulated board and
writes every request and reply, byte for byte, one file a board; two builds
are compared with `diff -r` of their transcript folders.

    tools/wire-transcript.py record  SERVER RUNS          # keeps one run file a board
    tools/wire-transcript.py session SERVER RUNS OUT      # writes OUT/<board>.txt

`record` acquires a short live run on every board and keeps its run file and
raw-data file in RUNS (a live run depends on timing, so it is recorded once).
`session` starts a fresh server a board, asks it everything that does not
depend on time (definitions, board information, every parameter's value and
information, spectra, list mode, high voltage, configurations, MCS and
time-interval spectra), then replays the kept run and takes its spectra.
"""
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET

# The boards the server opens from its command line, (name, options,
# channels), taken from the simulated-board profiles, so that a new profile is
# in every transcript: -h for the device without connection parameters, else
# a USB or optical link (the server reaches no other link type).
PROFILES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "definitions", "SimulatedBoards.xml")
LINKS = {"usb": "usb", "0": "usb", "optical": "opt", "1": "opt"}


def server_boards(profiles=PROFILES):
    boards = []
    for board in ET.parse(profiles).getroot().iter("Board"):
        address, info = board.find("Address"), board.find("Info")
        if address.get("none") == "true":
            options = ["-h"]
        elif address.get("link") in LINKS:
            options = ["-t", LINKS[address.get("link")], "-n", address.get("number", "0"),
                       "-c", address.get("node", "0")]
            if int(address.get("base", "0"), 0) != 0:
                options += ["-a", address.get("base")]
        else:
            continue
        boards.append((board.get("name"), options, int(info.get("channels"))))
    return boards


BOARDS = server_boards()
CHANNEL, HV_CHANNEL, HV_RANGE, LVDS, TRACE, PARAMETER = 2, 3, 4, 5, 6, 7
ENERGY, MCS, ROI, MONITOR, INTERVAL = 9, 10, 11, 15, 16
RUN_FILE = "transcript.zrn"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    def __init__(self, binary, options, work):
        self.port = free_port()
        env = dict(os.environ, ZARNWORKINGDIR=work, ZARN_LOG_DIR=os.path.join(work, "logs"))
        self.process = subprocess.Popen([binary, *options, "-p", str(self.port)], env=env,
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        line = self.process.stdout.readline().decode()
        if "listens" not in line:
            raise RuntimeError(f"server did not start: {line}")
        self.sock = socket.create_connection(("127.0.0.1", self.port))
        self.log = []

    def receive(self, n):
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                raise ConnectionError("the server closed the connection")
            data += chunk
        return data

    def request(self, command, payload=b"", keep=True):
        packet = struct.pack("<IHH", 8 + len(payload), 0, command) + payload
        self.sock.sendall(packet)
        head = self.receive(8)
        size = struct.unpack("<I", head[:4])[0]
        reply = head + self.receive(size - 8)
        if keep:
            self.log.append(f"> {packet.hex()}\n< {reply.hex()}\n")
        status = struct.unpack("<h", reply[8:10])[0]
        return status, reply[10:]

    def quit(self):
        self.request(25, struct.pack("<QQ", 0, 0), keep=False)
        self.process.wait(timeout=30)


def path(*elements):
    return struct.pack(f"<I{len(elements)}i", len(elements), *elements)


def text(value, size):
    return value.encode().ljust(size, b"\0")


def objects_of(code, channels):
    """The index paths, before the parameter pair, of the objects a code's category has."""
    if code < 1000:
        return [()]
    if code < 2000:
        return [(ch, CHANNEL) for ch in range(channels)]
    if code < 2100:
        return [(0, LVDS)]
    if code < 3000:
        return [(0, TRACE)]
    if code < 3100:
        return [(0, HV_CHANNEL)]
    if code < 4000:
        return [(0, HV_CHANNEL, 0, HV_RANGE)]
    if code < 4100:
        return [(ch, CHANNEL, 0, ENERGY) for ch in range(channels)]
    if code < 4200:
        return [(0, CHANNEL, 0, MCS)]
    if code < 4300:
        return [(0, INTERVAL)]
    if code < 5000:
        return [(0, CHANNEL, 0, ENERGY, 0, ROI)]
    return [(0, MONITOR)]


def start_stop(server, command, channels):
    return server.request(command, struct.pack("<QQI", 0, 0, (1 << channels) - 1))


def spectra(server, channels):
    """Every channel's energy spectrum: bins, overflows, underflows, entries."""
    return [server.request(27, struct.pack("<Q", 0x71) + path(ch, CHANNEL, 0, ENERGY), keep=False)
            for ch in range(channels)]


def record(binary, runs):
    os.makedirs(runs, exist_ok=True)
    for name, options, channels in BOARDS:
        work = tempfile.mkdtemp(prefix=f"transcript-{name}-")
        server = Server(binary, options, work)
        waveforms_only = name.startswith("scope")
        name_payload = struct.pack("<bI", 1, len(RUN_FILE)) + RUN_FILE.encode()
        server.request(22, name_payload)
        if waveforms_only:
            server.request(13, struct.pack("<Q", 1) + path(22, PARAMETER) + struct.pack("<d", 1.0))
        start_stop(server, 8, channels)
        time.sleep(1.0)
        start_stop(server, 9, channels)
        server.quit()
        words = open(os.path.join(work, "Run", RUN_FILE)).read().split()
        target = os.path.join(runs, name)
        shutil.rmtree(target, ignore_errors=True)
        os.makedirs(os.path.join(target, "Run"))
        shutil.copy(os.path.join(work, "Run", RUN_FILE), os.path.join(target, "Run"))
        os.makedirs(os.path.join(target, os.path.dirname(words[1])), exist_ok=True)
        shutil.copy(os.path.join(work, words[1]), os.path.join(target, words[1]))
        shutil.rmtree(work)
        print(f"{name}: kept {words[1]}")


def session(binary, runs, out):
    os.makedirs(out, exist_ok=True)
    for name, options, channels in BOARDS:
        work = tempfile.mkdtemp(prefix=f"transcript-{name}-")
        kept = os.path.join(runs, name)
        if os.path.isdir(kept):
            shutil.copytree(kept, work, dirs_exist_ok=True)
        server = Server(binary, options, work)
        status, definitions = server.request(26)
        codes = sorted({int(c) for c in re.findall(rb'code="(\d+)"', definitions)})
        server.request(5, struct.pack("<Q", (1 << 23) - 1))
        for ch in range(channels):
            server.request(41, struct.pack("<Qi", 0x3, ch))
        for code in codes:
            for where in objects_of(code, channels):
                at = path(*where, code, PARAMETER)
                server.request(14, struct.pack("<Q", 0x7) + at)
                server.request(15, struct.pack("<Q", (1 << 14) - 1) + at)
        # A set and its read-back: the DC offset of channel 0, and a refused value.
        at = path(0, CHANNEL, 1004, PARAMETER)
        server.request(13, struct.pack("<Q", 1) + at + struct.pack("<d", 30.0))
        server.request(14, struct.pack("<Q", 0x7) + at)
        server.request(13, struct.pack("<Q", 1) + path(999, PARAMETER) + struct.pack("<d", 1.0))
        for ch in range(channels):
            server.request(27, struct.pack("<Q", 0xEF1) + path(ch, CHANNEL, 0, ENERGY))
            server.request(36, struct.pack("<Qi", 0x3F | 0xC00, ch))
        server.request(37, struct.pack("<Qi", 0x3, 0))
        server.request(38, struct.pack("<Q", (1 << 24) - 1) + path(0, HV_CHANNEL, 0, HV_RANGE))
        server.request(45, struct.pack("<QQi", 0, 1, 0))
        server.request(46, struct.pack("<Q", 0x7) + path(0, CHANNEL, 0, MCS))
        server.request(50, struct.pack("<Q", 0xF) + path(0, INTERVAL))
        server.request(33, struct.pack("<QQ", 0, 0xC))
        server.request(24)
        for unknown in (0, 99, 1000):
            server.request(unknown)
        # The kept run, replayed until its spectra stop changing.
        if os.path.isdir(kept):
            server.request(23, text(RUN_FILE, 200))
            for ch in range(channels):
                server.request(29, struct.pack("<QQ", 0, 0) + path(ch, CHANNEL, 0, ENERGY), keep=False)
            start_stop(server, 8, channels)
            last, steady = None, time.time()
            while time.time() - steady < 1.5:
                now = spectra(server, channels) if not name.startswith("scope") else None
                if now != last:
                    last, steady = now, time.time()
                time.sleep(0.2)
            start_stop(server, 9, channels)
            if not name.startswith("scope"):
                for reply in spectra(server, channels):
                    server.log.append(f"< replay {reply[0]} {reply[1].hex()}\n")
        server.quit()
        with open(os.path.join(out, f"{name}.txt"), "w") as f:
            f.writelines(server.log)
        shutil.rmtree(work)
        print(f"{name}: {len(server.log)} exchanges")


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "record":
        record(sys.argv[2], sys.argv[3])
    elif len(sys.argv) == 5 and sys.argv[1] == "session":
        session(sys.argv[2], sys.argv[3], sys.argv[4])
    else:
        sys.exit(__doc__)
