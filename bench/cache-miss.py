#!/usr/bin/env python3
"""New sentences (cache misses) through quavoxd with the bundled engine and a cloned voice,
side by side with espeak-ng's command line run once per sentence, in one run:

  a. SENTENCES new English sentences one after another over one keep-alive HTTP connection,
     against `espeak-ng -w FILE TEXT` once per sentence (target: ratio <= 0.8);
  b. prewarm of PREWARM_LINES new short lines until all are cached, against espeak-ng once
     per line (target: ratio <= 0.5);
  c. every miss of (a): the time the client waited minus the engine's own time
     (X-Quavox-Synth-Ms), an upper bound of the server's own share (target: <= 8 ms).

Then where the time of one miss goes, from the service's debug lines and the engine's log.
The voice is cloned from a 6 s clip spoken by espeak-ng in another voice. Everything runs in
a scratch program folder on 127.0.0.1; bounded by the counts above.
Usage: bench/cache-miss.py [build folder, default build]
"""

import base64
import http.client
import io
import json
import os
import random
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import wave

SENTENCES = int(os.environ.get("SENTENCES", "20"))
ROUNDS = int(os.environ.get("ROUNDS", "3"))
PREWARM_LINES = int(os.environ.get("PREWARM_LINES", "1000"))
CLIP_SECONDS = 6.0
# espeak-ng speaks this in just under 6 s; the clip is padded to 6 s with silence.
CLIP_TEXT = ("Good morning everyone, this is your captain speaking. We expect a smooth flight "
             "and an early arrival today.")

CITIES = ["Beijing", "Tokyo", "Frankfurt", "Singapore", "Sydney", "Toronto", "Madrid",
          "Helsinki", "Dubai", "Chicago", "Lisbon", "Seoul", "Vienna", "Oslo", "Cairo"]
AIRLINES = ["Air China", "Lufthansa", "Qantas", "Finnair", "Emirates", "Iberia", "KLM"]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def sentence(rng, n):
    city, airline = rng.choice(CITIES), rng.choice(AIRLINES)
    number = rng.randint(100, 9999)
    gate = f"{rng.choice('ABCDE')}{rng.randint(1, 60)}"
    forms = [
        f"{airline} flight {number} to {city} is now boarding at gate {gate}.",
        f"Passengers on flight {number} to {city}, please proceed to gate {gate}.",
        f"Final call for {airline} flight {number} to {city} at gate {gate}.",
        f"Flight {number} to {city} is delayed; the new departure time is {n % 12 + 1} thirty.",
    ]
    return forms[n % len(forms)]


def short_line(rng, n):
    return f"Gate {rng.choice('ABCDEFGH')}{n} is now open for flight {rng.randint(100, 9999)}."


def make_clip(path):
    """A 6 s mono WAV of real speech (espeak-ng, another voice than the default)."""
    raw = subprocess.run(["espeak-ng", "-v", "en+m3", "--stdout", CLIP_TEXT],
                         check=True, capture_output=True).stdout
    with wave.open(io.BytesIO(raw)) as w:
        rate, width = w.getframerate(), w.getsampwidth()
        frames = w.readframes(w.getnframes())
    want = int(rate * CLIP_SECONDS) * width
    frames = frames[:want].ljust(want, b"\0")
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(width)
        w.setframerate(rate)
        w.writeframes(frames)


class Daemon:
    def __init__(self, bin_dir, root, sections=None):
        """sections: further config.json sections, e.g. {"cluster": {...}}."""
        self.root = root
        self.port = free_port()
        for sub in ("engine", "models", "data"):
            os.makedirs(os.path.join(root, sub), exist_ok=True)
        shutil.copy(os.path.join(bin_dir, "engine", "s2"), os.path.join(root, "engine", "s2"))
        shutil.copy(os.path.join(bin_dir, "models", "quavox-espeak.gguf"),
                    os.path.join(root, "models"))
        with open(os.path.join(root, "data", "config.json"), "w") as f:
            json.dump({"server": {"port": self.port, "bind": "127.0.0.1",
                                  "rateLimitPerMinute": 0}} | (sections or {}), f)
        self.stderr = open(os.path.join(root, "stderr.log"), "wb")
        self.proc = subprocess.Popen([os.path.join(bin_dir, "quavoxd"), "--root", root],
                                     stdout=subprocess.DEVNULL, stderr=self.stderr)
        deadline = time.time() + 120
        while time.time() < deadline:
            if self.proc.poll() is not None:
                sys.exit("quavoxd ended:\n" + self.log_text())
            try:
                status, body, _ = self.call("GET", "/health")
                if status == 200 and json.loads(body).get("status") == "ready":
                    return
            except OSError:
                pass
            time.sleep(0.05)
        sys.exit("the bundled engine did not get ready:\n" + self.log_text())

    def call(self, method, path, body=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
        try:
            headers = {"Content-Type": "application/json"} if body is not None else {}
            conn.request(method, path, body=json.dumps(body) if body is not None else None,
                         headers=headers)
            res = conn.getresponse()
            return res.status, res.read(), res
        finally:
            conn.close()

    def log_text(self):
        self.stderr.flush()
        with open(os.path.join(self.root, "stderr.log"), errors="replace") as f:
            return f.read()

    def engine_log(self):
        try:
            with open(os.path.join(self.root, "logs", "s2-engine.log"), errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.stderr.close()


def espeak_once_each(texts, out):
    start = time.perf_counter()
    for text in texts:
        subprocess.run(["espeak-ng", "-w", out, text], check=True)
    return time.perf_counter() - start


def sentences_over_one_connection(daemon, voice, texts):
    conn = http.client.HTTPConnection("127.0.0.1", daemon.port, timeout=120)
    misses = []
    start = time.perf_counter()
    for text in texts:
        body = json.dumps({"text": text, "voice": voice, "language": "en"})
        t0 = time.perf_counter()
        conn.request("POST", "/v1/tts", body=body, headers={"Content-Type": "application/json"})
        res = conn.getresponse()
        wav = res.read()
        waited = (time.perf_counter() - t0) * 1000
        if res.status != 200 or res.getheader("X-Quavox-Cache") != "miss" or len(wav) <= 44:
            sys.exit(f"unexpected answer {res.status} {res.getheader('X-Quavox-Cache')}: {wav[:200]}")
        misses.append((waited, int(res.getheader("X-Quavox-Synth-Ms"))))
    total = time.perf_counter() - start
    conn.close()
    return total, misses


def prewarm(daemon, voice, lines):
    _, body, _ = daemon.call("GET", "/v1/stats")
    base = json.loads(body)["cache_count"]
    items = [{"text": line, "voice": voice} for line in lines]
    start = time.perf_counter()
    status, body, _ = daemon.call("POST", "/v1/prewarm", {"language": "en", "items": items})
    if status != 202:
        sys.exit(f"prewarm refused: {status} {body[:200]}")
    conn = http.client.HTTPConnection("127.0.0.1", daemon.port, timeout=60)
    deadline = start + 600
    while time.perf_counter() < deadline:
        conn.request("GET", "/v1/stats")
        stats = json.loads(conn.getresponse().read())
        if stats["cache_count"] >= base + len(lines):
            conn.close()
            return time.perf_counter() - start
        time.sleep(0.01)
    sys.exit("prewarm did not finish within 600 s")


STEP = re.compile(r"synthesized \d+ ms of audio in ([\d.]+) ms: reference ([\d.]+) ms, "
                  r"engine ([\d.]+) ms \(engine call (\d+) ms\), resample ([\d.]+) ms, "
                  r"normalise ([\d.]+) ms, encode ([\d.]+) ms, cache ([\d.]+) ms")
ENGINE = re.compile(r"POST /generate 200 .* plan=([\d.]+)ms synth=(\d+)ms")


def breakdown(daemon, first, count, waited=None):
    steps = [tuple(map(float, m.groups())) for m in STEP.finditer(daemon.log_text())]
    engine = [tuple(map(float, m.groups())) for m in ENGINE.finditer(daemon.engine_log())]
    steps, engine = steps[first:first + count], engine[first:first + count]
    if not steps:
        return "  (no step lines: the service's debug line is missing from this build)"
    med = [statistics.median(s[i] for s in steps) for i in range(len(steps[0]))]
    total, reference, engine_ms, call, resample, normalise, encode, cache = med
    lines = []
    if waited:
        http = statistics.median(w - s[0] for w, s in zip(waited, steps))
        lines.append(f"  HTTP request and reply      {http:7.2f} ms (client wait minus the service)")
    lines += [f"  service, miss path in all  {total:7.2f} ms",
              f"  reference loading/merging  {reference:7.2f} ms",
              f"  engine job (queue + call)  {engine_ms:7.2f} ms",
              f"    queue hand-over          {engine_ms - call:7.2f} ms (engine call counted in whole ms)"]
    if engine:
        plan = statistics.median(e[0] for e in engine)
        synth = statistics.median(e[1] for e in engine)
        lines += [f"    engine: request read + reference analysis + plan {plan:7.2f} ms",
                  f"    engine: espeak-ng synthesis                      {synth:7.2f} ms",
                  f"    multipart request, transfer, rest                {call - plan - synth:7.2f} ms"]
    lines += [f"  resample                   {resample:7.2f} ms",
              f"  normalise                  {normalise:7.2f} ms",
              f"  encode WAV                 {encode:7.2f} ms",
              f"  cache write                {cache:7.2f} ms"]
    return "\n".join(lines)


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    bin_dir = os.path.abspath(os.path.join(build, "bin"))
    for need in ("quavoxd", "engine/s2", "models/quavox-espeak.gguf"):
        if not os.path.exists(os.path.join(bin_dir, need)):
            sys.exit(f"no {bin_dir}/{need}: build quavoxd, s2 and quavox-voicefile first")
    rng = random.Random(os.getpid() ^ int(time.time()))
    work = tempfile.mkdtemp(prefix="quavox-cache-miss-")
    daemon = None
    try:
        clip = os.path.join(work, "clip.wav")
        make_clip(clip)
        daemon = Daemon(bin_dir, os.path.join(work, "root"))
        with open(clip, "rb") as f:
            order = {"display": "bench", "language": "en",
                     "clips": [{"audio": base64.b64encode(f.read()).decode(), "text": CLIP_TEXT}]}
        status, body, _ = daemon.call("POST", "/v1/voices/clone", order)
        if status != 200:
            sys.exit(f"clone refused: {status} {body[:300]}")
        voice = json.loads(body)["id"]
        out = os.path.join(work, "espeak.wav")
        # One warm-up each, so neither side pays for cold files.
        espeak_once_each(["Warm up."], out)
        daemon.call("POST", "/v1/tts", {"text": "Warm up.", "voice": voice, "language": "en"})
        first_step = len(STEP.findall(daemon.log_text()))

        rounds, misses = [], []
        for _ in range(ROUNDS):
            texts = [sentence(rng, n) for n in range(SENTENCES)]
            espeak_s = espeak_once_each(texts, out)
            quavox_s, round_misses = sentences_over_one_connection(daemon, voice, texts)
            rounds.append((quavox_s, espeak_s))
            misses += round_misses
        report = breakdown(daemon, first_step, SENTENCES * ROUNDS, [w for w, _ in misses])
        first_prewarm_step = len(STEP.findall(daemon.log_text()))

        lines = [short_line(rng, n) for n in range(PREWARM_LINES)]
        espeak_lines_s = espeak_once_each(lines, out)
        prewarm_s = prewarm(daemon, voice, lines)
        prewarm_report = breakdown(daemon, first_prewarm_step, PREWARM_LINES)

        over = [waited - synth for waited, synth in misses]
        print(f"== new sentences through quavoxd (bundled engine, voice cloned from a "
              f"{CLIP_SECONDS:.0f} s clip), {os.cpu_count()} cores ==")
        for i, (quavox_s, espeak_s) in enumerate(rounds):
            print(f"a. round {i + 1}: {SENTENCES} sentences, one keep-alive connection: quavoxd "
                  f"{quavox_s * 1000:.0f} ms ({quavox_s * 1000 / SENTENCES:.1f} ms each), "
                  f"espeak-ng once per sentence {espeak_s * 1000:.0f} ms "
                  f"({espeak_s * 1000 / SENTENCES:.1f} ms each): ratio {quavox_s / espeak_s:.2f}")
        print(f"a. median ratio over {ROUNDS} rounds: "
              f"{statistics.median(q / e for q, e in rounds):.2f} (target <= 0.8)")
        print(f"b. prewarm of {PREWARM_LINES} short lines: quavoxd {prewarm_s:.2f} s, espeak-ng "
              f"once per line {espeak_lines_s:.2f} s: ratio {prewarm_s / espeak_lines_s:.2f} "
              f"(target <= 0.5)")
        p90 = statistics.quantiles(over, n=10)[-1]
        print(f"c. one miss, client wait minus X-Quavox-Synth-Ms over {len(over)} misses: median "
              f"{statistics.median(over):.1f} ms, 90th percentile {p90:.1f} ms, worst "
              f"{max(over):.1f} ms (target <= 8 ms); X-Quavox-Synth-Ms median "
              f"{statistics.median(s for _, s in misses):.0f} ms")
        print("where one miss goes (medians over (a), from the service's debug lines and the "
              "engine log):")
        print(report)
        print("where one prewarmed line goes (medians over (b)):")
        print(prewarm_report)
    finally:
        if daemon:
            daemon.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
