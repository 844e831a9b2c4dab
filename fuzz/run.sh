#!/usr/bin/env bash
# fuzz/run.sh <build-dir> <seconds>
# Builds the fuzz targets with clang and runs each for <seconds>, starting from
# its seed corpus in fuzz/corpus/<target>/ (copied, so the repo is not written).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(mkdir -p "$1" && cd "$1" && pwd)  # absolute: each target runs in its own folder
seconds=${2:-10}
cxx=$(command -v clang++-14 || command -v clang++)
cc=$(command -v clang-14 || command -v clang)

cmake -S "$here/project" -B "$build" -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j 2

status=0
shopt -s nullglob
for src in "$here"/targets/*.cpp; do
  name=$(basename "$src" .cpp)
  work=$(mktemp -d)
  if [[ -d "$here/corpus/$name" ]]; then cp -r "$here/corpus/$name/." "$work/"; fi
  echo "== $name: ${seconds}s"
  if ! (cd "$work" && "$build/$name" -max_total_time="$seconds" -rss_limit_mb=2048 \
        -timeout=10 -print_final_stats=1 "$work" 2>&1 | tail -n 25); then
    echo "!! $name failed (crash input, if any, is in $work)"
    status=1
    continue
  fi
  rm -rf "$work"
done
exit $status
