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

time_runs() {
  local Start End
  Start=$(date +%s%N)
  for _ in $(seq "$RUNS"); do "$@" >/dev/null 2>&1; done
  End=$(date +%s%N)
  echo $(((End - Start) / RUNS / 1000))
}

for TEMPO in 1.3 0.8; do
  PERCENT=$(awk "BEGIN { printf \"%+d\", ($TEMPO - 1) * 100 }")
  QX=$(time_runs "$BIN/quavox-stretch" "$WORK/clip.wav" "$WORK/qx.wav" "$TEMPO")
  ST=$(time_runs soundstretch "$WORK/clip.wav" "$WORK/st.wav" -tempo="$PERCENT")
  echo "tempo $TEMPO: quavox-stretch ${QX} us/run, soundstretch ${ST} us/run (whole process, mean of $RUNS)"
done
