#!/usr/bin/env bash
# Clip files left behind by clones that the process did not live to finish: ROUNDS times,
# start quavoxd on 127.0.0.1 in a scratch program folder, send PARALLEL clones of a
# CLIP_SECONDS WAV at once, SIGKILL the daemon while they are being written, and measure the
# clip files no voice names: present before the next start (what an old build kept forever,
# round after round) and present once the next start has finished. Every voice that was
# answered with 200 must survive with its clip. Bounded: ROUNDS x PARALLEL requests.
# Usage: bench/faults-kill-clones.sh [build folder, default build]
set -euo pipefail

BUILD=${1:-build}
BIN="$(cd "$BUILD/bin" && pwd)"
DAEMON="$BIN/quavoxd"
ROUNDS=${ROUNDS:-6}
PARALLEL=${PARALLEL:-6}
CLIP_SECONDS=${CLIP_SECONDS:-120}
[ -x "$DAEMON" ] || { echo "no $DAEMON: build first (make build)"; exit 1; }
command -v sox >/dev/null || { echo "sox is needed (scripts/install-deps.sh)"; exit 1; }

WORK=$(mktemp -d /tmp/quavox-kill-clones-XXXXXX)
PID=""
cleanup() {
  [ -n "$PID" ] && kill -9 "$PID" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
ROOT="$WORK/root"
mkdir -p "$ROOT/data" "$WORK/xdg"
printf '{"server":{"port":%d,"bind":"127.0.0.1"}}' "$PORT" > "$ROOT/data/config.json"

start_daemon() {
  XDG_DATA_HOME="$WORK/xdg" "$DAEMON" --root "$ROOT" >/dev/null 2>>"$WORK/stderr.log" &
  PID=$!
  for _ in $(seq 1 600); do
    curl -fsS "http://127.0.0.1:$PORT/health" >/dev/null 2>&1 && return 0
    sleep 0.05
  done
  echo "quavoxd did not start"; cat "$WORK/stderr.log"; exit 1
}

# Bytes of clip files that voices.json does not name.
stray_bytes() {
  python3 - "$ROOT" <<'PY'
import json, os, sys
root = sys.argv[1]
try:
    text = open(os.path.join(root, "data/voices.json"), encoding="utf-8-sig").read()
    named = {c["file"] for v in json.loads(text).get("voices", []) for c in v.get("clips", [])}
except FileNotFoundError:
    named = set()
folder = os.path.join(root, "clone")
total = 0
if os.path.isdir(folder):
    for name in os.listdir(folder):
        if name not in named:
            total += os.path.getsize(os.path.join(folder, name))
print(total)
PY
}

for i in $(seq 1 "$PARALLEL"); do
  sox -n -r 48000 -b 16 -c 1 "$WORK/clip$i.wav" synth "$CLIP_SECONDS" sine $((200 + i * 37)) gain -6
  printf '{"display":"k%d","clips":[{"audio":"%s","text":"round clip"}]}' "$i" \
    "$(base64 -w0 "$WORK/clip$i.wav")" > "$WORK/order$i.json"
done

start_daemon
LEFT_TOTAL=0
for round in $(seq 1 "$ROUNDS"); do
  # Each round's recordings differ from the last, so every clone writes new files.
  for i in $(seq 1 "$PARALLEL"); do
    sed -i "s/\"round clip[^\"]*\"/\"round clip $round\"/" "$WORK/order$i.json"
    curl -s -o /dev/null -m 30 -H 'Content-Type: application/json' \
      --data-binary "@$WORK/order$i.json" "http://127.0.0.1:$PORT/v1/voices/clone" &
  done
  sleep 0.${RANDOM:0:1}
  kill -9 "$PID"
  wait 2>/dev/null || true
  PID=""
  LEFT=$(stray_bytes)
  LEFT_TOTAL=$((LEFT_TOTAL + LEFT))
  start_daemon
  AFTER=$(stray_bytes)
  printf 'round %d: stray clip bytes after SIGKILL %d, after the next start %d\n' \
    "$round" "$LEFT" "$AFTER"
done
printf 'total left by %d SIGKILLs (kept forever without the clean-up): %.1f MB\n' \
  "$ROUNDS" "$(python3 -c "print($LEFT_TOTAL / 1048576)")"
printf 'stray clip bytes after the last start: %d\n' "$(stray_bytes)"
kill "$PID"
wait 2>/dev/null || true
PID=""
