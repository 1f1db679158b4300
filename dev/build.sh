#!/usr/bin/env bash
# Developer loop without pip: configure once, rebuild incrementally, and stage the package
# so that `PYTHONPATH=<build>/stage python -m pytest` runs the tests against this tree.
#   dev/build.sh [build-dir] [extra cmake args...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
shift || true
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
fi
cmake --build "$build"
stage="$build/stage/morvel"
mkdir -p "$stage"
for f in "$root"/src/morvel/*; do ln -sfn "$f" "$stage/$(basename "$f")"; done
for so in "$build"/_core*.so; do ln -sfn "$so" "$stage/$(basename "$so")"; done
echo "PYTHONPATH=$build/stage"
