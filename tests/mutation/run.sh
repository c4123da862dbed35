#!/bin/bash
# Applies each fault of a list, one at a time, to a scratch copy of the tree
# (never to the tree itself), builds the tests, runs them and says which
# tests failed; the faults that no test caught are listed at the end.
# Not run by CI: a reviewer's tool.  The first run builds everything in the
# scratch folder; after that a fault takes a minute or two.
#
#   tests/mutation/run.sh [-f faults.txt] [-s scratch-dir] [-t gtest-filter] [name...]
#
# faults.txt (the default is the one next to this script) describes its
# format.  Names given on the command line pick faults from the list.  The
# scratch directory (default /tmp/pelk_mutation) keeps its build between runs.
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
# build folders).  Only the files that differ from the last copy are written,
# with the time of writing, so that the build redoes what they change and no
# more; files gone from the tree go from the copy.
src=$scratch/src
build=$scratch/build
stage=$scratch/stage
rm -rf "$stage" && mkdir -p "$stage" "$src" || exit 1
(cd "$top" && git ls-files -co --exclude-standard -z | tar --null -T - --ignore-failed-read -cf - 2>/dev/null) |
  tar -xmf - -C "$stage" || exit 1
(cd "$stage" && find . -type f -print0) | while IFS= read -r -d '' f; do
  cmp -s "$stage/$f" "$src/$f" || { mkdir -p "$(dirname "$src/$f")" && cp "$stage/$f" "$src/$f"; }
done
(cd "$src" && find . -type f -print0) | while IFS= read -r -d '' f; do
  [[ -e $stage/$f ]] || rm -f "$src/$f"
done
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

base=$(run_suite "$scratch/baseline.log")
if [[ -n ${base// /} ]]; then
  echo "the tree as it is fails already: $base"
  exit 1
fi
echo "the tree as it is: every test passes"
survivors=()
while IFS=$'\t' read -r name file expr; do
  [[ -z $name || $name == \#* ]] && continue
  [[ $wanted != "  " && $wanted != *" $name "* ]] && continue
  cp "$stage/$file" "$src/$file"
  perl -0pi -e "$expr" "$src/$file"
  if cmp -s "$stage/$file" "$src/$file"; then
    echo "$name: DID NOT APPLY"
    survivors+=("$name (did not apply)")
    continue
  fi
  result=$(run_suite "$scratch/$name.log")
  cp "$stage/$file" "$src/$file"
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
