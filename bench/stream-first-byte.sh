#!/usr/bin/env bash
# Time to first byte of streamed speech against the time of its first sentence alone, with
# quavoxd and the bundled engine in a scratch program folder on 127.0.0.1. Each round:
#   a. the first sentence alone, not streamed (a cache miss): the whole request's time;
#   b. the cache emptied, the text of SENTENCES sentences streamed (stream_format audio,
#      pcm): time to the first byte and to the end (target: a <= b's first byte + 10 ms,
#      i.e. first byte - first sentence alone <= 10 ms);
#   c. the cache emptied, the same text not streamed: time to the first byte.
# Every request is one curl process, timed by curl. Prints each round and the medians.
# Usage: bench/stream-first-byte.sh [build folder, default build]
set -euo pipefail
BUILD=${1:-build}
SENTENCES=${SENTENCES:-20}
ROUNDS=${ROUNDS:-5}
BIN=$(cd "$BUILD/bin" && pwd)
ROOT=$(mktemp -d /tmp/quavox-stream-bench.XXXXXX)
PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
mkdir -p "$ROOT/engine" "$ROOT/models" "$ROOT/data"
cp "$BIN/engine/s2" "$ROOT/engine/s2"
cp "$BIN/models/quavox-espeak.gguf" "$ROOT/models/"
cat > "$ROOT/data/config.json" <<JSON
{"server": {"port": $PORT, "bind": "127.0.0.1", "rateLimitPerMinute": 0},
 "synthesis": {"autoDefaultVoice": true}}
JSON
"$BIN/quavoxd" --root "$ROOT" >/dev/null 2>"$ROOT/stderr.log" &
DAEMON=$!
trap 'kill $DAEMON 2>/dev/null; wait $DAEMON 2>/dev/null; rm -rf "$ROOT"' EXIT
URL=http://127.0.0.1:$PORT
for _ in $(seq 600); do
  curl -s "$URL/health" 2>/dev/null | grep -q '"status":"ready"' && break
  sleep 0.1
done
curl -s "$URL/health" | grep -q '"status":"ready"' || { cat "$ROOT/stderr.log"; exit 1; }

CITIES=(Beijing Tokyo Frankfurt Singapore Sydney Toronto Madrid Helsinki Dubai Chicago)
sentence() {  # round, index: a new announcement sentence
  local n=$(( ($1 * 97 + $2 * 31) % 9000 + 1000 ))
  echo "Passengers on flight $n to ${CITIES[$(( ($1 + $2) % 10 ))]}, please proceed to gate B$(( $2 + 1 ))."
}
body() {  # text, stream_format or empty
  python3 -c 'import json,sys; b={"model":"tts-1","voice":"alloy","response_format":"pcm","input":sys.argv[1]}
if sys.argv[2]: b["stream_format"]=sys.argv[2]
print(json.dumps(b))' "$1" "$2"
}
speak() {  # body; prints "first_byte total" in milliseconds
  curl -s -N -o /dev/null -w '%{time_starttransfer} %{time_total}\n' -H 'Content-Type: application/json' \
    -d "$1" "$URL/v1/audio/speech" | awk '{printf "%.1f %.1f\n", $1*1000, $2*1000}'
}
curl -s -o /dev/null -H 'Content-Type: application/json' -d "$(body 'Warm up.' '')" "$URL/v1/audio/speech"

ALONE=() FIRST=() DIFF=() TOTAL=() WHOLE=()
echo "round  first-sentence-alone  stream-first-byte  difference  stream-end  unstreamed-first-byte (ms)"
for r in $(seq "$ROUNDS"); do
  TEXT=""
  for i in $(seq 0 $((SENTENCES - 1))); do TEXT+="$(sentence "$r" "$i") "; done
  read -r _ alone < <(speak "$(body "$(sentence "$r" 0)" '')")
  curl -s -o /dev/null -X DELETE "$URL/v1/cache"
  read -r first total < <(speak "$(body "$TEXT" audio)")
  curl -s -o /dev/null -X DELETE "$URL/v1/cache"
  read -r whole _ < <(speak "$(body "$TEXT" '')")
  curl -s -o /dev/null -X DELETE "$URL/v1/cache"
  diff=$(awk -v a="$first" -v b="$alone" 'BEGIN{printf "%.1f", a-b}')
  printf '%5d  %20s  %17s  %10s  %10s  %21s\n' "$r" "$alone" "$first" "$diff" "$total" "$whole"
  ALONE+=("$alone") FIRST+=("$first") DIFF+=("$diff") TOTAL+=("$total") WHOLE+=("$whole")
done
median() { printf '%s\n' "$@" | sort -g | awk '{v[NR]=$1} END{print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
printf 'median %20s  %17s  %10s  %10s  %21s\n' "$(median "${ALONE[@]}")" "$(median "${FIRST[@]}")" \
  "$(median "${DIFF[@]}")" "$(median "${TOTAL[@]}")" "$(median "${WHOLE[@]}")"
awk -v d="$(median "${DIFF[@]}")" 'BEGIN{ if (d <= 10) print "target met: first byte within 10 ms of the first sentence alone"; else { print "target missed"; exit 1 } }'
