#!/usr/bin/env bash
# Load test of the HTTP API on 127.0.0.1, against nginx serving the same WAV as a file:
#   1. start of quavoxd to its first /health answer;
#   2. wrk, keep-alive, 16 connections, GET /v1/tts of a cached announcement (WAV, MP3 and
#      Opus), POST /v1/announce of a whole cached announcement, and the same WAV from nginx
#      as a static file, alternating, ROUNDS times (medians);
#   3. 200 connections for 30 s of mixed cached and new sentences, with /health timed
#      twice a second throughout;
#   4. resident memory of the daemon idle, after the hits and after the mixed load, against
#      the idle figure plus the cache's memory tier (64 MiB by default);
#   5. resident memory of the idle daemon with the bundled engine loaded (when built).
# Usage: bench/http-load.sh [build folder, default build]. Installs wrk and nginx when
# they are missing (Debian).
set -euo pipefail

BUILD=${1:-build}
BIN="$(cd "$BUILD/bin" && pwd)"
HERE="$(cd "$(dirname "$0")" && pwd)"
DAEMON="$BIN/quavoxd"
SECONDS_FAST=${SECONDS_FAST:-10}
SECONDS_MIXED=${SECONDS_MIXED:-30}
ROUNDS=${ROUNDS:-3}
[ -x "$DAEMON" ] || { echo "no $DAEMON: build first (make build)"; exit 1; }

missing=()
command -v wrk >/dev/null || missing+=(wrk)
[ -x /usr/sbin/nginx ] || missing+=(nginx)
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
  # The package starts a system nginx on port 80; this script runs its own.
  $SUDO systemctl stop nginx 2>/dev/null || $SUDO service nginx stop 2>/dev/null || true
fi

WORK=$(mktemp -d /tmp/quavox-http-load-XXXXXX)
chmod 755 "$WORK"
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

free_port() {
  python3 - <<'EOF' 2>/dev/null || echo $((20000 + RANDOM % 20000))
import socket
s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()
EOF
}

now_ms() { echo $(($(date +%s%N) / 1000000)); }

# Starts quavoxd in $1 on port $2; sets DAEMON_PID and START_MS (to the first /health answer).
start_daemon() {
  local root=$1 port=$2
  mkdir -p "$root/data"
  cat >"$root/data/config.json" <<EOF
{"server": {"port": $port, "bind": "127.0.0.1", "rateLimitPerMinute": 0}}
EOF
  local t0
  t0=$(now_ms)
  "$DAEMON" --root "$root" >/dev/null 2>"$root/stderr.log" &
  DAEMON_PID=$!
  PIDS+=("$DAEMON_PID")
  until curl -sf -o /dev/null "http://127.0.0.1:$port/health"; do
    kill -0 "$DAEMON_PID" 2>/dev/null || { cat "$root/stderr.log"; exit 1; }
    sleep 0.002
  done
  START_MS=$(($(now_ms) - t0))
}

rss_kib() { awk '/^VmRSS/ {print $2}' "/proc/$1/status"; }

figure() { awk -v key="$1" '$1 == key {print $2; exit}' "$2"; }

# ---- 1 and 2: start time, cached sentence against nginx -------------------------------
PORT=$(free_port)
start_daemon "$WORK/root" "$PORT"
FIRST_START_MS=$START_MS
# The bundled engine found beside the daemon loads first; lines before that get 503.
for _ in $(seq 1 600); do
  curl -s "http://127.0.0.1:$PORT/health" | grep -q '"status":"ready"' && break
  sleep 0.1
done
RSS_IDLE=$(rss_kib "$DAEMON_PID")
TEXT="Ladies+and+gentlemen,+flight+CA1234+to+Beijing+is+now+boarding+at+gate+12.+Please+have+your+boarding+pass+and+passport+ready+for+inspection.+Thank+you."
URL="http://127.0.0.1:$PORT/v1/tts?text=$TEXT&language=en"
curl -sf -o "$WORK/miss.wav" "$URL"
mkdir -p "$WORK/www"
curl -sf -o "$WORK/www/hello.wav" "$URL"
curl -sf -o /dev/null "$URL&format=mp3"
curl -sf -o /dev/null "$URL&format=opus"
export ANNOUNCE_BODY='{"chime": "both", "segments": [
  {"text": "Flight CA1234 to Beijing is now boarding at gate 12.", "language": "en"},
  {"text": "Please have your boarding pass ready.", "language": "en"}]}'
curl -sf -o /dev/null -H 'Content-Type: application/json' -d "$ANNOUNCE_BODY" \
  "http://127.0.0.1:$PORT/v1/announce"
chmod -R a+rX "$WORK/www"
RSS_BEFORE_HITS=$(rss_kib "$DAEMON_PID")

# nginx serves the file with and without sendfile (on loopback either may win); the faster
# of the two is each round's reference.
NGINX_PORT=$(free_port)
mkdir -p "$WORK/nginx"
nginx_round() {
  local best_rps=0 best_p99="" sendfile rps pid
  for sendfile in on off; do
    cat >"$WORK/nginx/nginx.conf" <<EOF
worker_processes auto;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  client_body_temp_path $WORK/nginx/body;
  proxy_temp_path $WORK/nginx/proxy;
  fastcgi_temp_path $WORK/nginx/fastcgi;
  uwsgi_temp_path $WORK/nginx/uwsgi;
  scgi_temp_path $WORK/nginx/scgi;
  types { audio/wav wav; }
  keepalive_requests 1000000;
  sendfile $sendfile;
  server { listen 127.0.0.1:$NGINX_PORT; root $WORK/www; }
}
EOF
    /usr/sbin/nginx -c "$WORK/nginx/nginx.conf" -g 'daemon off;' >/dev/null 2>&1 &
    pid=$!
    until curl -sf -o /dev/null "http://127.0.0.1:$NGINX_PORT/hello.wav"; do
      kill -0 "$pid" 2>/dev/null || { cat "$WORK/nginx/error.log"; exit 1; }
      sleep 0.01
    done
    wrk -t2 -c16 -d"${SECONDS_FAST}s" --latency "http://127.0.0.1:$NGINX_PORT/hello.wav" \
      >"$WORK/wrk.txt"
    kill "$pid"
    wait "$pid" 2>/dev/null || true
    rps=$(figure "Requests/sec:" "$WORK/wrk.txt")
    if awk -v a="$rps" -v b="$best_rps" 'BEGIN {exit !(a > b)}'; then
      best_rps=$rps
      best_p99=$(figure "99%" "$WORK/wrk.txt")
    fi
  done
  echo "$best_rps $best_p99" >>"$WORK/nginx.txt"
}

# One wrk run against URL $1: its requests per second and 99th percentile, appended to $2;
# further arguments go to wrk.
quavox_round() {
  wrk -t2 -c16 -d"${SECONDS_FAST}s" --latency "${@:3}" "$1" >"$WORK/wrk.txt"
  echo "$(figure "Requests/sec:" "$WORK/wrk.txt") $(figure "99%" "$WORK/wrk.txt")" >>"$2"
}

for _ in $(seq 1 "$ROUNDS"); do
  nginx_round
  quavox_round "$URL" "$WORK/wav.txt"
  quavox_round "$URL&format=mp3" "$WORK/mp3.txt"
  quavox_round "$URL&format=opus" "$WORK/opus.txt"
  quavox_round "http://127.0.0.1:$PORT/v1/announce" "$WORK/announce.txt" -s "$HERE/announce.lua"
done
RSS_AFTER_HITS=$(rss_kib "$DAEMON_PID")

# The median of column $1 of file $2; latencies are read in milliseconds.
median() {
  awk -v c="$1" '{v = $c; if (v ~ /us$/) v = v / 1000; else if (v ~ /ms$/) v = v + 0;
                  else if (v ~ /s$/) v = v * 1000; print v}' "$2" |
    sort -g | awk '{a[NR] = $1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'
}
N_RPS=$(median 1 "$WORK/nginx.txt")
N_P99=$(median 2 "$WORK/nginx.txt")
Q_RPS=$(median 1 "$WORK/wav.txt")
Q_P99=$(median 2 "$WORK/wav.txt")
M_RPS=$(median 1 "$WORK/mp3.txt")
M_P99=$(median 2 "$WORK/mp3.txt")
O_RPS=$(median 1 "$WORK/opus.txt")
O_P99=$(median 2 "$WORK/opus.txt")
A_RPS=$(median 1 "$WORK/announce.txt")
A_P99=$(median 2 "$WORK/announce.txt")

# ---- 3: 200 connections, mixed cached and new sentences, /health throughout -----------
for i in $(seq 0 19); do
  curl -sf -o /dev/null "http://127.0.0.1:$PORT/v1/tts?text=Cached+announcement+number+$i&language=en"
done
(
  end=$(($(date +%s) + SECONDS_MIXED))
  while [ "$(date +%s)" -lt "$end" ]; do
    curl -s -o /dev/null -w '%{http_code} %{time_total}\n' "http://127.0.0.1:$PORT/health" \
      >>"$WORK/health.txt" || echo "000 99" >>"$WORK/health.txt"
    sleep 0.5
  done
) &
HEALTH_PID=$!
wrk -t2 -c200 -d"${SECONDS_MIXED}s" --timeout 30s --latency -s "$HERE/http-mixed.lua" \
  "http://127.0.0.1:$PORT" >"$WORK/wrk-mixed.txt"
wait "$HEALTH_PID"
HEALTH_MAX_MS=$(awk '{ms = $2 * 1000; if (ms > max) max = ms} END {printf "%.1f", max}' "$WORK/health.txt")
HEALTH_BAD=$(awk '$1 != "200"' "$WORK/health.txt" | wc -l)
HEALTH_N=$(wc -l <"$WORK/health.txt")
RSS_PLACEHOLDER=$(rss_kib "$DAEMON_PID")
kill -TERM "$DAEMON_PID"
wait "$DAEMON_PID" && EXIT_CODE=0 || EXIT_CODE=$?

# ---- 4: idle memory with the bundled engine loaded -------------------------------------
RSS_ENGINE="n/a (engine/s2 or models/quavox-espeak.gguf not built)"
ENGINE_START=""
if [ -x "$BIN/engine/s2" ] && [ -f "$BIN/models/quavox-espeak.gguf" ]; then
  mkdir -p "$WORK/engine-root/engine" "$WORK/engine-root/models"
  cp "$BIN/engine/s2" "$WORK/engine-root/engine/s2"
  cp "$BIN/models/quavox-espeak.gguf" "$WORK/engine-root/models/"
  EPORT=$(free_port)
  start_daemon "$WORK/engine-root" "$EPORT"
  ENGINE_START=$START_MS
  for _ in $(seq 1 600); do
    curl -s "http://127.0.0.1:$EPORT/health" | grep -q '"status":"ready"' && break
    sleep 0.1
  done
  curl -sf -o /dev/null "http://127.0.0.1:$EPORT/v1/tts?text=Warm+up&language=en" || true
  sleep 3
  RSS_ENGINE="$(rss_kib "$DAEMON_PID") KiB"
  kill -TERM "$DAEMON_PID"
  wait "$DAEMON_PID" || true
fi

echo "== quavoxd HTTP load ($(nproc) cores, 127.0.0.1) =="
echo "start to first /health answer: ${FIRST_START_MS} ms (placeholder)${ENGINE_START:+, ${ENGINE_START} ms (bundled engine present)}"
echo "cache hits, 16 keep-alive connections, medians of ${ROUNDS} alternating rounds of ${SECONDS_FAST} s:"
echo "  quavoxd WAV ($(stat -c %s "$WORK/www/hello.wav") bytes): ${Q_RPS} req/s, p99 ${Q_P99} ms"
echo "  nginx, the same file:       ${N_RPS} req/s, p99 ${N_P99} ms"
echo "  quavoxd MP3:                ${M_RPS} req/s, p99 ${M_P99} ms"
echo "  quavoxd Opus:               ${O_RPS} req/s, p99 ${O_P99} ms"
echo "  quavoxd whole announcement: ${A_RPS} req/s, p99 ${A_P99} ms"
awk -v q="$Q_RPS" -v n="$N_RPS" -v qp="$Q_P99" -v np="$N_P99" \
  'BEGIN {printf "  WAV hits / nginx: %.2f of its req/s, %.2f of its p99\n", q / n, qp / np}'
echo "  resident memory idle ${RSS_IDLE} KiB, before the hits ${RSS_BEFORE_HITS} KiB, after ${RSS_AFTER_HITS} KiB"
echo "mixed load, 200 connections, ${SECONDS_MIXED} s:"
grep -E "Requests/sec|Latency  |status |unexpected|socket errors|Socket errors|Non-2xx" "$WORK/wrk-mixed.txt" | sed 's/^/  /'
echo "  /health during the mixed load: max ${HEALTH_MAX_MS} ms over ${HEALTH_N} probes, ${HEALTH_BAD} not 200"
echo "resident memory after the load (placeholder engine): ${RSS_PLACEHOLDER} KiB;" \
  "idle plus the memory tier's 65536 KiB: $((RSS_IDLE + 65536)) KiB"
echo "resident memory idle with the bundled engine loaded: ${RSS_ENGINE}"
echo "exit status after SIGTERM: ${EXIT_CODE}"
