#!/usr/bin/env bash
# Requests per second of a cached line as WAV against the same line as MP3 (and Opus) from
# the in-memory cache of encoded replies: wrk, keep-alive, 16 connections, in one run
# against one quavoxd on 127.0.0.1.
# Usage: bench/formats-wrk.sh [build folder, default build]; SECONDS_EACH (default 10).
set -euo pipefail

BUILD=${1:-build}
DAEMON="$(cd "$BUILD/bin" && pwd)/quavoxd"
SECONDS_EACH=${SECONDS_EACH:-10}
[ -x "$DAEMON" ] || { echo "no $DAEMON: build first (make build)"; exit 1; }
command -v wrk >/dev/null || { echo "wrk is missing (bash scripts/install-deps.sh)"; exit 1; }

WORK=$(mktemp -d /tmp/quavox-formats-wrk-XXXXXX)
DAEMON_PID=""
cleanup() {
  [ -n "$DAEMON_PID" ] && kill "$DAEMON_PID" 2>/dev/null && wait "$DAEMON_PID" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
mkdir -p "$WORK/data"
echo "{\"server\": {\"port\": $PORT, \"bind\": \"127.0.0.1\"}}" >"$WORK/data/config.json"
"$DAEMON" --root "$WORK" 2>"$WORK/daemon.log" &
DAEMON_PID=$!
for _ in $(seq 1 600); do
  curl -sf "http://127.0.0.1:$PORT/health" >/dev/null && break
  sleep 0.1
done

LINE="http://127.0.0.1:$PORT/v1/tts?text=Flight%20CA1234%20to%20Beijing%20is%20now%20boarding%20at%20gate%2023&language=en"
# One request of each fills the audio cache and the encoded-reply cache.
for q in "" "&format=mp3" "&format=opus" "&format=mp3&loudness=-16"; do
  curl -sf -o /dev/null "$LINE$q"
done

rps() {
  wrk -t2 -c16 -d"${SECONDS_EACH}s" "$1" | awk '/Requests\/sec/ {print $2}'
}
WAV=$(rps "$LINE")
MP3=$(rps "$LINE&format=mp3")
OPUS=$(rps "$LINE&format=opus")
LOUD=$(rps "$LINE&format=mp3&loudness=-16")
report() {
  awk -v name="$1" -v rps="$2" -v wav="$WAV" \
    'BEGIN { printf "%-20s %8.0f requests/s (%3.0f%% of the WAV hit)\n", name, rps, 100 * rps / wav }'
}
report "WAV hit:" "$WAV"
report "MP3 hit:" "$MP3"
report "Opus hit:" "$OPUS"
report "MP3 -16 LUFS hit:" "$LOUD"
