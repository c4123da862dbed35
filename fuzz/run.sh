#!/bin/sh
# Builds the scenario reader's fuzz target with clang and libFuzzer, and runs
# it, seeded from examples/, the built-in scenario and the regression inputs in
# fuzz/corpus/.
#
#   fuzz/run.sh [SECONDS]        (default 300; 0 only builds)
#
# The target and its working corpus go to build-fuzz/; a finding is written
# there as crash-*, timeout-* or oom-*: keep it as a regression test (a case
# in tests/tool/scenario_test.cpp, and the input in fuzz/corpus/).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
out=$root/build-fuzz
seconds=${1:-300}
mkdir -p "$out/corpus"
cp "$root/tools/default_scenario.json" "$out/corpus/default_scenario.json"
${CXX:-clang++} -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$root/tools" -I"$root/kernel" \
  "$here/scenario_fuzz.cpp" "$root/tools/scenario_read.cpp" "$root/tools/scenario_check.cpp" \
  -o "$out/scenario_fuzz"
[ "$seconds" -gt 0 ] || exit 0
cd "$out"
exec ./scenario_fuzz -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
  -dict="$here/scenario.dict" corpus "$root/examples" "$here/corpus"
