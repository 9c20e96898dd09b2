#!/usr/bin/env python3
"""The worst mix of a tester's requests against a real quavoxd, and what it costs the daemon.

Starts quavoxd (with the bundled engine when the build made it, else the placeholder) in a
temporary program folder on 127.0.0.1 and a free port, and for DURATION seconds (default 60)
keeps these going at once from 127.0.0.2:

  long      WORKERS threads (default 200) asking for new 5,000-letter English texts at speed
            0.5 and 192 kHz, and for texts just inside the size of one reply (700 letters at
            speed 0.5 and 192 kHz), by turns, each thread one request after another;
  numbers   sample_rate=-4194967296 now and then (once wrapped to 100 MHz);
  bodies    three threads sending 60 MB bodies of empty arrays to /v1/voices/clone and 4 MB
            bodies to /v1/tts;
  announce  four threads asking for 8-segment announcements at speed 0.5 and 192 kHz, and
            for ones that fit;

while a second client on 127.0.0.1 asks for one ordinary new line after another. It samples
the daemon's resident memory every 50 ms and prints the peak (and the kernel's high-water
mark), the statuses every kind of request got, and the second client's latencies.
Target: peak resident memory under 1 GiB, and the second client answered throughout.

Usage: bench/worst-mix.py [--build DIR] [--duration S] [--workers N] [--placeholder]
Exit status 1 when the memory target is missed or the daemon died.
"""

import argparse
import collections
import json
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

ATTACKER = "127.0.0.2"
TARGET_MB = 1024


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def status_line(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024.0
    return 0.0


def request(port, method, path, body=b"", timeout=600.0, source="127.0.0.1"):
    """One request on a fresh connection: (status, seconds); status 0 when it failed."""
    start = time.monotonic()
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=timeout,
                                      source_address=(source, 0)) as s:
            head = (f"{method} {path} HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
                    f"Content-Length: {len(body)}\r\nContent-Type: application/json\r\n\r\n")
            s.sendall(head.encode() + body)
            first = s.recv(64)
            while s.recv(1 << 20):
                pass
    except OSError:
        return 0, time.monotonic() - start
    status = int(first.split(b" ")[1]) if first.startswith(b"HTTP/") else 0
    return status, time.monotonic() - start


class Daemon:
    def __init__(self, build, placeholder):
        self.root = tempfile.mkdtemp(prefix="quavox-worst-")
        self.port = free_port()
        for sub in ("engine", "models", "data"):
            os.makedirs(os.path.join(self.root, sub))
        s2 = os.path.join(build, "bin", "engine", "s2")
        self.engine = not placeholder and os.path.exists(s2)
        if self.engine:
            shutil.copy(s2, os.path.join(self.root, "engine", "s2"))
            shutil.copy(os.path.join(build, "bin", "models", "quavox-espeak.gguf"),
                        os.path.join(self.root, "models"))
        with open(os.path.join(self.root, "data", "config.json"), "w") as f:
            json.dump({"server": {"port": self.port, "bind": "127.0.0.1",
                                  "rateLimitPerMinute": 0, "accessLog": "off"}}, f)
        self.stderr = open(os.path.join(self.root, "stderr.log"), "w")
        self.proc = subprocess.Popen([os.path.join(build, "bin", "quavoxd"), "--root", self.root],
                                     stdout=subprocess.DEVNULL, stderr=self.stderr)
        deadline = time.time() + 120
        while time.time() < deadline:
            if self.proc.poll() is not None:
                sys.exit("quavoxd ended:\n" + open(self.stderr.name).read())
            status, _ = request(self.port, "GET", "/health", timeout=1)
            if status == 200 and self.ready():
                return
            time.sleep(0.05)
        sys.exit("quavoxd did not get ready")

    def ready(self):
        with socket.create_connection(("127.0.0.1", self.port), timeout=2) as s:
            s.sendall(b"GET /health HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
            data = b""
            while chunk := s.recv(65536):
                data += chunk
        return b'"ready"' in data

    def stop(self):
        alive = self.proc.poll() is None
        if alive:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=60)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.stderr.close()
        shutil.rmtree(self.root, ignore_errors=True)
        return alive


def english(letters, serial):
    words = f"Flight {serial} to Beijing is now boarding at gate twelve please proceed "
    return (words * (letters // len(words) + 1))[:letters]


def tts(text, speed, rate):
    return "/v1/tts?" + urllib.parse.urlencode(
        {"text": text, "language": "en", "speed": speed, "sample_rate": rate})


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(os.path.dirname(__file__), "..", "build"))
    parser.add_argument("--duration", type=float, default=60.0)
    parser.add_argument("--workers", type=int, default=200)
    parser.add_argument("--placeholder", action="store_true",
                        help="speak with the placeholder engine even when s2 is built")
    args = parser.parse_args()

    daemon = Daemon(os.path.abspath(args.build), args.placeholder)
    idle_mb = status_line(daemon.proc.pid, "VmRSS")
    stop = threading.Event()
    lock = threading.Lock()
    statuses = collections.defaultdict(collections.Counter)
    serial = iter(range(1, 1 << 40))

    def record(kind, status):
        with lock:
            statuses[kind][status] += 1

    def next_serial():
        with lock:
            return next(serial)

    def long_worker(index):
        turn = index
        while not stop.is_set():
            turn += 1
            n = next_serial()
            if turn % 17 == 0:
                record("numbers", request(daemon.port, "GET", tts(english(40, n), 1, -4194967296),
                                          source=ATTACKER)[0])
            elif turn % 2:
                record("long 5000", request(daemon.port, "GET", tts(english(5000, n), 0.5, 192000),
                                            source=ATTACKER)[0])
            else:
                record("long 700", request(daemon.port, "GET", tts(english(700, n), 0.5, 192000),
                                           source=ATTACKER)[0])

    empty_arrays = b'{"x":[' + b"[]," * (20 << 20) + b"[]]}"
    four_mb = b'{"text":"Gate","x":[' + b"[]," * ((4 << 20) // 3 - 10) + b"[]]}"

    def body_worker():
        while not stop.is_set():
            record("60 MB body", request(daemon.port, "POST", "/v1/voices/clone", empty_arrays,
                                         source=ATTACKER)[0])
            record("4 MB body", request(daemon.port, "POST", "/v1/tts", four_mb,
                                        source=ATTACKER)[0])

    def announce_worker(index):
        turn = index
        while not stop.is_set():
            turn += 1
            n = next_serial()
            letters = 600 if turn % 2 else 60
            body = json.dumps({"speed": 0.5, "sample_rate": 192000, "segments": [
                {"text": english(letters, f"{n}-{i}"), "language": "en"} for i in range(8)]})
            record(f"announce 8x{letters}", request(daemon.port, "POST", "/v1/announce",
                                                    body.encode(), source=ATTACKER)[0])

    latencies = []

    def second_client():
        while not stop.is_set():
            n = next_serial()
            status, seconds = request(daemon.port, "GET", tts(f"Flight {n} is now boarding", 1, 0))
            record("second client", status)
            if status == 200:
                latencies.append(seconds)

    peak = [0.0]

    def sampler():
        while not stop.is_set() and daemon.proc.poll() is None:
            try:
                peak[0] = max(peak[0], status_line(daemon.proc.pid, "VmRSS"))
            except OSError:
                break
            time.sleep(0.05)

    threads = [threading.Thread(target=long_worker, args=(i,)) for i in range(args.workers)]
    threads += [threading.Thread(target=body_worker) for _ in range(3)]
    threads += [threading.Thread(target=announce_worker, args=(i,)) for i in range(4)]
    threads += [threading.Thread(target=second_client), threading.Thread(target=sampler)]
    for t in threads:
        t.daemon = True
        t.start()
    time.sleep(args.duration)
    alive_at_end = daemon.proc.poll() is None
    high_water = status_line(daemon.proc.pid, "VmHWM") if alive_at_end else 0.0
    stop.set()
    for t in threads:
        t.join(timeout=120)
    survived = daemon.stop()

    engine = "bundled engine" if daemon.engine else "placeholder engine"
    print(f"== worst mix for {args.duration:.0f} s, {args.workers} long-text workers, {engine}")
    for kind in sorted(statuses):
        counts = ", ".join(f"{status}: {count}" for status, count in sorted(statuses[kind].items()))
        print(f"{kind:>16}  {counts}")
    print(f"resident memory: idle {idle_mb:.0f} MiB, peak sampled {peak[0]:.0f} MiB, "
          f"high-water mark {high_water:.0f} MiB (target under {TARGET_MB} MiB)")
    if latencies:
        ordered = sorted(latencies)
        p95 = ordered[min(len(ordered) - 1, int(len(ordered) * 0.95))]
        print(f"second client: {len(latencies)} lines answered 200, latency median "
              f"{statistics.median(ordered) * 1000:.0f} ms, p95 {p95 * 1000:.0f} ms, "
              f"max {ordered[-1] * 1000:.0f} ms")
    else:
        print("second client: no line answered 200")
    ok = alive_at_end and survived and max(peak[0], high_water) < TARGET_MB
    print("meets the target" if ok else "MISSES the target")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
