#!/usr/bin/env bash
# The Debian package: packs the build with CPack into a temporary folder and
# checks its fields and its contents.
# Usage: package_test.sh BUILD_DIR APP_ID PROGRAM,...
set -euo pipefail
build=$(cd "$1" && pwd)
app_id=$2
IFS=, read -r -a programs <<<"$3"
fail() { echo "FAIL: $*" >&2; exit 1; }

out=$(mktemp -d /tmp/wuqu-package-test.XXXXXX)
trap 'rm -rf "${out}"' EXIT
(cd "${build}" && cpack -G DEB -B "${out}" >"${out}/cpack.log") ||
  { cat "${out}/cpack.log"; fail "cpack"; }
deb=$(ls "${out}"/wuqu_*.deb)

field() { dpkg-deb --field "${deb}" "$1"; }
echo "Depends: $(field Depends)"
[[ "$(field Package)" == wuqu ]] || fail "Package"
[[ "$(field Section)" == sound ]] || fail "Section"
[[ "$(field Priority)" == optional ]] || fail "Priority"
[[ "$(field Maintainer)" == *@* ]] || fail "Maintainer"
# What the programs link (shlibdeps), and what no library names.
for dep in libqt6widgets6 libqt6multimedia6 libcurl4 libpcre2-8-0 libssl3 \
           fonts-wqy-microhei gstreamer1.0-plugins-good gstreamer1.0-libav; do
  field Depends | tr ',' '\n' | grep -q "^ *${dep}\b" || fail "Depends lacks ${dep}"
done
# Only the build tree's script needs a display server of its own.
field Depends | grep -q xvfb && fail "Depends names xvfb"
# The long description reads as paragraphs under a one-line synopsis.
description=$(field Description)
[[ $(sed -n 2p <<<"${description}") != "$(sed -n 1p <<<"${description}")" ]] || fail "synopsis repeated"

dpkg-deb --contents "${deb}" | awk '{print $NF}' >"${out}/contents"
cat "${out}/contents"
for p in "${programs[@]}"; do
  grep -qx -- "./usr/bin/${p}" "${out}/contents" || fail "the package lacks ${p}"
done
for f in ./usr/libexec/wuqu/start-wuqu \
         ./usr/share/applications/${app_id}.desktop \
         ./usr/share/metainfo/${app_id}.metainfo.xml \
         ./usr/share/icons/hicolor/{16x16,32x32,48x48,128x128,256x256}/apps/wuqu.png \
         ./usr/share/man/man1/{wuqu,wuqu-site,wuqu-fetch}.1.gz \
         ./usr/share/doc/wuqu/copyright ./usr/share/doc/wuqu/changelog.gz; do
  grep -qx -- "${f}" "${out}/contents" || fail "the package lacks ${f}"
done
# Nothing from the build tree or the tests comes along.
grep -E '_test$|bench_|wuqu-make-images|wuqu-window-shot|/usr/local' "${out}/contents" &&
  fail "the package holds files it should not"

# The programs as packed carry the hardening of Debian's own packages: the
# flags dpkg-buildflags gives (less optimisation and debug information,
# which the build type sets) are in what built and linked them, and
# hardening-check finds each protection in them. Stack clash protection
# shows only in functions with large frames: "unknown" is no failure. A
# program carries the control-flow mark only when every object linked into
# it does, the C runtime's start files among them: where those lack it
# (Debian 12), our own objects must carry it, and hardening-check is not
# asked for it.
if [[ "${WUQU_HARDENED:-1}" != 1 ]]; then
  echo "not a hardened build (the sanitizer build): its hardening is not checked"
  echo "package checks passed"
  exit 0
fi
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
compile=$(grep -m1 -o '"command": "[^"]*src/app/main.cpp"' "${build}/compile_commands.json")
link=$(cat "${build}/src/app/CMakeFiles/wuqu.dir/link.txt")
for flag in $(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS); do
  case "${flag}" in -g | -O* | -ffile-prefix-map=*) continue ;; esac
  [[ " ${compile} " == *" ${flag} "* ]] || fail "the build lacks ${flag}"
done
for flag in $(dpkg-buildflags --get LDFLAGS); do
  [[ " ${link} " == *" ${flag} "* ]] || fail "the link lacks ${flag}"
done
for flag in -fstack-clash-protection -fcf-protection; do
  [[ " ${compile} " == *" ${flag} "* ]] || fail "the build lacks ${flag}"
done
cf_check=""
if ! readelf -n "$(c++ -print-file-name=Scrt1.o)" | grep -q 'IBT, SHSTK'; then
  cf_check=--nocfprotection
  for object in "${build}"/src/app/CMakeFiles/wuqu.dir/main.cpp.o \
                "${build}"/src/app/CMakeFiles/wuqu_app.dir/*.o; do
    readelf -n "${object}" | grep -q 'IBT, SHSTK' || fail "${object} lacks the control-flow mark"
  done
fi
mkdir "${out}/root"
dpkg-deb -x "${deb}" "${out}/root"
for p in "${programs[@]}"; do
  hardening-check ${cf_check} "${out}/root/usr/bin/${p}" || fail "hardening-check ${p}"
done
# lintian has nothing to say of the hardening.
lintian --tag-display-limit 0 "${deb}" >"${out}/lintian.log" 2>&1 || true
cat "${out}/lintian.log"
grep -q hardening "${out}/lintian.log" && fail "lintian reports a hardening tag"

echo "package checks passed"
