#!/usr/bin/env python3
"""Figures of several nodes on one machine (run by hand): how long a change on the primary takes
to reach two followers (default cluster.followSeconds), cache hits through HAProxy against hits
straight from one node (measured with wrk; see hits()), and new lines per second (cache
misses) through HAProxy with one node against three.

The machine has two cores, so three real engines would share them and could not show what three
machines do. Each node's bundled engine therefore waits ENGINE_DELAY_MS before every line
(--test-answer-delay-ms): that stands for the engine's time on the node's own machine. A node
makes one line at a time, so more clients do not make one node faster; what the nodes still
compute (the small bundled engine, the daemon, HAProxy) shares this machine's two cores, which
only works against the three-node figure. Usage: cluster.py [build folder]
"""

import base64
import collections
import concurrent.futures
import io
import json
import math
import os
import runpy
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import types
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)


def load(path):
    # The scripts' file names are not module names; their globals serve as the module.
    return types.SimpleNamespace(**runpy.run_path(path))


cache_miss = load(os.path.join(HERE, "cache-miss.py"))
try_cluster = load(os.path.join(REPO, "deploy", "cluster", "try-cluster.py"))

ENGINE_DELAY_MS = int(os.environ.get("ENGINE_DELAY_MS", "800"))
MISS_LINES = int(os.environ.get("MISS_LINES", "90"))
MISS_CLIENTS = 12
HIT_PATH = "/v1/tts?text=Final+call+for+flight+4711+to+Oslo.&airline=CCA&language=en&gender=female"


def tone_wav(frequency):
    rate, frames = 22050, 44100
    samples = b"".join(struct.pack("<h", int(12000 * (0.6 + 0.4 * math.sin(2 * math.pi * 3 * i / rate))
                                             * math.sin(2 * math.pi * frequency * i / rate)))
                       for i in range(frames))
    out = io.BytesIO()
    out.write(b"RIFF" + struct.pack("<I", 36 + len(samples)) + b"WAVEfmt ")
    out.write(struct.pack("<IHHIIHH", 16, 1, 1, rate, rate * 2, 2, 16))
    out.write(b"data" + struct.pack("<I", len(samples)) + samples)
    return base64.b64encode(out.getvalue()).decode()


def clone(node, frequency):
    status, body, _ = node.call("POST", "/v1/voices/clone",
                                {"display": f"tone {frequency}", "language": "en",
                                 "audio": tone_wav(frequency), "reference_text": "A tone."})
    assert status == 200, body
    return json.loads(body)["id"]


def reach_seconds(primary, followers, change):
    """Makes the change on the primary; seconds until every follower's /v1/airlines and
    /v1/voices equal the primary's."""
    change()
    start = time.perf_counter()
    wanted = [primary.call("GET", path)[1] for path in ("/v1/airlines", "/v1/voices")]
    for node in followers:
        while [node.call("GET", path)[1] for path in ("/v1/airlines", "/v1/voices")] != wanted:
            time.sleep(0.01)
    return time.perf_counter() - start


def wrk_rate(port, cpu=None):
    """Cache hits per second with wrk; on core cpu with one thread when given."""
    pin = ["taskset", "-c", str(cpu)] if cpu is not None else []
    threads = "-t1" if cpu is not None else "-t2"
    out = subprocess.run(pin + ["wrk", threads, "-c8", "-d5s",
                                f"http://127.0.0.1:{port}{HIT_PATH}"],
                         capture_output=True, text=True, check=True).stdout
    return float(next(l for l in out.splitlines() if l.startswith("Requests/sec")).split()[1])


def pin(pid, cpu):
    subprocess.run(["taskset", "-a", "-p", "-c", str(cpu), str(pid)], check=True,
                   capture_output=True)


NODE_CPU = float(os.environ.get("NODE_CPU", "0.5"))
CPU_CGROUP = "/sys/fs/cgroup/cpu"


def limit_cpu(pid, name, cores):
    """Puts the process in a cpu cgroup of its own with a quota of the given share of a core;
    False where this machine's cgroups cannot be written (not root, or no v1 cpu controller)."""
    group = os.path.join(CPU_CGROUP, name)
    try:
        os.makedirs(group, exist_ok=True)
        with open(os.path.join(group, "cpu.cfs_period_us"), "w") as f:
            f.write("100000")
        with open(os.path.join(group, "cpu.cfs_quota_us"), "w") as f:
            f.write(str(int(100000 * cores)))
        with open(os.path.join(group, "cgroup.procs"), "w") as f:
            f.write(str(pid))
        return True
    except OSError:
        return False


def release_cpu(pid, name):
    with open(os.path.join(CPU_CGROUP, "cgroup.procs"), "w") as f:
        f.write(str(pid))
    os.rmdir(os.path.join(CPU_CGROUP, name))


def hits_on_own_machines(lb, nodes, owner):
    """Each node on a machine of its own, as the recipe runs: the nodes share this machine's
    two cores with wrk and HAProxy, so every node is held to NODE_CPU of a core and the client
    and the balancer have the rest. The hit's node is then the limit either way, as it is when
    the balancer runs on a machine of its own."""
    limited = [name for name, node in nodes.items()
               if limit_cpu(node.proc.pid, f"quavox-bench-{name}", NODE_CPU)]
    try:
        if len(limited) < len(nodes):
            print("  (nodes not held to a CPU share: this machine's cpu cgroup cannot be written)")
            return
        ratios = []
        for _ in range(3):
            direct, through = wrk_rate(nodes[owner].port), wrk_rate(lb.port)
            ratios.append(through / direct)
            print(f"  every node held to {NODE_CPU} of a core (cgroup cpu quota): straight to "
                  f"{owner} {direct:.0f}/s, through HAProxy {through:.0f}/s "
                  f"({through / direct:.2f}x), load {os.getloadavg()[0]:.2f}")
        print(f"  median {statistics.median(ratios):.2f}x")
    finally:
        for name in limited:
            release_cpu(nodes[name].proc.pid, f"quavox-bench-{name}")


def hits(lb, nodes):
    """Hits straight from the line's node and through HAProxy: first as everything falls on the
    two cores, then with every node held to a share of a core (its own machine), then with the
    node alone on core 1 and wrk and HAProxy on core 0, so the node has the same core either
    way (the client and the balancer then share one)."""
    owner = lb.call("GET", HIT_PATH)[1]
    lb.call("GET", HIT_PATH)
    direct, through = wrk_rate(nodes[owner].port), wrk_rate(lb.port)
    print(f"cache hits with wrk (2 threads, 8 connections, 5 s), all on both cores: straight to "
          f"{owner} {direct:.0f}/s, through HAProxy {through:.0f}/s ({through / direct:.2f}x)")
    hits_on_own_machines(lb, nodes, owner)
    pin(nodes[owner].proc.pid, 1)
    pin(lb.proc.pid, 0)
    for _ in range(2):
        direct, through = wrk_rate(nodes[owner].port, 0), wrk_rate(lb.port, 0)
        print(f"  {owner} on core 1, wrk (1 thread) and HAProxy on core 0: straight "
              f"{direct:.0f}/s, through HAProxy {through:.0f}/s ({through / direct:.2f}x), "
              f"load {os.getloadavg()[0]:.2f}")


def new_lines_per_second(lb, round_):
    """MISS_LINES lines never asked before, from MISS_CLIENTS clients at once."""
    def ask(n):
        query = urllib.parse.urlencode({"text": f"Round {round_}: gate B{n} is now open for "
                                                f"flight {1000 + n}.", "airline": "CCA",
                                  "language": "en", "gender": "female"})
        status, node, cache = lb.call("GET", "/v1/tts?" + query)
        assert status == 200 and cache == "miss", (status, cache)
        return node
    start = time.perf_counter()
    with concurrent.futures.ThreadPoolExecutor(MISS_CLIENTS) as pool:
        nodes = list(pool.map(ask, range(MISS_LINES)))
    return MISS_LINES / (time.perf_counter() - start), collections.Counter(nodes)


def scaling(scratch, nodes):
    rates, shares = {}, {}
    for count in (1, 3):
        folder = os.path.join(scratch, f"lb{count}")
        os.makedirs(folder)
        lb = try_cluster.Balancer(folder, dict(list(nodes.items())[:count]))
        try:
            rates[count], shares[count] = new_lines_per_second(lb, count)
        finally:
            lb.stop()
    print(f"new lines (cache misses, engine {ENGINE_DELAY_MS} ms a line, {MISS_LINES} lines from "
          f"{MISS_CLIENTS} clients) through HAProxy: one node {rates[1]:.2f}/s, three nodes "
          f"{rates[3]:.2f}/s ({rates[3] / rates[1]:.2f}x; lines per node "
          f"{dict(sorted(shares[3].items()))})")


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(REPO, "build")
    bin_dir = os.path.join(build, "bin")
    scratch = tempfile.mkdtemp(prefix="quavox-cluster-bench-")
    nodes, lb = {}, None
    try:
        slow = {"engine": {"extraArgs": f"--test-answer-delay-ms {ENGINE_DELAY_MS}"}}
        nodes["n1"] = cache_miss.Daemon(bin_dir, os.path.join(scratch, "n1"), slow)
        primary_url = f"http://127.0.0.1:{nodes['n1'].port}"
        for name in ("n2", "n3"):
            nodes[name] = cache_miss.Daemon(bin_dir, os.path.join(scratch, name),
                                            slow | {"cluster": {"primary": primary_url}})
        primary, followers = nodes["n1"], [nodes["n2"], nodes["n3"]]
        times = []
        for round_ in range(5):
            def change(round_=round_):
                voice = clone(primary, 150 + 20 * round_)
                primary.call("PUT", "/v1/airlines", {"airline": "CCA", "language": "en",
                                                     "gender": "female", "voice": voice})
                primary.call("PUT", "/v1/defaults", {"language": "en", "female": voice,
                                                     "male": voice})
            times.append(reach_seconds(primary, followers, change))
        print(f"a new voice bound on the primary reaches both followers (followSeconds 2) in "
              f"{statistics.median(times):.2f} s median, {max(times):.2f} s at most "
              f"({', '.join(f'{t:.2f}' for t in times)})")

        # Each node readies the followed default voice before lines are counted.
        for node in nodes.values():
            status, body, _ = node.call("GET", "/v1/tts?text=Warm+up.&airline=CCA&language=en"
                                               "&gender=female")
            assert status == 200, body[:300]
        scaling(scratch, nodes)
        lb = try_cluster.Balancer(scratch, nodes)
        hits(lb, nodes)
    finally:
        try_cluster.tear_down(lb, nodes, scratch)


if __name__ == "__main__":
    main()
