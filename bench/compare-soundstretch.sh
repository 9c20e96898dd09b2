#!/usr/bin/env bash
# Times Quavox's pitch-keeping time-stretch against SoundTouch's soundstretch changing the
# tempo of the same 5 s clip, both as whole processes over repeated runs, so neither side
# gains from being measured in-process.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN=${1:-$ROOT/build/bin}
RUNS=${RUNS:-20}
command -v soundstretch >/dev/null || apt-get install -y -qq soundstretch >/dev/null
command -v sox >/dev/null || apt-get install -y -qq sox >/dev/null
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

# Five seconds of speech-like audio: espeak-ng when present, else a harmonic sweep.
if command -v espeak-ng >/dev/null; then
  espeak-ng -w "$WORK/raw.wav" "Ladies and gentlemen, flight CA1234 to Beijing is now boarding at gate twenty five. Please have your boarding pass ready."
  sox "$WORK/raw.wav" -r 44100 -b 16 -c 1 "$WORK/clip.wav" trim 0 5 pad 0 5 trim 0 5
else
  sox -n -r 44100 -b 16 -c 1 "$WORK/clip.wav" synth 5 sine 120-240 sine 240-480 remix -
fi

# Microseconds one run of the command takes, read from bash's own clock so no helper
# process is timed along with it.
time_once() {
  local Start=$EPOCHREALTIME
  "$@" >/dev/null 2>&1
  local End=$EPOCHREALTIME
  echo $(((${End/./} - ${Start/./})))
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# The two programs take turns, so a change in the machine's load hits both alike.
for TEMPO in 1.3 0.8; do
  PERCENT=$(awk "BEGIN { printf \"%+d\", ($TEMPO - 1) * 100 }")
  QX=() ST=()
  for _ in $(seq "$RUNS"); do
    QX+=("$(time_once "$BIN/quavox-stretch" "$WORK/clip.wav" "$WORK/qx.wav" "$TEMPO")")
    ST+=("$(time_once soundstretch "$WORK/clip.wav" "$WORK/st.wav" -tempo="$PERCENT")")
  done
  echo "tempo $TEMPO: quavox-stretch $(printf '%s\n' "${QX[@]}" | median) us/run," \
    "soundstretch $(printf '%s\n' "${ST[@]}" | median) us/run (whole process, median of $RUNS)"
done
