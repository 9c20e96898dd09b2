#!/usr/bin/env bash
# Runs each fuzzer of a fuzz build for a bounded time on a scratch copy of its seed corpus,
# so new inputs never land in the repository by accident. Fails on the first crash.
set -euo pipefail
BUILD_DIR=$1
SECONDS_EACH=${2:-10}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
for FUZZER in "$BUILD_DIR"/fuzz/*_fuzzer; do
  NAME=$(basename "$FUZZER" _fuzzer)
  WORK=$(mktemp -d)
  cp -r "$ROOT/fuzz/corpus/$NAME/." "$WORK/"
  echo "fuzzing $NAME for ${SECONDS_EACH}s"
  "$FUZZER" -max_total_time="$SECONDS_EACH" -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$BUILD_DIR/fuzz/$NAME-" "$WORK" 2>&1 | tail -n 12
  rm -rf "$WORK"
done
