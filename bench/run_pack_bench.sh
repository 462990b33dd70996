#!/bin/sh
# Builds vr20-pack and the benchmark in a release build folder and runs it.
#   bench/run_pack_bench.sh [BUILD_DIR] [RUNS]
set -eu
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build-bench}
runs=${2:-20}
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVR20_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target vr20-pack bench_pack >/dev/null
"$build/bench_pack" --runs "$runs"
if [ -x /usr/bin/time ]; then
  dir=$(mktemp -d)
  "$build/bench_pack" --write-image "$dir/full.s19"
  echo "one run under /usr/bin/time -v:"
  /usr/bin/time -v "$build/vr20-pack" build "$dir/full.s19" "$dir/full.bin" 2>&1 >/dev/null |
    grep -E 'Elapsed|Maximum resident' | sed 's/^\s*/  /'
  rm -rf "$dir"
fi
