#!/usr/bin/env bash
# Installs, with apt-get, whatever of wuqu's build, test and run dependencies
# is missing. This list is the only place the project names its packages.
#   scripts/deps.sh          build, test and run
#   scripts/deps.sh bench    the above plus the peers the benchmarks compare with
set -euo pipefail

packages=(
  # toolchain
  g++ cmake pkg-config clang-14 libclang-rt-14-dev
  # libraries
  qt6-base-dev qt6-multimedia-dev libcurl4-openssl-dev libpcre2-dev libssl-dev
  libcpp-httplib-dev libsqlite3-dev libgtest-dev libgmock-dev libbenchmark-dev
  # the tags written into downloaded MP4 files; ffmpeg's ffprobe reads them back in the tests
  libtag1-dev ffmpeg
  # Qt's platform interface, for the accessibility test to switch the bridge on
  qt6-base-private-dev
  # the package and its checks: shlibdeps, the desktop entry and metainfo
  # validators, lintian, hardening-check, and real input for the installed
  # window under Xvfb
  dpkg-dev desktop-file-utils appstream lintian devscripts file xdotool
  # an independent real server for the downloader's test of a host's connection limit
  nginx-light
  # run time: Chinese glyphs, AAC-in-MP4 playback, a display for machines without one
  fonts-wqy-microhei gstreamer1.0-plugins-good gstreamer1.0-libav xvfb xauth
  # Wayland: Qt's platform plugin, a headless compositor and its keyboard,
  # the client library for the test's pointer; the accessibility bus and a
  # client of it, as a screen reader uses them; dbus-daemon also gives the
  # desktop notification test its private bus
  qt6-wayland sway wtype libwayland-dev dbus-daemon at-spi2-core python3-pyatspi
)
if [[ "${1:-}" == bench ]]; then
  packages+=(aria2 curl)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "installing: ${missing[*]}"
sudo=""
if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
