#!/usr/bin/env python3
"""Three real quavoxd nodes (bundled engine, separate scratch state folders) behind HAProxy with
deploy/cluster/haproxy.cfg.in, all on 127.0.0.1 with ports chosen at run time. Checks:
  a. the same line, as GET and as POST, always lands on the same node (second request a hit);
  b. 200 different lines spread over all nodes, none cached on two;
  c. after SIGKILL of one node every line still answers 200: its lines move, the others stay;
  d. the node back takes only its share.
Prints the figures; exits non-zero on a failed check. Usage: try-cluster.py [build folder]
"""

import concurrent.futures
import http.client
import json
import os
import runpy
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import types
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
LINES = 200
NODES = ("n1", "n2", "n3")

# The scratch daemon of the cache-miss benchmark: copies the bundled engine into a state folder
# and starts quavoxd there on a free 127.0.0.1 port.
cache_miss = types.SimpleNamespace(**runpy.run_path(os.path.join(REPO, "bench", "cache-miss.py")))

failures = []


def check(ok, what):
    print(("  ok    " if ok else "  FAIL  ") + what)
    if not ok:
        failures.append(what)


def line(n):
    # No airline: a fresh node has no bindings, so the default voices speak.
    return {"text": f"Flight {100 + n} to gate B{n % 40 + 1} is now boarding.",
            "language": "en", "gender": ("female", "male")[n // 2 % 2]}


def get_path(fields):
    return "/v1/tts?" + urllib.parse.urlencode({k: v for k, v in fields.items() if v})


class Balancer:
    def __init__(self, folder, nodes):
        self.port = cache_miss.free_port()
        servers = "\n".join(f"    server {name} 127.0.0.1:{node.port} check"
                            for name, node in nodes.items())
        with open(os.path.join(HERE, "haproxy.cfg.in")) as f:
            text = f.read().replace("@LISTEN@", f"127.0.0.1:{self.port}")
        shutil.copy(os.path.join(HERE, "quavox-clip.lua"), folder)
        self.config = os.path.join(folder, "haproxy.cfg")
        with open(self.config, "w") as f:
            f.write(text.replace("@SERVERS@", servers))
        self.proc = subprocess.Popen(["haproxy", "-db", "-f", self.config],
                                     stdout=subprocess.DEVNULL, stderr=open(os.path.join(folder, "haproxy.log"), "wb"))
        deadline = time.time() + 10
        while time.time() < deadline:
            try:
                if self.call("GET", "/health")[0] == 200:
                    return
            except OSError:
                pass
            time.sleep(0.05)
        with open(os.path.join(folder, "haproxy.log"), errors="replace") as f:
            sys.exit("haproxy did not start:\n" + f.read())

    def call(self, method, path, body=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
        try:
            data = json.dumps(body) if body is not None else None
            headers = {"Content-Type": "application/json"} if body is not None else {}
            conn.request(method, path, body=data, headers=headers)
            res = conn.getresponse()
            res.read()
            return res.status, res.getheader("X-Quavox-Node"), res.getheader("X-Quavox-Cache")
        finally:
            conn.close()

    def post(self, data):
        """A POST of the JSON text data as given, for the escaping forms json.dumps would pick."""
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
        try:
            conn.request("POST", "/v1/tts", body=data.encode(),
                         headers={"Content-Type": "application/json"})
            res = conn.getresponse()
            res.read()
            return res.status, res.getheader("X-Quavox-Node"), res.getheader("X-Quavox-Cache")
        finally:
            conn.close()

    def ask(self, n):
        """Line n, as GET for even n and as POST for odd n."""
        fields = line(n)
        if n % 2:
            return self.call("POST", "/v1/tts", fields)
        return self.call("GET", get_path(fields))

    def stop(self):
        self.proc.terminate()
        self.proc.wait()


def stats(node):
    return json.loads(node.call("GET", "/v1/stats")[1])


def misses(node):
    s = stats(node)
    return s["total"] - s["cache_hits"]


def ask_all(lb, numbers):
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        return dict(zip(numbers, pool.map(lb.ask, numbers)))


def median_ms(call, rounds=30):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        call()
        times.append((time.perf_counter() - start) * 1000)
    return statistics.median(times)


def same_line_same_node(lb, nodes):
    print("a. the same line as GET and as POST")
    fields = {"text": "Final call for flight 4711 to Oslo.", "language": "en",
              "gender": "female"}
    before = {name: misses(node) for name, node in nodes.items()}
    replies = [lb.call("GET", get_path(fields)), lb.call("POST", "/v1/tts", fields),
               lb.call("GET", get_path(fields)), lb.call("POST", "/v1/tts", fields)]
    grew = {name: misses(node) - before[name] for name, node in nodes.items()}
    owners = {r[1] for r in replies}
    check(all(r[0] == 200 for r in replies), "four replies 200")
    check(len(owners) == 1, f"one node answered all four: {sorted(owners)}")
    check([r[2] for r in replies] == ["miss", "hit", "hit", "hit"],
          f"miss then hits: {[r[2] for r in replies]}")
    check(sorted(grew.values()) == [0, 0, 1], f"one miss in all nodes' /v1/stats: {grew}")
    owner = nodes[replies[0][1]]
    direct = median_ms(lambda: owner.call("GET", get_path(fields)))
    via_get = median_ms(lambda: lb.call("GET", get_path(fields)))
    via_post = median_ms(lambda: lb.call("POST", "/v1/tts", fields))
    print(f"  cache hit, median of 30: straight to the node {direct:.2f} ms, through HAProxy "
          f"GET {via_get:.2f} ms, POST read by quavox-clip.lua {via_post:.2f} ms")


# Lines whose GET and POST forms differ most: non-ASCII text escaped as \uXXXX or sent as UTF-8,
# JSON escapes, '+' and '%' in the query; members reordered and extra ones added.
TRICKY = [
    {"text": "Café à Zürich, Gleis 7.", "language": "de", "gender": "male"},
    {"text": "国航CA1234航班现在开始登机。", "language": "zh"},
    {"text": 'Gate "B12" & C+D / 50% boarded \\ now.', "language": "en"},
]


def forms_alike(lb, nodes):
    print("a. GET and POST forms of lines with escapes and non-ASCII text")
    before = sum(misses(node) for node in nodes.values())
    for fields in TRICKY:
        replies = [lb.call("GET", get_path(fields)),
                   lb.call("GET", "/v1/tts?" + urllib.parse.urlencode(
                       fields, quote_via=urllib.parse.quote)),
                   lb.post(json.dumps(fields)),
                   lb.post(json.dumps(fields, ensure_ascii=False)),
                   lb.post(json.dumps(dict(reversed(fields.items())) | {"speed": 1.0}))]
        check(all(r[0] == 200 for r in replies) and len({r[1] for r in replies}) == 1,
              f"five forms, 200 from one node {sorted({r[1] for r in replies})}: {fields['text']}")
    grew = sum(misses(node) for node in nodes.values()) - before
    check(grew == len(TRICKY), f"one miss per line over all nodes: {grew} for {len(TRICKY)}")


def spread(lb, nodes):
    print(f"b. {LINES} different lines (even ones GET, odd ones POST)")
    counts_before = {name: stats(node)["cache_count"] for name, node in nodes.items()}
    start = time.perf_counter()
    replies = ask_all(lb, range(LINES))
    seconds = time.perf_counter() - start
    owner = {n: r[1] for n, r in replies.items()}
    check(all(r[0] == 200 and r[2] == "miss" for r in replies.values()), "every line 200, a miss")
    share = {name: sum(1 for o in owner.values() if o == name) for name in nodes}
    cached = {name: stats(node)["cache_count"] - counts_before[name]
              for name, node in nodes.items()}
    print(f"  lines per node {share}, new clips per node {cached}, {seconds:.1f} s")
    check(all(share.values()), "every node got lines")
    check(cached == share, "each node cached exactly the lines routed to it, none on two")
    again = ask_all(lb, range(LINES))
    check(all(r[2] == "hit" and r[1] == owner[n] for n, r in again.items()),
          "asked again, every line a hit on the same node")
    return owner


def kill_one(lb, nodes, owner, victim):
    print(f"c. SIGKILL {victim}, then every line at once (before the health check notices)")
    nodes[victim].proc.send_signal(signal.SIGKILL)
    nodes[victim].proc.wait()
    replies = ask_all(lb, range(LINES))
    check(all(r[0] == 200 for r in replies.values()),
          f"every line 200 ({sum(r[0] == 200 for r in replies.values())} of {LINES})")
    moved = [n for n, r in replies.items() if r[1] != owner[n]]
    theirs = [n for n in owner if owner[n] == victim]
    print(f"  moved {len(moved)} of {LINES} lines ({100 * len(moved) / LINES:.0f} %), "
          f"{victim} had {len(theirs)}")
    check(sorted(moved) == sorted(theirs), f"only {victim}'s lines moved")
    check(all(r[2] == "hit" for n, r in replies.items() if n not in theirs),
          "the other lines stayed hits where they were")
    return {n: r[1] for n, r in replies.items()}


def bring_back(lb, nodes, owner, victim, folder):
    print(f"d. {victim} back (same state folder and port)")
    port = nodes[victim].port
    nodes[victim].stderr.close()
    free_port = cache_miss.free_port
    cache_miss.free_port = lambda: port
    try:
        nodes[victim] = cache_miss.Daemon(BIN, folder)
    finally:
        cache_miss.free_port = free_port
    probe = next(n for n in owner if owner[n] == victim)
    deadline = time.time() + 15
    while lb.ask(probe)[1] != victim:
        if time.time() > deadline:
            check(False, f"{victim} back in the ring within 15 s")
            return
        time.sleep(0.2)
    replies = ask_all(lb, range(LINES))
    back = [n for n, r in replies.items() if r[1] == victim]
    print(f"  {len(back)} of {LINES} lines back on {victim}")
    check(sorted(back) == sorted(n for n in owner if owner[n] == victim),
          f"exactly {victim}'s former lines went back, the others stayed")
    check(all(r[0] == 200 for r in replies.values()), "every line 200")


def tear_down(lb, nodes, scratch):
    if lb:
        lb.stop()
    for node in nodes.values():
        if node.proc.poll() is None:
            node.stop()
    shutil.rmtree(scratch, ignore_errors=True)


def main():
    global BIN
    build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(REPO, "build")
    BIN = os.path.join(build, "bin")
    scratch = tempfile.mkdtemp(prefix="quavox-cluster-")
    folders = {name: os.path.join(scratch, name) for name in NODES}
    nodes, lb = {}, None
    try:
        for name in NODES:
            nodes[name] = cache_miss.Daemon(BIN, folders[name])
        print("nodes " + ", ".join(f"{n} 127.0.0.1:{d.port}" for n, d in nodes.items()))
        lb = Balancer(scratch, nodes)
        print(f"haproxy 127.0.0.1:{lb.port}")
        same_line_same_node(lb, nodes)
        forms_alike(lb, nodes)
        owner = spread(lb, nodes)
        victim = max(NODES, key=lambda name: sum(o == name for o in owner.values()))
        kill_one(lb, nodes, owner, victim)
        bring_back(lb, nodes, owner, victim, folders[victim])
    finally:
        tear_down(lb, nodes, scratch)
    print("FAILED: " + "; ".join(failures) if failures else "all checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
