#!/usr/bin/env bash
# Installs what is missing, builds the program and the demo catalogue site,
# starts the site in the background and then the program on its built-in
# default addresses. Returns the program's exit code.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target wuqu wuqu-site

port=$(sed -n 's/^WUQU_SITE_PORT:STRING=//p' build/CMakeCache.txt)
site_pid=""
if ! (exec 3<>"/dev/tcp/127.0.0.1/${port}") 2>/dev/null; then
  build/bin/wuqu-site --port "${port}" &
  site_pid=$!
  trap '[[ -n "${site_pid}" ]] && kill "${site_pid}" 2>/dev/null || true' EXIT
  for _ in $(seq 50); do
    (exec 3<>"/dev/tcp/127.0.0.1/${port}") 2>/dev/null && break
    sleep 0.1
  done
fi

if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
  echo "no display: starting the window under Xvfb"
  xvfb-run -a -s "-screen 0 1024x768x24" build/bin/wuqu
else
  build/bin/wuqu
fi
