#!/usr/bin/env bash
# Three quavoxd nodes behind HAProxy on 127.0.0.1, checked by try-cluster.py (run by hand, not in
# the test suite). Usage: bash deploy/cluster/try-cluster.sh [build folder, default build].
# Installs haproxy when it is missing.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if ! command -v haproxy >/dev/null; then
  SUDO=$([ "$(id -u)" = 0 ] || echo sudo)
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends haproxy
  # The package starts a system haproxy; this script runs its own.
  $SUDO systemctl stop haproxy 2>/dev/null || $SUDO service haproxy stop 2>/dev/null || true
fi
exec python3 "$here/try-cluster.py" "$@"
