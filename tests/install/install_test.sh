#!/usr/bin/env bash
# An installed program runs from anywhere: install into a temporary prefix,
# move the installed tree elsewhere, put the build folder's module out of
# reach, and simulate an installed example from an unrelated directory.  The
# output must be the example's expected output, byte for byte.
#
#   install_test.sh BUILD_DIR BUILD_MODULE EXPECTED_OUTPUT BINDIR PKGLIBDIR DATADIR DOCDIR
#
# ctest runs it alone (RUN_SERIAL): no other test needs the build's module
# while it is hidden, and it is put back however the script ends.
set -euo pipefail
build=$1 module=$2 expected=$3 bindir=$4 pkglibdir=$5 datadir=$6 docdir=$7

tmp=$(mktemp -d)
hidden="$module.hidden-by-install-test"
restore() {
  if [ -e "$hidden" ]; then mv -f "$hidden" "$module"; fi
  rm -rf "$tmp"
}
trap restore EXIT

cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
for f in "$bindir/pelk_perf_util" "$pkglibdir/pelk_perf_util.so" "$datadir/pelk_perf_util/examples/minimal.json" \
         "$docdir/scenario.md" "$docdir/README.md"; do
  [ -f "$tmp/prefix/$f" ] || { echo "not installed: $f" >&2; exit 1; }
done

mv "$tmp/prefix" "$tmp/moved"
mv "$module" "$hidden"
mkdir "$tmp/elsewhere"
cd "$tmp/elsewhere"
status=0
env -u PELK_MODULE "$tmp/moved/$bindir/pelk_perf_util" simulate \
  "$tmp/moved/$datadir/pelk_perf_util/examples/minimal.json" >out.txt 2>err.txt || status=$?
mv "$hidden" "$module"
if [ "$status" -ne 0 ]; then
  echo "installed program failed with status $status:" >&2
  cat err.txt >&2
  exit 1
fi
cmp out.txt "$expected"
