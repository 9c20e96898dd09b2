#!/usr/bin/env bash
# Checks the shipped unit with systemd-analyze: `verify` (syntax, known directives; the
# daemon's path is swapped for the one the build made, since /usr/bin/quavoxd is not
# installed here) and `security --offline` (the exposure score, which must stay "OK").
# Usage: systemd-unit.sh UNIT_FILE DAEMON
set -euo pipefail
unit=$1
daemon=$2
work=$(mktemp -d /tmp/quavox-unit.XXXXXX)
trap 'rm -rf "$work"' EXIT
sed "s#/usr/bin/quavoxd#$daemon#" "$unit" > "$work/quavoxd.service"
systemd-analyze verify "$work/quavoxd.service"
systemd-analyze security --offline=yes --no-pager "$work/quavoxd.service" > "$work/security" 2>&1
cat "$work/security"
grep -Eq 'Overall exposure level for quavoxd.service: [0-2]\.[0-9] OK' "$work/security"
