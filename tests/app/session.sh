# The setup the window's session tests share, sourced by them with their
# arguments: on X11 (Xvfb) or on Wayland (sway's headless backend, Qt's
# Wayland platform), the demo site on loopback and the real program, a copy
# of it in a scratch folder where its downloads land.
#
# Run as root, sway (which refuses root) runs as nobody and the site and the
# program in a network namespace of their own, so that the site's fixed port
# is free whatever else runs. Exits 77 (skipped) where no display server
# starts.
# Expects: kind (x11 or wayland), build, port; "$0" "$@" run the test again.
# Gives: fail, skip, step; scratch (removed at exit), downloads, wuqu_pid;
# pids, whose processes are ended at exit; on Wayland WAYLAND_DISPLAY and
# SWAYSOCK (swaymsg reaches the compositor), on X11 DISPLAY and window.

fail() { echo "FAIL: $*" >&2; exit 1; }
skip() { echo "SKIP: $*"; exit 77; }
step() { echo "== $*"; }

if [[ $(id -u) -eq 0 && -z "${WUQU_IN_NETNS:-}" ]] && command -v ip >/dev/null &&
   unshare -n true 2>/dev/null; then
  WUQU_IN_NETNS=1 exec unshare -n "$0" "$@"
fi
[[ -n "${WUQU_IN_NETNS:-}" ]] && ip link set lo up
# A session bus of its own, for the accessibility bus.
if [[ -z "${WUQU_IN_BUS:-}" ]] && command -v dbus-run-session >/dev/null; then
  WUQU_IN_BUS=1 exec dbus-run-session -- "$0" "$@"
fi

case "${kind}" in
  wayland) tools=(sway wtype) ;;
  x11) tools=(Xvfb xdotool) ;;
  *) fail "x11 or wayland, not ${kind}" ;;
esac
for tool in "${tools[@]}"; do
  command -v "${tool}" >/dev/null || skip "${tool} is not installed (scripts/deps.sh installs it)"
done

scratch=$(mktemp -d /tmp/wuqu-keyboard-test.XXXXXX)
chmod 755 "${scratch}"
runtime=${scratch}/runtime
mkdir -m 700 "${runtime}"
as_compositor=()
if [[ $(id -u) -eq 0 ]]; then
  chown nobody:nogroup "${runtime}"
  as_compositor=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
fi
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "${pid}" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "${scratch}"
}
trap cleanup EXIT

start_wayland() {
  step "start sway, headless"
  printf 'output HEADLESS-1 resolution 1024x768\ndefault_border none\n' >"${scratch}/sway.conf"
  chmod 644 "${scratch}/sway.conf"
  "${as_compositor[@]}" env -i HOME="${runtime}" XDG_RUNTIME_DIR="${runtime}" \
    WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman \
    sway -c "${scratch}/sway.conf" >"${scratch}/sway.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 50); do
    socket=$(cd "${runtime}" && ls wayland-* 2>/dev/null | grep -v lock | head -1 || true)
    ipc=$(ls "${runtime}"/sway-ipc.*.sock 2>/dev/null | head -1 || true)
    [[ -n "${socket}" && -n "${ipc}" ]] && break
    sleep 0.1
  done
  [[ -n "${socket}" && -n "${ipc}" ]] || { cat "${scratch}/sway.log"; skip "sway did not start here"; }
  export XDG_RUNTIME_DIR=${runtime} WAYLAND_DISPLAY=${socket} SWAYSOCK=${ipc}
  # A keyboard that stays: each wtype adds one for its keys and takes it away,
  # often before the program has bound the seat's keyboard.
  wtype -s 3600000 &
  pids+=($!)
}

start_x11() {
  step "start Xvfb"
  Xvfb -displayfd 3 -nolisten tcp -ac -noreset -screen 0 1024x768x24 3>"${scratch}/display" \
    >"${scratch}/xvfb.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 50); do
    [[ -s "${scratch}/display" ]] && break
    sleep 0.1
  done
  [[ -s "${scratch}/display" ]] || { cat "${scratch}/xvfb.log"; skip "Xvfb did not start here"; }
  export DISPLAY=":$(tr -d '\n' <"${scratch}/display")"
}

"start_${kind}"

step "start the demo site and the program"
"${build}/bin/wuqu-site" --port "${port}" --tracks 20 --log >"${scratch}/site.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do
  (exec 3<>"/dev/tcp/127.0.0.1/${port}") 2>/dev/null && break
  sleep 0.1
done
# A copy of the program: its downloads land beside it, in the scratch folder.
mkdir "${scratch}/program"
cp "${build}/bin/wuqu" "${scratch}/program/"
downloads=${scratch}/program/下载
# Under AddressSanitizer, Qt's X11 plugin meets libxkbcommon-x11, whose
# keymap strings are not zero-terminated where strndup's strict check looks.
[[ ${kind} == x11 && -n "${ASAN_OPTIONS:-}" ]] && export ASAN_OPTIONS="${ASAN_OPTIONS}:strict_string_checks=0"
HOME=${scratch} QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_QPA_PLATFORM=$([[ ${kind} == x11 ]] && echo xcb || echo wayland) \
  "${scratch}/program/wuqu" >"${scratch}/wuqu.log" 2>&1 &
wuqu_pid=$!
pids+=("${wuqu_pid}")
sleep 3
kill -0 "${wuqu_pid}" 2>/dev/null || { cat "${scratch}/wuqu.log"; fail "the program did not start"; }
if [[ ${kind} == x11 ]]; then
  # No window manager: the keyboard goes to the window that has the X focus.
  window=$(xdotool search --sync --onlyvisible --class '^wuqu$' | head -n1)
  xdotool windowfocus --sync "${window}"
fi
