#!/usr/bin/env bash
# Installs the quavoxd package into a throw-away root with dpkg -x and runs the installed
# daemon over a separate, empty state folder: real speech from the bundled engine, the
# announcement rules active, nothing but state in the state folder. lintian checks the
# packages first. Usage: installed-daemon.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d /tmp/quavox-package.XXXXXX)
pid=""
cleanup() {
  if [ -n "$pid" ]; then kill "$pid" 2> /dev/null || true; wait "$pid" 2> /dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; [ -f "$work/stderr" ] && tail -n 40 "$work/stderr" >&2; exit 1; }

deb=$(ls "$build"/packages/quavoxd_*.deb 2> /dev/null | head -n 1)
[ -n "$deb" ] || fail "no quavoxd package in $build/packages (the package fixture makes it)"
if command -v lintian > /dev/null; then
  lintian --tag-display-limit 0 "$build"/packages/*.deb > "$work/lintian" 2>&1 || true
  cat "$work/lintian"
  if grep -q '^E: ' "$work/lintian"; then fail "lintian reports errors"; fi
fi

dpkg -x "$deb" "$work/root"
[ -x "$work/root/usr/bin/quavoxd" ] || fail "the package holds no usr/bin/quavoxd"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
state="$work/state"
mkdir -p "$state/data"
printf '{"server": {"port": %s, "bind": "127.0.0.1"}}\n' "$port" > "$state/data/config.json"
HOME="$work/home" XDG_DATA_HOME="$work/xdg" \
  "$work/root/usr/bin/quavoxd" --root "$state" > "$work/stdout" 2> "$work/stderr" &
pid=$!
url="http://127.0.0.1:$port"
ready=""
for _ in $(seq 1 1200); do
  if curl -sf "$url/v1/health" 2> /dev/null | grep -q '"status": *"ready"'; then ready=yes; break; fi
  kill -0 "$pid" 2> /dev/null || fail "the installed daemon exited"
  sleep 0.1
done
[ -n "$ready" ] || fail "the bundled engine did not become ready"

spoken=$(curl -sf "$url/v1/normalize?text=Flight%20CA1234&language=en")
echo "$spoken" | grep -q '"spoken": *"Flight Air China one two three four"' ||
  fail "the text rules are not active: $spoken"
curl -sf -D "$work/headers" -o "$work/hello.wav" "$url/v1/tts?text=Flight+CA1234&language=en" ||
  fail "no speech"
grep -qi '^X-Quavox-Engine: fish-s2' "$work/headers" || fail "not the bundled engine: $(cat "$work/headers")"
[ "$(head -c 4 "$work/hello.wav")" = RIFF ] || fail "the reply is no WAV"
[ "$(stat -c %s "$work/hello.wav")" -gt 8000 ] || fail "the WAV is too short for speech"

kill -TERM "$pid"
wait "$pid" || fail "the daemon did not stop cleanly"
pid=""
for shipped in text engine models quavoxd libquavox_audio.so; do
  [ ! -e "$state/$shipped" ] || fail "shipped file $shipped landed in the state folder"
done
[ -f "$state/data/config.json" ] || fail "no configuration in the state folder"
echo "installed daemon: speech, text rules and state folder as expected"
