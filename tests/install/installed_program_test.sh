#!/usr/bin/env bash
# The installed program as a user meets it: installs into a temporary
# DESTDIR, validates the menu entry and the metainfo, then starts the menu
# entry's command under Xvfb and downloads the default track with real mouse
# clicks (xdotool):
#   - from the installed, read-only prefix, as a user who cannot write there:
#     the file lands in wuqu/下载 under that user's download folder;
#   - from a copy of the prefix that the user owns: beside the program;
#   - the build tree's own program: beside it, in build/bin/下载.
# Each file must be byte for byte one of the shipped demo tracks. The launcher
# must start the demo site when nothing listens on its port and stop it when
# the window closes.
# Usage: installed_program_test.sh BUILD_DIR SOURCE_DIR SITE_PORT PROGRAM,...
set -euo pipefail
# Run as root, in a network namespace of its own: the demo port is then free
# whatever else on this machine listens on it.
if [[ $(id -u) -eq 0 && -z "${WUQU_IN_NETNS:-}" ]] && command -v ip >/dev/null &&
   unshare -n true 2>/dev/null; then
  WUQU_IN_NETNS=1 exec unshare -n "$0" "$@"
fi
[[ -n "${WUQU_IN_NETNS:-}" ]] && ip link set lo up
build=$(cd "$1" && pwd)
source_dir=$(cd "$2" && pwd)
port=$3
IFS=, read -r -a programs <<<"$4"
track_id=116717  # the track number box's content at start
test_user=wuqu-test

fail() { echo "FAIL: $*" >&2; exit 1; }
step() { echo "== $*"; }

scratch=$(mktemp -d /tmp/wuqu-install-test.XXXXXX)
chmod 755 "${scratch}"
xvfb_pid=""
cleanup() {
  for pid in $(jobs -p); do kill "${pid}" 2>/dev/null || true; done
  [[ -n "${xvfb_pid}" ]] && kill "${xvfb_pid}" 2>/dev/null || true
  wait 2>/dev/null || true
  chmod -R u+w "${scratch}" 2>/dev/null || true
  rm -rf "${scratch}"
}
trap cleanup EXIT

step "install into a DESTDIR"
dest=${scratch}/dest
prefix=/usr
DESTDIR=${dest} cmake --install "${build}" --prefix "${prefix}" >/dev/null
root=${dest}${prefix}
for p in "${programs[@]}"; do
  [[ -x "${root}/bin/${p}" ]] || fail "not installed: bin/${p}"
done
for f in libexec/wuqu/start-wuqu \
         share/man/man1/wuqu.1.gz share/man/man1/wuqu-site.1.gz share/man/man1/wuqu-fetch.1.gz \
         share/icons/hicolor/{16x16,32x32,48x48,128x128,256x256}/apps/wuqu.png; do
  [[ -s "${root}/${f}" ]] || fail "not installed: ${f}"
done
for size in 16 32 48 128 256; do
  file "${root}/share/icons/hicolor/${size}x${size}/apps/wuqu.png" | grep -q "${size} x ${size}" ||
    fail "the ${size} px icon is not ${size} px"
done
desktop=$(ls "${root}"/share/applications/*.desktop)
metainfo=$(ls "${root}"/share/metainfo/*.metainfo.xml)

step "validate the menu entry and the metainfo"
desktop-file-validate "${desktop}" || fail "desktop-file-validate"
appstreamcli validate --no-net "${metainfo}" || fail "appstreamcli validate"
grep -qx "Exec=${prefix}/libexec/wuqu/start-wuqu" "${desktop}" || fail "Exec is not the launcher"
grep -qx "Categories=AudioVideo;Audio;Player;" "${desktop}" || fail "Categories"
grep -q "^Name\[zh_CN\]=舞曲$" "${desktop}" || fail "no Chinese name"
for page in wuqu wuqu-site wuqu-fetch; do
  zcat "${root}/share/man/man1/${page}.1.gz" | grep -q "^\.SH NAME" || fail "man page ${page}"
done

# The runs happen as a user who cannot write into the prefix: an
# unprivileged one when this runs as root (root writes everywhere),
# otherwise the caller, with the prefix made read-only.
if [[ $(id -u) -eq 0 ]]; then
  id -u "${test_user}" >/dev/null 2>&1 ||
    useradd --system --no-create-home --shell /usr/sbin/nologin "${test_user}"
  as_user() { runuser -u "${test_user}" -- "$@"; }
  user_owns() { chown -R "${test_user}:" "$@"; }
else
  chmod -R a-w "${dest}"
  as_user() { "$@"; }
  user_owns() { :; }
fi
as_user test -w "${root}/bin" && fail "the test user can write into the installed prefix"

step "start Xvfb"
# -ac: the test user's programs may use the display too. -noreset: a server
# that resets as its last client leaves refuses the next one meanwhile.
Xvfb -displayfd 3 -nolisten tcp -ac -noreset -screen 0 1024x768x24 3>"${scratch}/display" \
  >"${scratch}/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [[ -s "${scratch}/display" ]] && break; sleep 0.1; done
[[ -s "${scratch}/display" ]] || { cat "${scratch}/xvfb.log"; fail "Xvfb did not start"; }
export DISPLAY=":$(tr -d '\n' <"${scratch}/display")"

listening() { (exec 3<>"/dev/tcp/127.0.0.1/${port}") 2>/dev/null; }
# A downloaded track holds a shipped track's audio, packet for packet as
# ffprobe reads it: its tags are the program's own.
audio_of() {
  ffprobe -v error -select_streams a:0 -show_data_hash MD5 \
    -show_entries packet=pts,dts,duration,size,data_hash -of csv "$1" 2>/dev/null | md5sum | cut -d' ' -f1
}
shipped_sums=$(for t in "${source_dir}"/assets/media/*.mp4; do audio_of "${t}"; done)

# run_and_download NAME EXPECTED_FILE COMMAND...: starts COMMAND as the test
# user with a fresh HOME, clicks Download, waits for EXPECTED_FILE to be a
# shipped track, closes the window with its close button and checks that
# the command ends with 0.
run_and_download() {
  local name=$1 expected=$2
  shift 2
  local home=${scratch}/home-${name}
  mkdir -p "${home}"
  # A Chinese desktop: the download folder is ~/下载 (what Qt reads, as XDG has it).
  mkdir -p "${home}/.config" "${home}/run"
  chmod 700 "${home}/run"
  echo 'XDG_DOWNLOAD_DIR="$HOME/下载"' >"${home}/.config/user-dirs.dirs"
  user_owns "${home}"
  local site_was_up=0
  listening && site_was_up=1
  local keep=()
  for v in UBSAN_OPTIONS LSAN_OPTIONS; do
    [[ -n "${!v:-}" ]] && keep+=("${v}=${!v}")
  done
  # Under AddressSanitizer, Qt's X11 plugin meets libxkbcommon-x11, whose
  # keymap reading strict string checks take for an overflow.
  [[ -n "${ASAN_OPTIONS:-}" ]] && keep+=("ASAN_OPTIONS=${ASAN_OPTIONS}:strict_string_checks=0")
  as_user env -i PATH=/usr/bin:/bin HOME="${home}" DISPLAY="${DISPLAY}" LANG=C.UTF-8 \
    XDG_RUNTIME_DIR="${home}/run" "${keep[@]}" "$@" >"${scratch}/${name}.log" 2>&1 &
  local pid=$!
  local window=""
  for _ in $(seq 200); do
    window=$(xdotool search --onlyvisible --class '^wuqu$' 2>/dev/null | head -n1) && [[ -n "${window}" ]] && break
    kill -0 "${pid}" 2>/dev/null || { cat "${scratch}/${name}.log"; fail "${name}: ended before its window showed"; }
    sleep 0.1
  done
  [[ -n "${window}" ]] || fail "${name}: no window"
  if ((site_was_up == 0)) && [[ "$1" == *start-wuqu ]]; then
    listening || fail "${name}: the launcher did not start the demo site"
  fi
  # 按钮EX2 (下载) at 221, 41, 64 x 24 in the window.
  xdotool mousemove --window "${window}" 253 53 click 1
  local sum=""
  for _ in $(seq 300); do
    if [[ -f "${expected}" && ! -e "${expected}.wuqu-resume" && ! -e "${expected}.wuqu-tagging" ]]; then
      sum=$(audio_of "${expected}")
      grep -qx "${sum}" <<<"${shipped_sums}" && break
    fi
    sleep 0.1
  done
  grep -qx "${sum:-none}" <<<"${shipped_sums}" ||
    { ls -laR "${home}" >&2; cat "${scratch}/${name}.log" >&2; fail "${name}: ${expected} is not a shipped track"; }
  # Its play page written into it, once the file is final.
  for _ in $(seq 100); do
    ffprobe -v error -show_entries format_tags=comment -of default=nw=1:nk=1 "${expected}" |
      grep -q '/m/116717/$' && break
    sleep 0.1
  done
  ffprobe -v error -show_entries format_tags=comment -of default=nw=1:nk=1 "${expected}" |
    grep -q '/m/116717/$' || fail "${name}: ${expected} does not name its play page in its tags"
  echo "${name}: ${expected} ${sum}"
  # The close button sits at the right end of the caption strip.
  xdotool mousemove --window "${window}" 596 16 click 1
  local status=0
  for _ in $(seq 100); do kill -0 "${pid}" 2>/dev/null || break; sleep 0.1; done
  wait "${pid}" || status=$?
  ((status == 0)) || { cat "${scratch}/${name}.log" >&2; fail "${name}: exit code ${status}"; }
  if ((site_was_up == 0)); then
    listening && fail "${name}: the demo site still runs after the window closed"
  fi
  # What the program remembers goes into the user's data folder, whatever
  # folder the program lies in.
  [[ -s "${home}/.local/share/wuqu/wuqu.sqlite" ]] ||
    fail "${name}: no store in the user's data folder"
  return 0
}

step "installed prefix, read-only to the user: the download goes under the user's download folder"
home=${scratch}/home-installed
run_and_download installed "${home}/下载/wuqu/下载/${track_id}.mp4" "${root}/libexec/wuqu/start-wuqu"
[[ -e "${root}/bin/下载" ]] && fail "something was made beside the installed program"
[[ -n "$(find "${root}" -name 'wuqu.sqlite*')" ]] && fail "a store was made beside the installed program"

step "a copy the user owns: the download goes beside the program"
own=${scratch}/own
mkdir -p "${own}"
cp -a "${root}/." "${own}/"
chmod -R u+w "${own}"
user_owns "${own}"
run_and_download own-copy "${own}/bin/下载/${track_id}.mp4" "${own}/libexec/wuqu/start-wuqu"
[[ -e "${scratch}/home-own-copy/下载/wuqu" ]] && fail "the user's download folder was used for a writable program folder"

step "the build tree's program: the download goes beside it"
beside=${build}/bin/下载/${track_id}.mp4
aside=""
if [[ -e "${beside}" ]]; then aside=${scratch}/kept.mp4; mv "${beside}" "${aside}"; fi
"${build}/bin/wuqu-site" --port "${port}" >"${scratch}/site.log" 2>&1 &
site_pid=$!
for _ in $(seq 50); do listening && break; sleep 0.1; done
# Run as the build tree's owner, who writes there.
as_user() { "$@"; }
run_and_download build-tree "${beside}" "${build}/bin/wuqu"
kill "${site_pid}"
wait "${site_pid}" 2>/dev/null || true
rm -f "${beside}"
[[ -n "${aside}" ]] && mv "${aside}" "${beside}"
echo "all installed-program checks passed"
