#!/usr/bin/env python3
"""How well a speech recogniser understands the bundled engine's English, through a real
quavoxd: SENTENCES announcement sentences in the default female voice, the default male voice
and a voice cloned from a 6 s clip, next to espeak-ng's and flite's command lines on the same
sentences. Word error rate from pocketsphinx (pocketsphinx-en-us, audio at 16 kHz mono)
against the sentence as written (target: <= 12 % for each voice of the engine).

Also the cost of a cache miss per second of speech produced, against flite's command line
once per sentence (target: ratio <= 0.8), and the engine's resident memory (the server and
its speaker process) once both English voices have spoken.

With a second build folder (one of an engine before flite, espeak-ng only), both engines are
started on their own, speak the same English lines in both genders and a Chinese one, and
their memory is compared (target: at most 30 MiB more), as resident memory and as
proportional memory (pages shared between the server and its speaker counted once).
MEMORY_ONLY=1 in the environment skips the recogniser.
Usage: bench/english-wer.py [build folder, default build] [baseline build folder]
"""

import json
import os
import re
import runpy
import shutil
import subprocess
import sys
import tempfile
import time
import types
import base64
import http.client

HERE = os.path.dirname(os.path.abspath(__file__))
cache_miss = types.SimpleNamespace(**runpy.run_path(os.path.join(HERE, "cache-miss.py")))

SENTENCES = [
    "Ladies and gentlemen, welcome aboard this flight to Tokyo.",
    "Flight four five two to London is now boarding at gate twelve.",
    "Please fasten your seat belt and return your seat to the upright position.",
    "This is the final call for passengers travelling to Frankfurt.",
    "The flight to Singapore has been delayed by thirty minutes.",
    "Passengers are reminded not to leave their baggage unattended.",
    "Please have your boarding pass and passport ready for inspection.",
    "We will be landing in Sydney in approximately twenty minutes.",
    "Smoking is not permitted anywhere on this flight.",
    "The captain has switched on the seat belt sign.",
    "Please proceed to gate nine for your connecting flight.",
    "Your baggage will arrive on belt number four.",
    "We apologise for the delay and thank you for your patience.",
    "Passengers with small children may board first.",
    "The local time in Madrid is ten past three in the afternoon.",
    "Please switch off all electronic devices during take off.",
    "Cabin crew, please prepare for landing.",
    "The flight to Chicago will depart from gate twenty one.",
    "Thank you for flying with us and have a pleasant day.",
    "Boarding for rows ten to twenty will begin shortly.",
    "Please keep your seat belt fastened while seated.",
    "Transfer passengers should follow the signs to the transfer desk.",
]

VOICES = [("default female", {"gender": "female"}), ("default male", {"gender": "male"})]


# The recogniser's dictionary writes some words otherwise than the sentences do; a listener
# hears no difference, so both sides are scored in the sentences' spelling.
SPELLINGS = {"seatbelt": "seat belt", "takeoff": "take off", "apologize": "apologise"}


def words(text):
    spoken = re.sub(r"[^a-z' ]", " ", text.lower()).split()
    return " ".join(SPELLINGS.get(w, w) for w in spoken).split()


def edit_distance(a, b):
    row = list(range(len(b) + 1))
    for i, x in enumerate(a, 1):
        prev, row[0] = row[0], i
        for j, y in enumerate(b, 1):
            prev, row[j] = row[j], min(row[j] + 1, row[j - 1] + 1, prev + (x != y))
    return row[-1]


def recognise(wav, work):
    pcm16k = os.path.join(work, "asr.wav")
    subprocess.run(["sox", wav, "-r", "16000", "-c", "1", "-b", "16", pcm16k], check=True)
    out = subprocess.run(["pocketsphinx_continuous", "-infile", pcm16k, "-logfn", "/dev/null"],
                         capture_output=True, text=True, check=True).stdout
    return " ".join(out.split())


def wer(files, work):
    errors = total = 0
    for text, wav in files:
        ref = words(text)
        errors += edit_distance(ref, words(recognise(wav, work)))
        total += len(ref)
    return 100.0 * errors / total


def wav_seconds(path):
    out = subprocess.run(["soxi", "-D", path], capture_output=True, text=True, check=True).stdout
    return float(out)


def command_line(argv_for, work, name):
    files, seconds = [], 0.0
    start = time.perf_counter()
    for i, text in enumerate(SENTENCES):
        path = os.path.join(work, f"{name}-{i}.wav")
        subprocess.run(argv_for(text, path), check=True, capture_output=True)
        files.append((text, path))
    elapsed = time.perf_counter() - start
    seconds = sum(wav_seconds(p) for _, p in files)
    return files, elapsed, seconds


def through_daemon(daemon, fields, work, name):
    conn = http.client.HTTPConnection("127.0.0.1", daemon.port, timeout=120)
    files, elapsed, seconds = [], 0.0, 0.0
    for i, text in enumerate(SENTENCES):
        body = json.dumps(dict(fields, text=text, language="en"))
        t0 = time.perf_counter()
        conn.request("POST", "/v1/tts", body=body, headers={"Content-Type": "application/json"})
        res = conn.getresponse()
        wav = res.read()
        elapsed += time.perf_counter() - t0
        if res.status != 200:
            sys.exit(f"unexpected answer {res.status}: {wav[:200]}")
        if res.getheader("X-Quavox-Cache") != "miss":
            sys.exit(f"{name}: a cache hit where a miss was expected (voice "
                     f"{res.getheader('X-Quavox-Voice')})")
        seconds += int(res.getheader("X-Quavox-Duration-Ms")) / 1000
        path = os.path.join(work, f"{name}-{i}.wav")
        with open(path, "wb") as f:
            f.write(wav)
        files.append((text, path))
    conn.close()
    return files, elapsed, seconds


def tree_memory_mib(pids, field="VmRSS", source="status"):
    """A memory figure (kB in /proc/PID/<source>) summed over the processes and every
    process below them, in MiB."""
    total, todo = 0, list(pids)
    while todo:
        pid = todo.pop()
        try:
            with open(f"/proc/{pid}/{source}") as f:
                total += next(int(l.split()[1]) for l in f if l.startswith(field + ":"))
            with open(f"/proc/{pid}/task/{pid}/children") as f:
                todo += f.read().split()
        except (OSError, StopIteration):
            pass
    return total / 1024


def engine_rss_mib(daemon):
    """Resident memory of s2 and every process below it, in MiB."""
    pids = subprocess.run(["pgrep", "-f", os.path.join(daemon.root, "engine", "s2")],
                          capture_output=True, text=True).stdout.split()
    return tree_memory_mib(pids)


MEMORY_LINES = ["[female] Ladies and gentlemen, welcome aboard this flight to Tokyo.",
                "[male] Flight four five two to London is now boarding at gate twelve.",
                "各位旅客请注意,本次航班即将起飞。"]


def generate(port, text):
    boundary = "qxBenchBoundary"
    body = (f"--{boundary}\r\nContent-Disposition: form-data; name=\"text\"\r\n"
            f"Content-Type: text/plain; charset=utf-8\r\n\r\n{text}\r\n"
            f"--{boundary}\r\nContent-Disposition: form-data; name=\"params\"\r\n\r\n"
            f"{{}}\r\n--{boundary}--\r\n").encode()
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    conn.request("POST", "/generate", body=body,
                 headers={"Content-Type": f"multipart/form-data; boundary={boundary}"})
    res = conn.getresponse()
    res.read()
    conn.close()
    if res.status != 200:
        sys.exit(f"the engine answered {res.status}")


def standalone_engine_memory(bin_dir):
    """Resident and proportional memory of one build's engine, started on its own, once it
    has spoken MEMORY_LINES."""
    port = cache_miss.free_port()
    server = subprocess.Popen([os.path.join(bin_dir, "engine", "s2"), "--model",
                               os.path.join(bin_dir, "models", "quavox-espeak.gguf"),
                               "--server", "--port", str(port)], stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 30
        while True:
            try:
                http.client.HTTPConnection("127.0.0.1", port, timeout=1).connect()
                break
            except OSError:
                if time.monotonic() > deadline or server.poll() is not None:
                    sys.exit(f"{bin_dir}: the engine did not start")
                time.sleep(0.05)
        for text in MEMORY_LINES:
            generate(port, text)
        return (tree_memory_mib([server.pid]),
                tree_memory_mib([server.pid], "Pss", "smaps_rollup"))
    finally:
        server.terminate()
        server.wait()


def compare_engine_memory(bin_dir, baseline_dir):
    now, before = standalone_engine_memory(bin_dir), standalone_engine_memory(baseline_dir)
    print(f"== engine memory on its own after {len(MEMORY_LINES)} lines (English in both "
          f"genders, Chinese) ==")
    print(f"{'engine':40} {'resident':>10} {'proportional':>13}")
    for name, (rss, pss) in [("this build", now), ("baseline", before)]:
        print(f"{name:40} {rss:8.1f} MiB {pss:9.1f} MiB")
    print(f"{'difference':40} {now[0] - before[0]:+8.1f} MiB {now[1] - before[1]:+9.1f} MiB"
          f"   (target: at most +30 MiB)")


def default_voice_rows(bin_dir, work):
    """Each default voice in a folder of its own: a line without a voice falls back to the
    language's other default once one exists, so a second gender would never be made."""
    rows = []
    for name, fields in VOICES:
        daemon = cache_miss.Daemon(bin_dir, os.path.join(work, "root-" + fields["gender"]))
        try:
            daemon.call("POST", "/v1/tts", dict(fields, text="Warm up.", language="en"))
            files, elapsed, seconds = through_daemon(daemon, fields, work, fields["gender"])
            rows.append((f"quavoxd, {name}", wer(files, work), elapsed / seconds))
        finally:
            daemon.stop()
    return rows


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    bin_dir = os.path.abspath(os.path.join(build, "bin"))
    if len(sys.argv) > 2:
        compare_engine_memory(bin_dir, os.path.abspath(os.path.join(sys.argv[2], "bin")))
    if os.environ.get("MEMORY_ONLY") == "1":
        return
    for tool in ("pocketsphinx_continuous", "flite", "espeak-ng", "sox"):
        if shutil.which(tool) is None:
            sys.exit(f"{tool} is missing: run scripts/install-deps.sh")
    work = tempfile.mkdtemp(prefix="quavox-english-wer-")
    daemon = None
    try:
        clip = os.path.join(work, "clip.wav")
        cache_miss.make_clip(clip)
        daemon = cache_miss.Daemon(bin_dir, os.path.join(work, "root"))
        with open(clip, "rb") as f:
            order = {"display": "bench", "language": "en",
                     "clips": [{"audio": base64.b64encode(f.read()).decode(),
                                "text": cache_miss.CLIP_TEXT}]}
        status, body, _ = daemon.call("POST", "/v1/voices/clone", order)
        if status != 200:
            sys.exit(f"clone refused: {status} {body[:300]}")
        cloned = {"voice": json.loads(body)["id"]}
        daemon.call("POST", "/v1/tts", dict(cloned, text="Warm up.", language="en"))
        files, elapsed, seconds = through_daemon(daemon, cloned, work, "cloned")
        rss = engine_rss_mib(daemon)
        daemon.stop()
        daemon = None
        rows = default_voice_rows(bin_dir, work)
        rows.append(("quavoxd, cloned from a 6 s clip", wer(files, work), elapsed / seconds))
        for name, argv in [
            ("espeak-ng en", lambda t, p: ["espeak-ng", "-v", "en", "-w", p, t]),
            ("flite slt", lambda t, p: ["flite", "-voice", "slt", "-t", t, "-o", p]),
            ("flite rms", lambda t, p: ["flite", "-voice", "rms", "-t", t, "-o", p]),
        ]:
            files, elapsed, seconds = command_line(argv, work, name.replace(" ", "-"))
            rows.append((f"{name} (command line)", wer(files, work), elapsed / seconds))
        flite_cost = statistics_median([r[2] for r in rows if r[0].startswith("flite")])
        print(f"== English through quavoxd and the bundled engine, {len(SENTENCES)} sentences, "
              f"pocketsphinx at 16 kHz ==")
        print(f"{'voice':40} {'WER':>7} {'s per s of speech':>18} {'vs flite':>9}")
        for name, rate, cost in rows:
            print(f"{name:40} {rate:6.1f}% {cost:18.3f} {cost / flite_cost:9.2f}")
        print("targets: WER <= 12 % for each quavoxd voice; a miss costs <= 0.8x flite's "
              "command line per second of speech")
        print(f"engine resident memory (server and speaker) after both English voices: "
              f"{rss:.1f} MiB")
    finally:
        if daemon:
            daemon.stop()
        shutil.rmtree(work, ignore_errors=True)


def statistics_median(values):
    values = sorted(values)
    return (values[(len(values) - 1) // 2] + values[len(values) // 2]) / 2


if __name__ == "__main__":
    main()
