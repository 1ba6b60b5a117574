#!/usr/bin/env python3
"""Start-up of the configuration window beside a bare Qt dialog with the same widgets.

Both run under one virtual X server (Xvfb), started the same way, in interleaved runs. A small
service on 127.0.0.1:4321 (the window's fixed command port) stamps every command line as it
arrives and answers the window's queries with two partners and a partnership each way:

- the bare dialog writes one line as soon as its event loop runs;
- the window sends its first command once it is shown, then loads both partners.

Printed: the medians of process start to first line (bare) and to first command (window), their
ratio, and the median time from the window's first load command to its last.
"""

import argparse
import os
import shutil
import socket
import socketserver
import statistics
import subprocess
import sys
import tempfile
import threading
import time

PORT = 4321
ENVELOPE = '<command id="userID" password="qxv">'


def partnership(name, sender, receiver, url, extra=""):
    return (f"Partnership {name} Sender IDs = {{name={sender}, as2_id=S}} "
            f"Receiver IDs = {{name={receiver}, as2_id=R}} "
            f"Attributes = {{protocol=as2, as2_url={url}{extra}}}")


REPLIES = {
    "Partner View AS2Local":
        "Partner AS2Local {name=AS2Local, as2_id=LOCALID, email=as2@local.example, "
        "x509_alias=AS2Local:0}",
    "Partner View AS2Remote":
        "Partner AS2Remote {name=AS2Remote, as2_id=REMOTEID, email=as2@remote.example, "
        "x509_alias=AS2Remote:0}",
    "Partnership List":
        "<partnership>AS2Local-AS2Remote</partnership><partnership>AS2Remote-AS2Local</partnership>",
    "Partnership View AS2Local-AS2Remote":
        partnership("AS2Local-AS2Remote", "AS2Local", "AS2Remote", "http://localhost:5080",
                    ", as2_mdn_to=http://localhost:10081"),
    "Partnership View AS2Remote-AS2Local":
        partnership("AS2Remote-AS2Local", "AS2Remote", "AS2Local", "http://localhost:4080"),
}
LOAD_COMMANDS = 8  # two partners, each: Partner View, Partnership List, two Partnership Views


class Recorder:
    def __init__(self):
        self.lock = threading.Condition()
        self.lines = []  # (monotonic time, line)

    def reset(self):
        with self.lock:
            self.lines = []

    def add(self, line):
        with self.lock:
            self.lines.append((time.monotonic(), line))
            self.lock.notify_all()

    def wait_for(self, count, timeout):
        deadline = time.monotonic() + timeout
        with self.lock:
            while len(self.lines) < count:
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self.lock.wait(left)
            return list(self.lines)


RECORDER = Recorder()


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        data = b""
        self.request.settimeout(10)
        try:
            while b"\r\n" not in data:
                chunk = self.request.recv(4096)
                if not chunk:
                    return  # the window's silent start-up connection
                data += chunk
        except OSError:
            return
        line = data.split(b"\r\n", 1)[0].decode("utf-8", "replace")
        RECORDER.add(line)
        command = line
        if command.startswith(ENVELOPE) and command.endswith("</command>"):
            command = command[len(ENVELOPE):-len("</command>")]
        reply = REPLIES.get(command, "<ok/>")
        try:
            self.request.sendall(reply.encode() + b"\r\n")
        except OSError:
            pass


class Server(socketserver.ThreadingTCPServer):
    allow_reuse_address = True
    daemon_threads = True


def start_xvfb(work):
    if not shutil.which("Xvfb"):
        sys.exit("startup.py: Xvfb is needed (apt-get install xvfb)")
    read, write = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24",
                             "-nolisten", "tcp"], pass_fds=(write,),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write)
    number = b""
    while not number.endswith(b"\n"):
        chunk = os.read(read, 16)
        if not chunk:
            sys.exit("startup.py: Xvfb did not start")
        number += chunk
    os.close(read)
    return xvfb, ":" + number.decode().strip()


def run(program, args, env, lines, timeout=20):
    RECORDER.reset()
    start = time.monotonic()
    process = subprocess.Popen([program] + args, env=env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    seen = RECORDER.wait_for(lines, timeout)
    process.terminate()
    process.wait(10)
    if seen is None:
        sys.exit(f"startup.py: {os.path.basename(program)} did not get that far within {timeout} s")
    return [(t - start) * 1000.0 for t, _ in seen]


def main():
    build = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "bench")
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--window", default=os.path.join(build, "src/dialog/vantrel-config"))
    parser.add_argument("--bare", default=os.path.join(build, "bench/vantrel-bare-dialog"))
    parser.add_argument("--runs", type=int, default=15)
    options = parser.parse_args()

    work = tempfile.mkdtemp(prefix="vantrel-startup.")
    xvfb, display = start_xvfb(work)
    runtime = os.path.join(work, "runtime")
    os.mkdir(runtime, 0o700)
    env = dict(os.environ, DISPLAY=display, QT_QPA_PLATFORM="xcb", XDG_RUNTIME_DIR=runtime,
               XDG_CONFIG_HOME=os.path.join(work, "config"),
               VANTREL_CONFIG=os.path.join(work, "config.xml"))
    server = Server(("127.0.0.1", PORT), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    bare, first, spans = [], [], []
    try:
        # One of each first, unmeasured: the files they load are then cached alike.
        run(options.bare, [str(PORT)], env, 1)
        run(options.window, [], env, LOAD_COMMANDS)
        for i in range(options.runs):
            order = [0, 1] if i % 2 == 0 else [1, 0]
            for which in order:
                if which == 0:
                    bare.append(run(options.bare, [str(PORT)], env, 1)[0])
                else:
                    times = run(options.window, [], env, LOAD_COMMANDS)
                    first.append(times[0])
                    spans.append(times[-1] - times[0])
    finally:
        server.shutdown()
        server.server_close()
        xvfb.terminate()
        xvfb.wait()
        shutil.rmtree(work, ignore_errors=True)

    b, w, s = statistics.median(bare), statistics.median(first), statistics.median(spans)
    print(f"runs: {options.runs} of each, interleaved, under one Xvfb")
    print(f"bare Qt dialog, process start to its event loop:      {b:7.1f} ms "
          f"(min {min(bare):.1f}, max {max(bare):.1f})")
    print(f"configuration window, process start to first command: {w:7.1f} ms "
          f"(min {min(first):.1f}, max {max(first):.1f})")
    print(f"ratio: {w / b:.2f} (target <= 1.15) {'met' if w / b <= 1.15 else 'MISSED'}")
    print(f"all {LOAD_COMMANDS} load commands within {s:.1f} ms of the first "
          f"(target <= 20 ms) {'met' if s <= 20 else 'MISSED'}")


if __name__ == "__main__":
    main()
