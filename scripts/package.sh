#!/usr/bin/env bash
# Builds the Debian package build/wuqu_<version>_<arch>.deb: installs what is
# missing, builds the installed programs with the default preset and packs
# them with CPack. Install it with: apt install ./build/wuqu_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target wuqu wuqu-site wuqu-fetch wuqu-docs
rm -f build/wuqu_*.deb
(cd build && cpack -G DEB >/dev/null)
ls build/wuqu_*.deb
