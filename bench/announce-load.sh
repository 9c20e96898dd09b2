#!/usr/bin/env bash
# Throughput of whole announcements against single lines on 127.0.0.1, in the same run:
#   1. wrk, keep-alive, 16 connections, GET /v1/tts of one cached line;
#   2. wrk, the same, POST /v1/announce of a chime and three cached segments (zh, en, ja);
# The server's own time without sockets is bench/AnnounceBench (BM_ServeCachedAnnouncement).
# Usage: bench/announce-load.sh [build folder, default build]. Needs wrk and curl.
set -euo pipefail

BUILD=${1:-build}
BIN="$(cd "$BUILD/bin" && pwd)"
HERE="$(cd "$(dirname "$0")" && pwd)"
DAEMON="$BIN/quavoxd"
SECONDS_RUN=${SECONDS_RUN:-10}
[ -x "$DAEMON" ] || { echo "no $DAEMON: build first (make build)"; exit 1; }
command -v wrk >/dev/null || { echo "wrk is missing (apt-get install wrk)"; exit 1; }

WORK=$(mktemp -d /tmp/quavox-announce-load-XXXXXX)
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

PORT=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$WORK/root/data"
cat >"$WORK/root/data/config.json" <<JSON
{"server": {"port": $PORT, "bind": "127.0.0.1", "rateLimitPerMinute": 0}}
JSON
"$DAEMON" --root "$WORK/root" >/dev/null 2>"$WORK/stderr.log" &
PIDS+=("$!")
until curl -sf -o /dev/null "http://127.0.0.1:$PORT/health"; do sleep 0.01; done

BASE="http://127.0.0.1:$PORT"
LINE="$BASE/v1/tts?text=Flight+CA1234+to+Beijing+is+now+boarding+at+gate+twelve.&language=en"
export ANNOUNCE_BODY='{"chime":"start","loudness":-16,"segments":[{"text":"各位旅客请注意,CA1234 航班开始登机。","language":"zh"},{"text":"Flight CA1234 to Beijing is now boarding at gate twelve.","language":"en"},{"text":"CA1234便の搭乗を開始いたします。","language":"ja"}]}'
curl -sf -o "$WORK/line.wav" "$LINE"
curl -sf -o "$WORK/announce.wav" -D "$WORK/announce.head" -H 'Content-Type: application/json' \
  --data-binary "$ANNOUNCE_BODY" "$BASE/v1/announce"
curl -sf -o /dev/null -D "$WORK/again.head" -H 'Content-Type: application/json' \
  --data-binary "$ANNOUNCE_BODY" "$BASE/v1/announce"
grep -qi '^X-Quavox-Cache: hit' "$WORK/again.head" || { echo "announcement not cached"; exit 1; }

figure() { awk -v key="$1" '$1 == key {print $2; exit}' "$2"; }

wrk -t2 -c16 -d"${SECONDS_RUN}s" --latency "$LINE" >"$WORK/wrk-line.txt"
wrk -t2 -c16 -d"${SECONDS_RUN}s" --latency -s "$HERE/announce.lua" "$BASE/v1/announce" \
  >"$WORK/wrk-announce.txt"
L_RPS=$(figure "Requests/sec:" "$WORK/wrk-line.txt")
A_RPS=$(figure "Requests/sec:" "$WORK/wrk-announce.txt")


echo "== whole announcements against single lines ($(nproc) cores, 127.0.0.1, ${SECONDS_RUN} s each) =="
echo "cached GET /v1/tts:      ${L_RPS} req/s, p50 $(figure "50%" "$WORK/wrk-line.txt"), p99 $(figure "99%" "$WORK/wrk-line.txt") ($(stat -c %s "$WORK/line.wav") bytes)"
echo "cached POST /v1/announce: ${A_RPS} req/s, p50 $(figure "50%" "$WORK/wrk-announce.txt"), p99 $(figure "99%" "$WORK/wrk-announce.txt") ($(stat -c %s "$WORK/announce.wav") bytes, $(awk -F': ' 'tolower($1) == "x-quavox-duration-ms" {print $2 + 0}' "$WORK/announce.head") ms of audio)"
grep "non-2xx" "$WORK/wrk-announce.txt" | sed 's/^/  /'
awk -v a="$A_RPS" -v l="$L_RPS" 'BEGIN {printf "ratio announce / line: %.2f\n", a / l}'
