#!/usr/bin/env bash
# Cache-hit throughput of /v1/tts with the announcement rules on and off, in one run on
# 127.0.0.1. Both URLs name the same clip: one sends an announcement that the rules
# rewrite, the other sends the rewritten text with normalize=false, so the cache key, the
# WAV and the reply are the same and the difference is the reading alone. The two are
# measured in turns (ROUNDS times each, SECONDS_EACH seconds, wrk with 2 threads and 16
# kept-alive connections) and the medians compared.
# Usage: bench/text-rules-load.sh [build folder, default build]
set -euo pipefail

BUILD=${1:-build}
BIN="$(cd "$BUILD/bin" && pwd)"
DAEMON="$BIN/quavoxd"
SECONDS_EACH=${SECONDS_EACH:-5}
ROUNDS=${ROUNDS:-3}
[ -x "$DAEMON" ] || { echo "no $DAEMON: build first"; exit 1; }
command -v wrk >/dev/null || { echo "wrk is not installed"; exit 1; }

WORK=$(mktemp -d /tmp/quavox-text-load-XXXXXX)
DAEMON_PID=""
cleanup() {
  [ -n "$DAEMON_PID" ] && kill "$DAEMON_PID" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
mkdir -p "$WORK/data"
cp -r "$BIN/text" "$WORK/text"
echo "{\"server\": {\"port\": $PORT, \"bind\": \"127.0.0.1\", \"rateLimitPerMinute\": 0}}" \
  >"$WORK/data/config.json"
"$DAEMON" --root "$WORK" >/dev/null 2>"$WORK/stderr.log" &
DAEMON_PID=$!
until curl -sf -o /dev/null "http://127.0.0.1:$PORT/health"; do
  kill -0 "$DAEMON_PID" 2>/dev/null || { cat "$WORK/stderr.log"; exit 1; }
  sleep 0.01
done

BASE="http://127.0.0.1:$PORT"
# A short line at a low rate, so that the reply is small and the reading weighs the most.
TEXT="Flight+CA1234+to+PEK+now+boarding+at+gate+B12,+departure+14:35."
RULED="$BASE/v1/tts?text=$TEXT&language=en&sample_rate=8000"
SPOKEN=$(curl -sf "$BASE/v1/normalize?text=$TEXT&language=en" |
  python3 -c 'import json,sys,urllib.parse; print(urllib.parse.quote_plus(json.load(sys.stdin)["spoken"]))')
PLAIN="$BASE/v1/tts?text=$SPOKEN&language=en&sample_rate=8000&normalize=false"
TAG_RULED=$(curl -sf -D - -o /dev/null "$RULED" | tr -d '\r' | awk -F': ' 'tolower($1) == "etag" {print $2}')
TAG_PLAIN=$(curl -sf -D - -o /dev/null "$PLAIN" | tr -d '\r' | awk -F': ' 'tolower($1) == "etag" {print $2}')
[ "$TAG_RULED" = "$TAG_PLAIN" ] || { echo "the two URLs name different clips"; exit 1; }

rps() { wrk -t2 -c16 -d"${SECONDS_EACH}s" "$1" | awk '$1 == "Requests/sec:" {print $2}'; }
median() { sort -g | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

: >"$WORK/on.txt"
: >"$WORK/off.txt"
for _ in $(seq "$ROUNDS"); do
  rps "$RULED" >>"$WORK/on.txt"
  rps "$PLAIN" >>"$WORK/off.txt"
done
ON=$(median <"$WORK/on.txt")
OFF=$(median <"$WORK/off.txt")
echo "rules on:  $(tr '\n' ' ' <"$WORK/on.txt")-> median $ON requests/s"
echo "rules off: $(tr '\n' ' ' <"$WORK/off.txt")-> median $OFF requests/s"
awk -v on="$ON" -v off="$OFF" 'BEGIN {printf "on/off: %.1f%%\n", 100 * on / off}'
