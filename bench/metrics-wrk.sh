#!/usr/bin/env bash
# Cache hits per second with and without a Prometheus-like scrape of /metrics once a
# second: wrk, keep-alive, 16 connections, alternating rounds against one quavoxd on
# 127.0.0.1. The counters must leave at least 98 % of the hit rate.
# Usage: bench/metrics-wrk.sh [build folder, default build]; SECONDS_EACH (default 10),
# ROUNDS (default 3), ACCESS_LOG (the server.accessLog setting, default "file"),
# SCRAPE_PATH (default /metrics; /health shows what the scraping client alone costs).
set -euo pipefail

BUILD=${1:-build}
DAEMON="$(cd "$BUILD/bin" && pwd)/quavoxd"
SECONDS_EACH=${SECONDS_EACH:-10}
ROUNDS=${ROUNDS:-3}
ACCESS_LOG=${ACCESS_LOG:-file}
[ -x "$DAEMON" ] || { echo "no $DAEMON: build first (make build)"; exit 1; }
command -v wrk >/dev/null || { echo "wrk is missing (bash scripts/install-deps.sh)"; exit 1; }

WORK=$(mktemp -d /tmp/quavox-metrics-wrk-XXXXXX)
DAEMON_PID=""
SCRAPER_PID=""
cleanup() {
  [ -n "$SCRAPER_PID" ] && kill "$SCRAPER_PID" 2>/dev/null
  [ -n "$DAEMON_PID" ] && kill "$DAEMON_PID" 2>/dev/null && wait "$DAEMON_PID" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
mkdir -p "$WORK/data"
echo "{\"server\": {\"port\": $PORT, \"bind\": \"127.0.0.1\", \"accessLog\": \"$ACCESS_LOG\"}}" \
  >"$WORK/data/config.json"
"$DAEMON" --root "$WORK" 2>"$WORK/daemon.log" &
DAEMON_PID=$!
# Until the bundled engine found beside the daemon has loaded.
for _ in $(seq 1 600); do
  curl -s "http://127.0.0.1:$PORT/health" | grep -q '"status":"ready"' && break
  sleep 0.1
done

LINE="http://127.0.0.1:$PORT/v1/tts?text=Flight%20CA1234%20to%20Beijing%20is%20now%20boarding&language=en"
curl -sf -o /dev/null "$LINE"

rps() {
  wrk -t2 -c16 -d"${SECONDS_EACH}s" "$LINE" | awk '/Requests\/sec/ {print $2}'
}
# One process on one kept-alive connection, as Prometheus scrapes: starting a program
# every second would cost the machine more than the scrape itself.
scrape_every_second() {
  exec python3 -c '
import http.client, sys, time
c = http.client.HTTPConnection("127.0.0.1", int(sys.argv[1]))
while True:
    c.request("GET", sys.argv[2])
    c.getresponse().read()
    time.sleep(1)
' "$PORT" "${SCRAPE_PATH:-/metrics}"
}

PLAIN=0
SCRAPED=0
scraped_rps() {
  scrape_every_second &
  SCRAPER_PID=$!
  rps
  kill "$SCRAPER_PID"
  wait "$SCRAPER_PID" 2>/dev/null || true
  SCRAPER_PID=""
}
# Rounds alternate which run goes first, so a drift of the machine's load falls on both.
for round in $(seq 1 "$ROUNDS"); do
  if [ $((round % 2)) -eq 1 ]; then
    P=$(rps)
    S=$(scraped_rps)
  else
    S=$(scraped_rps)
    P=$(rps)
  fi
  echo "round $round: $P hits/s without scraping, $S with"
  PLAIN=$(awk -v a="$PLAIN" -v b="$P" 'BEGIN { print a + b }')
  SCRAPED=$(awk -v a="$SCRAPED" -v b="$S" 'BEGIN { print a + b }')
done
awk -v p="$PLAIN" -v s="$SCRAPED" -v n="$ROUNDS" \
  'BEGIN { printf "mean: %.0f hits/s without, %.0f with scraping: %.1f %%\n", p / n, s / n, 100 * s / p }'
