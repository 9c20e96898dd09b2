#!/usr/bin/env bash
# Times the desktop program as a user meets it, over a program folder with 1,000 voices and
# 10,000 cache entries: from the start of quavox until its window is up (the first line it
# logs from the event loop), then its CPU use and resident memory while it sits idle.
# Usage: bench/desktop-start.sh [BUILD_DIR] [RUNS] [IDLE_SECONDS]
set -euo pipefail
BUILD=${1:-build}
RUNS=${2:-5}
IDLE=${3:-20}
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
export PULSE_SERVER=unix:/nonexistent/quavox-no-sound

WORK=$(mktemp -d /tmp/quavox-desktop-start-XXXXXX)
trap 'kill "$PID" 2>/dev/null || true; rm -rf "$WORK"' EXIT
export TMPDIR=$WORK XDG_DATA_HOME=$WORK/xdg
"$BUILD/bench/DesktopBench" --fixture "$WORK/root"
PID=""

ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

starts=()
for run in $(seq "$RUNS"); do
  : > "$WORK/err"
  t0=$(date +%s%N)
  "$BUILD/bin/quavox" --root "$WORK/root" 2> "$WORK/err" &
  PID=$!
  until grep -q "started; data folder" "$WORK/err"; do
    kill -0 "$PID" 2>/dev/null || { echo "quavox ended early:"; cat "$WORK/err"; exit 1; }
    sleep 0.005
  done
  t1=$(date +%s%N)
  starts+=($(((t1 - t0) / 1000000)))
  if [ "$run" -lt "$RUNS" ]; then kill "$PID"; wait "$PID" 2>/dev/null || true; fi
done
sorted=$(printf '%s\n' "${starts[@]}" | sort -n)
echo "start to window: runs ${starts[*]} ms; median $(echo "$sorted" | sed -n "$(((RUNS + 1) / 2))p") ms"

sleep 3
hz=$(getconf CLK_TCK)
c0=$(ticks "$PID"); t0=$(date +%s%N)
sleep "$IDLE"
c1=$(ticks "$PID"); t1=$(date +%s%N)
awk -v c=$((c1 - c0)) -v hz="$hz" -v ns=$((t1 - t0)) \
  'BEGIN { printf "idle CPU: %.2f%% of one core over %.0f s\n", 100 * c / hz / (ns / 1e9), ns / 1e9 }'
echo "resident memory idle: $(awk '/VmRSS/ {printf "%.1f MiB", $2 / 1024}' "/proc/$PID/status")"
kill "$PID"; wait "$PID" 2>/dev/null || true
