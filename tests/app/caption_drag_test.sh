#!/usr/bin/env bash
# The caption strip drags the window on a Wayland compositor, where only the
# compositor moves windows (the program asks it with startSystemMove): the
# real program on sway's headless backend, pressed and moved by a pointer.
# sway's own commands place the cursor and press and release its button;
# the motion comes from a pointer device (wayland_pointer), since the
# compositor's "cursor move" warps the cursor without a window being dragged
# following it. For each place in the window, a press there and a move must
# carry the window by the move (the strip: its title, its icon, its last
# row), or leave it where it is (the caption buttons, the body under the
# strip) and the program running.
#
# The setup is session.sh's (as root: sway as nobody, the site and the
# program in a network namespace of their own; 77, skipped, where sway does
# not start).
# Usage: caption_drag_test.sh BUILD_DIR SITE_PORT
set -euo pipefail
kind=wayland
build=$(cd "$1" && pwd)
port=$2

pointer=${build}/bin/wayland_pointer
if [[ ! -x "${pointer}" ]]; then
  echo "SKIP: wayland_pointer was not built (libwayland-dev; scripts/deps.sh installs it)"
  exit 77
fi
source "$(dirname "$0")/session.sh"

step "give the seat a pointer"
"${pointer}" >"${scratch}/pointer.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do
  grep -q 'has a pointer' "${scratch}/pointer.log" && break
  sleep 0.1
done
grep -q 'has a pointer' "${scratch}/pointer.log" || { cat "${scratch}/pointer.log"; fail "no pointer"; }

# The program's window as sway has it: x y and whether it floats.
window() {
  swaymsg -t get_tree | /usr/bin/python3 -c '
import json, sys
def walk(node):
    if node.get("pid") == int(sys.argv[1]):
        print(node["rect"]["x"], node["rect"]["y"], node["type"])
    for child in node.get("nodes", []) + node.get("floating_nodes", []):
        walk(child)
walk(json.load(sys.stdin))' "${wuqu_pid}"
}

read -r x y type < <(window) || fail "sway has no window of the program"
echo "the window at ${x},${y}, a ${type}"
# A window of fixed size floats; a tiled one sway would not let be dragged.
[[ ${type} == floating_con ]] || fail "the window does not float"

# Where a press lands (x y in the window, whose strip is its top 32 rows and
# whose caption buttons are the strip's right 60 pixels), and whether a
# press there and a move drag the window.
cases=(
  "the title|300|16|drags"
  "the icon|12|16|drags"
  "the strip's last row|300|31|drags"
  "the body's first row|300|32|stays"
  "the body beside the list|550|50|stays"
  "the minimise button|565|16|stays"
  "the close button|595|16|stays"
)
dx=40
dy=30
for case in "${cases[@]}"; do
  IFS='|' read -r where at_x at_y expected <<<"${case}"
  step "press on ${where}, move ${dx},${dy}, release: the window ${expected}"
  read -r x y _ < <(window)
  swaymsg -q -- seat - cursor set $((x + at_x)) $((y + at_y))
  sleep 0.3
  swaymsg -q -- seat - cursor press button1
  sleep 1  # the program asks to be moved
  "${pointer}" move "${dx}" "${dy}"
  sleep 0.3
  swaymsg -q -- seat - cursor release button1
  sleep 0.5
  kill -0 "${wuqu_pid}" 2>/dev/null || fail "the program ended"
  read -r new_x new_y _ < <(window) || fail "the window is gone"
  echo "the window at ${new_x},${new_y}"
  if [[ ${expected} == drags ]]; then
    [[ ${new_x} -eq $((x + dx)) && ${new_y} -eq $((y + dy)) ]] ||
      fail "the window did not follow the pointer from ${x},${y}"
  else
    [[ ${new_x} -eq ${x} && ${new_y} -eq ${y} ]] || fail "the window moved from ${x},${y}"
  fi
done
echo "caption drag passed"
