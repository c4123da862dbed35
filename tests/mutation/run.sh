#!/bin/bash
# Applies each fault of a list, one at a time, to a scratch copy of the tree
# (never to the tree itself), builds the tests, runs them and says which
# tests failed; the faults that no test caught are listed at the end.
# Not run by CI: a reviewer's tool.  Takes a few minutes per fault.
#
#   tests/mutation/run.sh [-f faults.txt] [-s scratch-dir] [-t gtest-filter] [name...]
#
# faults.txt (the default is the one next to this script) describes its
# format.  Names given on the command line pick faults from the list.  The
# scratch directory (default /tmp/pelk_mutation) keeps its build between runs,
# so a second run builds only what a fault changes.
set -u
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
faults=$here/faults.txt
scratch=/tmp/pelk_mutation
filter='*'
while getopts f:s:t: opt; do
  case $opt in
    f) faults=$OPTARG ;;
    s) scratch=$OPTARG ;;
    t) filter=$OPTARG ;;
    *) exit 2 ;;
  esac
done
shift $((OPTIND - 1))
wanted=" $* "

# The work tree as it is now (tracked files and new ones, not the ignored
# build folders), over the last copy.
mkdir -p "$scratch/src" || exit 1
(cd "$top" && git ls-files -co --exclude-standard -z | tar --null -T - --ignore-failed-read -cf - 2>/dev/null) |
  tar -xf - -C "$scratch/src" || exit 1
src=$scratch/src
build=$scratch/build
cmake -S "$src" -B "$build" -G Ninja -DPELK_BUILD_BENCH=OFF >"$scratch/configure.log" 2>&1 ||
  { echo "configure failed: $scratch/configure.log"; exit 1; }

# Builds and runs the suite; prints the failed tests, "crashed" if the binary
# died before its summary.
run_suite() {
  local log=$1
  if ! cmake --build "$build" -j2 --target pelk_tests >"$log.build" 2>&1; then
    echo "BUILD FAILED (see $log.build)"
    return
  fi
  "$build/tests/pelk_tests" --gtest_brief=1 --gtest_filter="$filter" >"$log" 2>&1
  local rc=$?
  local failed
  failed=$(sed -n 's/^\[  FAILED  \] \([A-Za-z0-9_]*\.[A-Za-z0-9_/]*\).*/\1/p' "$log" | sort -u | tr '\n' ' ')
  if ! grep -q '^\[==========\] .* ran\.' "$log"; then
    echo "crashed (exit $rc) ${failed}"
  else
    echo "${failed}"
  fi
}

echo "baseline: $(run_suite "$scratch/baseline.log")"
survivors=()
while IFS=$'\t' read -r name file expr; do
  [[ -z $name || $name == \#* ]] && continue
  [[ $wanted != "  " && $wanted != *" $name "* ]] && continue
  cp "$top/$file" "$src/$file"
  perl -0pi -e "$expr" "$src/$file"
  if cmp -s "$top/$file" "$src/$file"; then
    echo "$name: DID NOT APPLY"
    survivors+=("$name (did not apply)")
    continue
  fi
  result=$(run_suite "$scratch/$name.log")
  cp "$top/$file" "$src/$file"
  if [[ -z ${result// /} ]]; then
    echo "$name: SURVIVED"
    survivors+=("$name")
  elif [[ $result == "BUILD FAILED"* ]]; then
    echo "$name: $result"
    survivors+=("$name (did not build)")
  else
    echo "$name: killed by $result"
  fi
done <"$faults"
# Leave the copy as the tree is, for the next run.
cmake --build "$build" -j2 --target pelk_tests >/dev/null 2>&1

if ((${#survivors[@]})); then
  echo "survivors: ${survivors[*]}"
  exit 1
fi
echo "survivors: none"
