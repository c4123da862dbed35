#!/bin/sh
# Builds the fuzz targets with clang and libFuzzer, and runs each in turn:
#   scenario_fuzz      the scenario reader, seeded from examples/, the
#                      built-in scenario and fuzz/corpus/
#   log_parse_fuzz     the kernel-log reader of `parse`, seeded from the
#                      golden outputs in tests/tools/expected/
#   proc_text_fuzz     the live backend's readers of proc files, seeded from
#                      the recorded proc trees in tests/host/trees/
#   log_input_fuzz     the reading of log files (plain, compressed, zip and tar
#                      archives), seeded from fuzz/corpus_archive/
#
#   fuzz/run.sh [SECONDS [TARGET...]]   (default 300 each, every target; 0 only builds)
#
# The targets and their working corpora go to build-fuzz/; a finding is
# written there as crash-*, timeout-* or oom-*: keep it as a regression test
# (a case in the reader's tests, and the input in fuzz/corpus/).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
out=$root/build-fuzz
seconds=${1:-300}
[ $# -gt 0 ] && shift
targets=${*:-scenario_fuzz log_parse_fuzz proc_text_fuzz log_input_fuzz}
flags="-std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined"
cxx=${CXX:-clang++}
mkdir -p "$out"
for t in $targets; do
  mkdir -p "$out/corpus_$t"
  case $t in
    scenario_fuzz)
      cp "$root/tools/scenario/default_scenario.json" "$out/corpus_$t/default_scenario.json"
      $cxx $flags -I"$root/tools/scenario" -I"$root/tools/text" -I"$root/kernel" "$here/scenario_fuzz.cpp" \
        "$root/tools/scenario/scenario_read.cpp" "$root/tools/scenario/scenario_check.cpp" \
        "$root/tools/scenario/refusal.cpp" -o "$out/$t"
      seeds="$root/examples $here/corpus"
      extra="-dict=$here/scenario.dict"
      ;;
    log_parse_fuzz)
      $cxx $flags -I"$root/tools/logs" -I"$root/drivers/misc/perf_log" "$here/log_parse_fuzz.cpp" "$root/tools/logs/log_parse.cpp" -o "$out/$t"
      seeds="$root/tests/tools/expected"
      extra=""
      ;;
    proc_text_fuzz)
      $cxx $flags -I"$root/kernel/host" "$here/proc_text_fuzz.cpp" "$root/kernel/host/proc_text.cpp" -o "$out/$t"
      seeds="$root/tests/host/trees $here/corpus_proc"
      extra=""
      ;;
    log_input_fuzz)
      $cxx $flags -I"$root/tools/logs" -I"$root/drivers/misc/perf_log" "$here/log_input_fuzz.cpp" "$root/tools/logs/log_input.cpp" \
        "$root/tools/logs/log_parse.cpp" -larchive -lz -o "$out/$t"
      seeds="$here/corpus_archive"
      extra=""
      ;;
    *) echo "fuzz/run.sh: no target $t" >&2; exit 2 ;;
  esac
  [ "$seconds" -gt 0 ] || continue
  (cd "$out" && ./$t -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
    $extra "corpus_$t" $seeds)
done
