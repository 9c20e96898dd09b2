#!/usr/bin/env bash
# Installs the Debian packages Quavox needs to build, test and run; does nothing
# when everything is already there, so `make run` and `make test` can always call it.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev clang-format ccache
  libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev libssl-dev libcpp-httplib-dev libcurl4-openssl-dev
  libzip-dev zlib1g-dev libpcre2-dev
  libespeak-ng-dev espeak-ng-data espeak-ng flite1-dev flite
  pocketsphinx pocketsphinx-en-us
  libmpg123-dev libvorbis-dev libogg-dev libebur128-dev
  libsndfile1-dev libsoxr-dev libopus-dev libavcodec-dev libavutil-dev ffmpeg chromium wrk prometheus haproxy
  qt6-base-dev qt6-multimedia-dev qt6-translations-l10n libgl-dev pulseaudio
  fonts-noto-cjk fonts-dejavu-core fonts-lohit-deva fonts-tlwg-loma-otf
  sox lame vorbis-tools opus-tools curl wget nginx mpv
  gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  libsystemd-dev lintian systemd
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
# Node.js may come from elsewhere (its own npm included, which Debian's npm conflicts with).
if ! command -v npm > /dev/null; then missing+=(nodejs npm); fi
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
