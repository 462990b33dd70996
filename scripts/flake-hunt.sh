#!/usr/bin/env bash
# Runs the built suite N times under load (ctest -j3 beside a CPU hog) and
# prints each test's failures out of N. The build folder is not rebuilt.
#
#   bash scripts/flake-hunt.sh [-b BUILD_DIR] [-R REGEX] [-j JOBS] N
#
#   -b  build folder (default build; e.g. build-asan)
#   -R  only the tests whose names match REGEX (as ctest -R)
#   -j  tests run at once (default 3)
#
# Each run's output is kept in BUILD_DIR/flake-hunt/run-K.log. Exits 1 when
# any test failed in any run.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() { sed -n '5,9p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }

build=build
regex=
jobs=3
while getopts "b:R:j:h" opt; do
  case $opt in
    b) build=$OPTARG ;;
    R) regex=$OPTARG ;;
    j) jobs=$OPTARG ;;
    *) usage ;;
  esac
done
shift $((OPTIND - 1))
[ $# -eq 1 ] && [[ $1 =~ ^[1-9][0-9]*$ ]] || usage
runs=$1
[ -f "$build/CTestTestfile.cmake" ] || { echo "no tests in $build: build it first" >&2; exit 2; }

filter=()
[ -n "$regex" ] && filter=(-R "$regex")
mapfile -t tests < <(ctest --test-dir "$build" -N "${filter[@]}" | sed -n 's/^ *Test *#[0-9]*: *\(.*\)$/\1/p')
[ ${#tests[@]} -gt 0 ] || { echo "no tests match" >&2; exit 2; }

# The load: one busy process beside the tests, ended however the script ends.
yes >/dev/null &
hog=$!
trap 'kill "$hog" 2>/dev/null; wait "$hog" 2>/dev/null || true' EXIT

logs="$build/flake-hunt"
mkdir -p "$logs"
declare -A failures=()
for t in "${tests[@]}"; do failures[$t]=0; done

for ((k = 1; k <= runs; ++k)); do
  log="$logs/run-$k.log"
  ctest --test-dir "$build" -j"$jobs" --output-on-failure "${filter[@]}" >"$log" 2>&1 || true
  # ctest ends with "The following tests FAILED:" and a line "  N - name (why)" each.
  mapfile -t failed < <(sed -n '/^The following tests FAILED:/,$s/^[[:space:]]*[0-9]* - \(.*\) (.*)$/\1/p' "$log")
  for t in "${failed[@]}"; do failures[$t]=$((${failures[$t]:-0} + 1)); done
  echo "run $k/$runs: ${#failed[@]} failed${failed:+ (${failed[*]})}"
done

echo
echo "failures out of $runs runs (${#tests[@]} tests, -j$jobs beside a CPU hog, $build):"
total=0
for t in "${tests[@]}"; do
  printf '%4d/%d  %s\n' "${failures[$t]}" "$runs" "$t"
  total=$((total + failures[$t]))
done
[ "$total" -eq 0 ]
