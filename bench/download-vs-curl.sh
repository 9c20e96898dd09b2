#!/usr/bin/env bash
# Downloads the same file from the same local server with the curl command line and with the
# model downloader (quavox-bench-fetch), alternating, and compares the best time of each.
# The downloader must reach at least 80% of curl's speed with flat memory.
#
#   bench/download-vs-curl.sh [BUILD_DIR]
#
# SIZE=bytes and ROUNDS=n change the defaults; WORKDIR=folder chooses where the files are
# written (WORKDIR=/dev/shm takes the disk, and the downloader's final fsync, out of the
# comparison, which helps on a machine whose disk is busy with other work).
set -euo pipefail

BUILD=${1:-build}
SIZE=${SIZE:-1073741824}
ROUNDS=${ROUNDS:-3}
cmake --build "$BUILD" --target quavox-bench-server quavox-bench-fetch >/dev/null

WORK=$(mktemp -d "${WORKDIR:-${TMPDIR:-/tmp}}/quavox-download-bench.XXXXXX")
SERVER=
cleanup() {
  [ -n "$SERVER" ] && kill "$SERVER" 2>/dev/null && wait "$SERVER" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

mkdir -p "$WORK/served"
truncate -s "$SIZE" "$WORK/served/blob.bin"   # sparse: the server reads zeros from the page cache
"$BUILD/bin/quavox-bench-server" "$WORK/served" >"$WORK/port" &
SERVER=$!
for _ in $(seq 100); do [ -s "$WORK/port" ] && break; sleep 0.05; done
URL="http://127.0.0.1:$(head -1 "$WORK/port")/blob.bin"

best_curl= best_ours= rss_curl=0 rss_ours=0
for round in $(seq "$ROUNDS"); do
  rm -f "$WORK/curl.bin"
  /usr/bin/time -f "%e %M" -o "$WORK/t" curl -sS --fail -o "$WORK/curl.bin" "$URL"
  read -r secs rss <"$WORK/t"
  [ "$(stat -c %s "$WORK/curl.bin")" = "$SIZE" ] || { echo "curl fetched a wrong size"; exit 1; }
  rm -f "$WORK/curl.bin"
  echo "round $round  curl             ${secs}s  max RSS ${rss} KiB"
  best_curl=$(echo "$secs ${best_curl:-$secs}" | awk '{print ($1 < $2) ? $1 : $2}')
  rss_curl=$(( rss > rss_curl ? rss : rss_curl ))

  rm -rf "$WORK/dl"
  /usr/bin/time -f "%e %M" -o "$WORK/t" "$BUILD/bin/quavox-bench-fetch" "$URL" "$SIZE" "$WORK/dl" >/dev/null
  read -r secs rss <"$WORK/t"
  [ "$(stat -c %s "$WORK/dl/models/bench.gguf")" = "$SIZE" ] || { echo "downloader fetched a wrong size"; exit 1; }
  rm -rf "$WORK/dl"
  echo "round $round  TModelDownloader ${secs}s  max RSS ${rss} KiB"
  best_ours=$(echo "$secs ${best_ours:-$secs}" | awk '{print ($1 < $2) ? $1 : $2}')
  rss_ours=$(( rss > rss_ours ? rss : rss_ours ))
done

awk -v size="$SIZE" -v c="$best_curl" -v o="$best_ours" -v rc="$rss_curl" -v ro="$rss_ours" 'BEGIN {
  mib = size / 1048576
  printf "curl             best %.2fs  %.0f MiB/s  max RSS %d KiB\n", c, mib / c, rc
  printf "TModelDownloader best %.2fs  %.0f MiB/s  max RSS %d KiB\n", o, mib / o, ro
  ratio = c / o
  printf "downloader speed = %.0f%% of curl (needed: 80%%)\n", ratio * 100
  exit (ratio >= 0.8) ? 0 : 1
}'
