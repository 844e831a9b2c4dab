#!/usr/bin/env bash
# A whole session with the keyboard alone, on X11 or on Wayland: the real
# program on Xvfb with keys from xdotool, or on sway's headless backend (Qt's
# Wayland platform) with keys through the compositor's virtual keyboard
# (wtype); the demo site on loopback. The user chooses a category (Tab, F4, Down, Return), finds
# tracks by typing a part of their titles, previews one (Return), pauses it
# (Tab to the player, Space), downloads one (Menu key), then the tracks found
# as a batch (Ctrl+A, Shift+F10), then those of another name as a batch with
# Ctrl+A and Menu pressed in the find field (the site's log shows exactly
# those rows' play pages). Every file must be byte for byte one of the
# shipped demo tracks; the site's log must show the preview. Then, as a
# screen reader would, it runs a row's download action over AT-SPI (where the
# accessibility bus and pyatspi are at hand). Last, Ctrl+J opens the downloads
# window, a finished row is taken off its list over AT-SPI, Escape closes it.
#
# The setup is session.sh's (as root: sway as nobody, the site and the
# program in a network namespace of their own; 77, skipped, where no display
# server starts). Screenshots (Wayland, with grim) go to SHOT_DIR when given.
# Usage: keyboard_session_test.sh x11|wayland BUILD_DIR SOURCE_DIR SITE_PORT [SHOT_DIR]
set -euo pipefail
kind=$1
build=$(cd "$2" && pwd)
source_dir=$(cd "$3" && pwd)
port=$4
shots=${5:-}

source "$(dirname "$0")/session.sh"

# A downloaded track holds a shipped track's audio, packet for packet as
# ffprobe reads it, and the tags the program wrote into it.
packets_of() {
  ffprobe -v error -select_streams a:0 -show_data_hash MD5 \
    -show_entries packet=pts,dts,duration,size,data_hash -of csv "$1" 2>/dev/null
}
same_audio() {
  local a
  a=$(packets_of "$1")
  [[ -n "${a}" && "${a}" == "$(packets_of "$2")" ]]
}
title_of() { ffprobe -v error -show_entries format_tags=title -of default=nw=1:nk=1 "$1"; }
# Every file downloaded so far is a shipped track, titled in its tags.
downloads_are_shipped_tracks() {
  local f shipped match
  for f in "${downloads}"/*; do
    match=""
    for shipped in "${source_dir}"/assets/media/*.mp4; do
      same_audio "${f}" "${shipped}" && match=${shipped}
    done
    [[ -n "${match}" ]] || fail "$(basename "${f}") is not one of the shipped tracks"
    [[ -n $(title_of "${f}") ]] || fail "$(basename "${f}") has no title in its tags"
  done
}

# press KEY... (wtype's -k, -M and -m), or press TEXT: one action of the user.
press() {
  if [[ ${kind} == wayland ]]; then
    wtype "$@"
  elif [[ $1 == -k ]]; then
    xdotool key "$2"
  elif [[ $1 == -M ]]; then  # -M MOD [-k] KEY -m MOD
    local key=$3
    [[ ${key} == -k ]] && key=$4
    xdotool key "$2+${key}"
  else
    xdotool type --delay 50 "$1"
  fi
  sleep 0.4
}
shot() {
  [[ -n "${shots}" && ${kind} == wayland ]] && command -v grim >/dev/null &&
    grim "${shots}/$1.png" || true
}
site_asked() { grep -c -- "$1" "${scratch}/site.log" || true; }

step "choose a category: Tab to the box, F4, Down, Return"
press -k Tab
press -k Tab
press -k Tab
press -k F4
press -k Down
press -k Return
sleep 1
listing=$(grep -o 'GET /[a-z/]*/$' "${scratch}/site.log" | grep -v '/m/\|/mp4/' | tail -1 |
          awk '{print $2}' || true)
[[ -n "${listing}" ]] || { cat "${scratch}/site.log"; fail "no listing was fetched"; }
echo "listing ${listing}"
exec 3<>"/dev/tcp/127.0.0.1/${port}"
printf 'GET %s HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n' "${listing}" >&3
# Each row as "ID TITLE", ID the number in its play page's address.
grep -o 'id="s[0-9]*" target="play">[^<]*' <&3 | sed 's/^id="s\([0-9]*\)" target="play">/\1 /' \
  >"${scratch}/rows"
exec 3<&-
cut -d' ' -f2- "${scratch}/rows" >"${scratch}/titles"
rows=$(wc -l <"${scratch}/titles")
[[ ${rows} -gt 0 ]] || fail "the listing has no titles"
shot 1-category

step "find by typing a DJ's name"
# The name of a DJ that appears in the most titles: "DJ远山 - ..." gives 远山.
name=$(sed -n 's/^DJ\([^ ]*\) - .*/\1/p' "${scratch}/titles" | sort | uniq -c | sort -rn |
       awk 'NR == 1 {print $2}')
found=$(grep -c -- "${name}" "${scratch}/titles")
echo "typing ${name}: ${found} of ${rows} titles hold it"
[[ ${found} -ge 2 && ${found} -lt ${rows} ]] || fail "no name to find a batch by"
press -k Tab  # the track list
press "${name}"
shot 2-found

step "preview the first track found: Down into the list, Return"
media_before=$(site_asked 'GET /mp4/')
press -k Down
press -k Return
sleep 2
[[ $(site_asked 'GET /m/') -ge 1 ]] || fail "no play page was fetched for the preview"
[[ $(site_asked 'GET /mp4/') -gt ${media_before} ]] || fail "the player fetched no media"
shot 3-preview

step "pause: Tab to the player, Space"
for _ in 1 2 3 4; do press -k Tab; done
press -k space
shot 4-paused

step "download the current track: Shift+Tab back to the list, Menu"
for _ in 1 2 3 4; do press -M shift -k Tab -m shift; done
press -k Menu
for _ in $(seq 100); do
  [[ $(ls "${downloads}" 2>/dev/null | grep -c '\.mp4$') -ge 1 ]] &&
    [[ -z $(ls "${downloads}" | grep -v '\.mp4$') ]] && break
  sleep 0.2
done
[[ $(ls "${downloads}" 2>/dev/null | grep -c '\.mp4$') -eq 1 ]] || fail "the Menu key downloaded no file"

step "download every track found: Ctrl+A, Shift+F10"
press -M ctrl a -m ctrl
press -M shift -k F10 -m shift
for _ in $(seq 150); do
  [[ $(ls "${downloads}" 2>/dev/null | grep -c '\.mp4$') -ge ${found} ]] &&
    [[ -z $(ls "${downloads}" | grep -v '\.mp4$') ]] && break
  sleep 0.2
done
sleep 1
shot 5-downloaded
ls -l "${downloads}" || fail "nothing was downloaded"
files=$(ls "${downloads}" | grep -c '\.mp4$' || true)
[[ ${files} -eq ${found} ]] || fail "${files} files for ${found} tracks found"
downloads_are_shipped_tracks

step "Escape closes the find field"
press -k Escape

step "another DJ's name typed, Ctrl+A and Menu in the find field: exactly the tracks shown download"
# The keys reach the field, which has the focus: on X11 the Menu key also
# asks it for its own text menu, and it claims Ctrl+A.
name2=$(sed -n 's/^DJ\([^ ]*\) - .*/\1/p' "${scratch}/titles" | sort | uniq -c | sort -rn |
        awk 'NR == 2 {print $2}')
found2=$(grep -c -- "${name2}" "${scratch}/titles")
echo "typing ${name2}: ${found2} of ${rows} titles hold it"
[[ ${found2} -ge 2 && $(grep -- "${name2}" "${scratch}/titles" | grep -c -- "${name}") -eq 0 ]] ||
  fail "no second name to find a batch by"
log_before=$(wc -l <"${scratch}/site.log")
press "${name2}"
press -M ctrl a -m ctrl
press -k Menu
all=$((found + found2))
for _ in $(seq 150); do
  [[ $(ls "${downloads}" | grep -c '\.mp4$') -ge ${all} ]] &&
    [[ -z $(ls "${downloads}" | grep -v '\.mp4$') ]] && break
  sleep 0.2
done
sleep 1
ls -l "${downloads}"
files=$(ls "${downloads}" | grep -c '\.mp4$' || true)
[[ ${files} -eq ${all} ]] || fail "${files} files, not ${all}: Ctrl+A and Menu did not download the ${found2} tracks shown"
asked=$(tail -n +$((log_before + 1)) "${scratch}/site.log" | grep -o 'GET /m/[0-9]*/' |
        sed 's|GET /m/||; s|/||' | sort -u | tr '\n' ' ')
expected=$(grep -- "${name2}" "${scratch}/rows" | awk '{print $1}' | sort -u | tr '\n' ' ')
[[ "${asked}" == "${expected}" ]] || fail "play pages asked for: ${asked}; the rows shown: ${expected}"
downloads_are_shipped_tracks
press -k Escape

if [[ -n "${WUQU_IN_BUS:-}" ]] && /usr/bin/python3 -c 'import pyatspi' 2>/dev/null; then
  step "a screen reader downloads a row over AT-SPI: its action download"
  other=$(grep -v -- "${name}" "${scratch}/titles" | grep -v -- "${name2}" | head -1)
  /usr/bin/python3 "${source_dir}/tests/app/atspi_row_action.py" 舞曲列表 "${other}" download ||
    fail "the row's download action could not be run over AT-SPI"
  for _ in $(seq 100); do
    [[ $(ls "${downloads}" | grep -c '\.mp4$') -gt ${all} ]] &&
      [[ -z $(ls "${downloads}" | grep -v '\.mp4$') ]] && break
    sleep 0.2
  done
  [[ $(ls "${downloads}" | grep -c '\.mp4$') -eq $((all + 1)) ]] ||
    fail "the action downloaded no file"
  downloads_are_shipped_tracks
else
  echo "(no accessibility bus or pyatspi: the AT-SPI step is left out)"
fi
step "Ctrl+J opens the downloads window; Escape closes it"
press -M ctrl j -m ctrl
sleep 1
if [[ ${kind} == x11 ]]; then
  xdotool search --onlyvisible --name '^下载列表$' >/dev/null || fail "Ctrl+J opened no downloads window"
fi
if [[ -n "${WUQU_IN_BUS:-}" ]] && /usr/bin/python3 -c 'import pyatspi' 2>/dev/null; then
  # A screen reader takes a finished download off the list: the row's action
  # remove; then the row is not there to act on.
  done_title=$(grep -- "${name2}" "${scratch}/titles" | head -1)
  /usr/bin/python3 "${source_dir}/tests/app/atspi_row_action.py" 下载列表的曲目 "${done_title}" remove ||
    fail "the downloads window's row action remove could not be run over AT-SPI"
  sleep 0.5
  if /usr/bin/python3 "${source_dir}/tests/app/atspi_row_action.py" 下载列表的曲目 "${done_title}" remove; then
    fail "the row removed over AT-SPI is still listed"
  fi
fi
press -k Escape
sleep 0.5
if [[ ${kind} == x11 ]]; then
  ! xdotool search --onlyvisible --name '^下载列表$' >/dev/null || fail "Escape left the downloads window open"
fi
kill -0 "${wuqu_pid}" 2>/dev/null || fail "the program ended during the session"
echo "${kind} keyboard session passed"
