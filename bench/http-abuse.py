#!/usr/bin/env python3
"""Abusive and careless clients against a real quavoxd on 127.0.0.1, bounded in count and time.

Every try starts its own daemon (placeholder engine) in a temporary program folder on a free
port, prints its figures and whether they meet the target, and stops the daemon again:

  slow-headers  2,000 connections from 127.0.0.2 that each send one header byte every 2 s;
                meanwhile /health and a cached GET /v1/tts from 127.0.0.1 are timed.
                Target: /health within 50 ms, the cached clip within 100 ms.
  slow-readers  50 clients ask for one long cached clip and read it at 256 bytes per 3 s;
                resident memory while they hang on, and 60 s after they are gone.
                Target: one copy of the clip (not 50), memory 60 s later at most twice idle.
  json-members  POST /v1/tts with an object of 80,000 members. Target: answered within 1 s.
  json-depth    four 60 MB bodies of nested arrays at once. Target: refused, and the peak
                resident memory stays below 300 MB.
  mixed-load    wrk with 200 connections of mixed cached and new sentences (bench/http-mixed.lua)
                for 30 s; resident memory 60 s later. Target: at most twice idle.

Usage: bench/http-abuse.py [--build DIR] [--quick] [--daemon-env NAME=VALUE ...] [TRY ...]
(default: every try). --quick shortens the waits (10 s instead of 60 s) for a first look; the
targets are meant for the full waits. --daemon-env sets a variable for the daemon alone, for
comparing allocators (LD_PRELOAD=...) or glibc settings (GLIBC_TUNABLES=...). Exit status 1
when a target is missed. Needs wrk for mixed-load.
"""

import argparse
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
ATTACKER = "127.0.0.2"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def rss_mb(pid, field="VmRSS"):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024.0
    return 0.0


class Daemon:
    env = {}

    def __init__(self, build, extra_server=None):
        self.root = tempfile.mkdtemp(prefix="quavox-abuse-")
        self.port = free_port()
        os.makedirs(os.path.join(self.root, "data"))
        server = {"port": self.port, "bind": "127.0.0.1", "rateLimitPerMinute": 0}
        server.update(extra_server or {})
        with open(os.path.join(self.root, "data", "config.json"), "w") as f:
            json.dump({"server": server, "synthesis": {"maxTextLength": 100000}}, f)
        self.stderr = open(os.path.join(self.root, "stderr.log"), "w")
        self.proc = subprocess.Popen([os.path.join(build, "bin", "quavoxd"), "--root", self.root],
                                     stdout=subprocess.DEVNULL, stderr=self.stderr,
                                     env=dict(os.environ, **Daemon.env))
        deadline = time.time() + 30
        while time.time() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError(open(self.stderr.name).read())
            try:
                if request(self.port, "GET", "/health", timeout=1)[0] == 200:
                    return
            except OSError:
                pass
            time.sleep(0.01)
        raise RuntimeError("quavoxd did not answer /health")

    def rss(self, field="VmRSS"):
        return rss_mb(self.proc.pid, field)

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.stderr.close()
        shutil.rmtree(self.root, ignore_errors=True)


def request(port, method, path, body=b"", timeout=10.0, source="127.0.0.1"):
    """One request on a fresh connection: (status, headers text, body bytes, seconds)."""
    start = time.monotonic()
    with socket.create_connection(("127.0.0.1", port), timeout=timeout,
                                  source_address=(source, 0)) as s:
        head = (f"{method} {path} HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
                f"Content-Length: {len(body)}\r\nContent-Type: application/json\r\n\r\n")
        s.sendall(head.encode() + body)
        data = bytearray()
        while True:
            chunk = s.recv(1 << 20)
            if not chunk:
                break
            data += chunk
    elapsed = time.monotonic() - start
    head, _, payload = bytes(data).partition(b"\r\n\r\n")
    status = int(head.split(b" ")[1]) if head.startswith(b"HTTP/") else 0
    return status, head.decode("latin-1"), payload, elapsed


def tts_path(text):
    return "/v1/tts?" + urllib.parse.urlencode({"text": text, "language": "en"})


def verdict(ok):
    return "meets the target" if ok else "MISSES the target"


# ---- slow-headers ---------------------------------------------------------------------------

def try_slow_headers(args):
    count, interval = 2000, 2.0
    d = Daemon(args.build)
    try:
        cached = tts_path("Flight CA1234 to Beijing is now boarding at gate 12")
        request(d.port, "GET", cached, timeout=30)
        socks = []
        for _ in range(count):
            s = socket.socket()
            s.setblocking(False)
            s.bind((ATTACKER, 0))
            s.connect_ex(("127.0.0.1", d.port))
            socks.append(s)
        line = b"GET /v1/stats HTTP/1.1\r\nHost: x\r\nX-Slow: " + b"a" * 10000
        stop = threading.Event()

        def drip():
            k = 0
            while not stop.is_set() and k < len(line):
                for s in socks:
                    try:
                        s.send(line[k:k + 1])
                    except OSError:
                        pass
                k += 1
                stop.wait(interval)

        dripper = threading.Thread(target=drip)
        dripper.start()
        time.sleep(2 * interval + 1)
        health, clip, failures = [], [], 0
        for _ in range(10):
            for path, times in (("/health", health), (cached, clip)):
                try:
                    status, _, _, secs = request(d.port, "GET", path, timeout=5)
                    times.append(secs * 1000 if status == 200 else 5000)
                except OSError:
                    times.append(5000)
                    failures += 1
            time.sleep(0.2)
        stop.set()
        dripper.join()
        for s in socks:
            s.close()
        hmax, cmax = max(health), max(clip)
        print(f"slow-headers: {count} connections from {ATTACKER}, one byte every {interval:.0f} s")
        print(f"  /health max {hmax:.1f} ms, cached /v1/tts max {cmax:.1f} ms from 127.0.0.1 "
              f"({failures} timed out or failed) - {verdict(hmax <= 50 and cmax <= 100)}")
        return hmax <= 50 and cmax <= 100
    finally:
        d.stop()


# ---- slow-readers ---------------------------------------------------------------------------

def try_slow_readers(args):
    count = 50
    settle = 10 if args.quick else 60
    d = Daemon(args.build)
    try:
        text = " ".join(f"Passengers of flight CA{1000 + i} please proceed to gate {i % 40}."
                        for i in range(60))
        path = tts_path(text)
        status, _, wav, _ = request(d.port, "GET", path, timeout=600)
        if status != 200:
            print(f"slow-readers: the long clip failed with {status}")
            return False
        time.sleep(2)
        idle = d.rss()
        socks = []
        for _ in range(count):
            s = socket.socket()
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            s.connect(("127.0.0.1", d.port))
            s.sendall(f"GET {path} HTTP/1.1\r\nHost: x\r\n\r\n".encode())
            socks.append(s)
        peak, held = 0.0, 0.0
        closed = 0
        for _ in range(4):
            time.sleep(3)
            held = d.rss()
            peak = max(peak, held)
            for s in socks:
                try:
                    s.setblocking(False)
                    if s.recv(256) == b"":
                        closed += 1
                except BlockingIOError:
                    pass
                except OSError:
                    closed += 1
        for s in socks:
            s.close()
        time.sleep(settle)
        after = d.rss()
        ok = held - idle < 4 * len(wav) / 1048576 + 64 and after <= 2 * idle
        print(f"slow-readers: {count} clients reading a {len(wav) / 1048576:.1f} MB clip at "
              f"256 bytes per 3 s")
        print(f"  resident: idle {idle:.1f} MB, {held:.1f} MB while they hang on (peak {peak:.1f} "
              f"MB), {after:.1f} MB {settle} s after they are gone - {verdict(ok)}")
        return ok
    finally:
        d.stop()


# ---- json-members, json-depth -----------------------------------------------------------------

def try_json_members(args):
    members = 80000
    d = Daemon(args.build)
    try:
        body = "{" + ",".join(f'"m{i}":{i}' for i in range(members)) + ',"text":""}'
        try:
            status, _, _, secs = request(d.port, "POST", "/v1/tts", body.encode(), timeout=120)
        except OSError:
            status, secs = 0, 120.0
        ok = secs < 1.0
        print(f"json-members: {members} members ({len(body) / 1048576:.1f} MB): status {status} "
              f"after {secs * 1000:.0f} ms - {verdict(ok)}")
        return ok
    finally:
        d.stop()


def try_json_depth(args):
    bodies, size = 4, 60 << 20
    d = Daemon(args.build)
    try:
        idle = d.rss()
        body = b"[" * (size // 2) + b"]" * (size // 2)
        results = [None] * bodies

        def post(k):
            try:
                results[k] = request(d.port, "POST", "/v1/voices/clone", body, timeout=300)[0]
            except OSError as e:
                results[k] = str(e)

        threads = [threading.Thread(target=post, args=(k,)) for k in range(bodies)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        peak = d.rss("VmHWM")
        ok = peak < 300 and all(isinstance(r, int) and 400 <= r < 500 for r in results)
        print(f"json-depth: {bodies} bodies of {size >> 20} MB nested arrays at once: statuses "
              f"{results}; peak resident {peak:.0f} MB (idle {idle:.0f} MB) - {verdict(ok)}")
        return ok
    finally:
        d.stop()


# ---- mixed-load -------------------------------------------------------------------------------

def try_mixed_load(args):
    if shutil.which("wrk") is None:
        print("mixed-load: wrk is not installed (apt-get install wrk)")
        return False
    settle = 10 if args.quick else 60
    seconds = 10 if args.quick else 30
    d = Daemon(args.build)
    try:
        for i in range(20):
            request(d.port, "GET", tts_path(f"Cached announcement number {i}"), timeout=60)
        time.sleep(2)
        idle = d.rss()
        out = subprocess.run(["wrk", "-t2", "-c200", f"-d{seconds}s", "--timeout", "30s", "-s",
                              os.path.join(HERE, "http-mixed.lua"), f"http://127.0.0.1:{d.port}"],
                             capture_output=True, text=True, timeout=seconds + 120).stdout
        loaded = d.rss()
        time.sleep(settle)
        after = d.rss()
        rps = next((l.split()[1] for l in out.splitlines() if l.startswith("Requests/sec")), "?")
        ok = after <= 2 * idle
        print(f"mixed-load: 200 connections for {seconds} s, {rps} req/s")
        print(f"  resident: idle {idle:.1f} MB, {loaded:.1f} MB at the end of the load, "
              f"{after:.1f} MB {settle} s later - {verdict(ok)}")
        return ok
    finally:
        d.stop()


TRIES = {
    "slow-headers": try_slow_headers,
    "slow-readers": try_slow_readers,
    "json-members": try_json_members,
    "json-depth": try_json_depth,
    "mixed-load": try_mixed_load,
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--daemon-env", action="append", default=[])
    parser.add_argument("tries", nargs="*", choices=[[]] + list(TRIES), default=[])
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)
    Daemon.env = dict(item.split("=", 1) for item in args.daemon_env)
    ok = True
    for name in args.tries or list(TRIES):
        ok = TRIES[name](args) and ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
