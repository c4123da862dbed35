#!/bin/bash
# Renders the plot page of the built-in scenario's log (a busy process renamed
# to a hostile name) in Debian's headless Chromium and checks that the page drew its five charts without a script
# error and loads nothing from the network; then the same for the fleet page of
# a database of three phones' logs, and for the page its first device links to.
# usage: plot_browser_test.sh PROGRAM MODULE
set -u
prog=$1 module=$2
browser=${PELK_CHROMIUM:-/usr/bin/chromium}
if [ ! -x "$browser" ]; then
  echo "SKIP: $browser not installed (Debian package chromium)"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

"$prog" simulate --module "$module" --output "$work/builtin.log" || fail "simulate"
# A process name is chosen by whoever starts the process: one that would
# open a comment and a script in the page must not stop the charts.
perl -pi -e 's/ {6}surfaceflinger/" " x 8 . "<!--<script>"/ge' "$work/builtin.log"
grep -q '<!--<script>' "$work/builtin.log" || fail "no process renamed"
"$prog" plot "$work/builtin.log" -o "$work/page.html" || fail "plot"
grep -q '<canvas id="events">' "$work/page.html" || fail "no events chart in the page"
# Self-contained: no script, style or image is fetched.
if grep -Eq '<(script|link|img)[^>]* (src|href)=' "$work/page.html"; then fail "the page loads an outside resource"; fi

# A browser that crashes or hangs on a loaded machine is tried again; a page
# that draws wrongly is not.
render() {
  local profile
  profile=$(mktemp -d "$work/profile.XXXXXX")
  timeout -k 5 90 "$browser" --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync --disable-extensions \
    --user-data-dir="$profile" --virtual-time-budget=5000 --dump-dom "file://$1" \
    >"$work/dom.html" 2>"$work/browser.err"
}
# Renders PAGE into $work/dom.html and checks that its five charts were drawn.
drawn() {
  for attempt in 1 2 3; do
    render "$1" && grep -q '<div id="status">' "$work/dom.html" && break
    echo "browser attempt $attempt failed (status $?), retrying"
    tail -5 "$work/browser.err"
  done
  grep -q '<div id="status">' "$work/dom.html" || fail "the browser gave no page for $1"
  status=$(grep -o '<div id="status">[^<]*</div>' "$work/dom.html")
  errors=$(grep -o '<div id="errors">[^<]*</div>' "$work/dom.html")
  [ "$status" = '<div id="status">charts drawn: 5</div>' ] || fail "charts not drawn in $1: $status $errors"
  [ "$errors" = '<div id="errors"></div>' ] || fail "script errors in $1: $errors"
  echo "OK: $1: $status"
}
drawn "$work/page.html"
[ "$(grep -o '<tr>' "$work/dom.html" | wc -l)" -gt 0 ] || fail "no events listed"

# A fleet: the built-in log and two examples, each naming its phone.
examples=$(dirname "$0")/../../../examples
mkdir "$work/fleet"
for phone in builtin:A1 cpus:B2 sustained_overload:C3; do
  log=${phone%:*} serial=${phone#*:}
  { echo "[    0.000000] Kernel command line: console=ttyS0 androidboot.serialno=$serial"
    if [ "$log" = builtin ]; then cat "$work/builtin.log"
    else "$prog" simulate --module "$module" "$examples/$log.json" || fail "simulate $log"; fi
  } >"$work/fleet/$serial.log"
done
"$prog" parse "$work/fleet" --db "$work/fleet.sqlite" || fail "parse --db"
"$prog" plot --db "$work/fleet.sqlite" -o "$work/fleet.html" || fail "plot --db"
if grep -Eq '<(script|link|img)[^>]* (src|href)=' "$work/fleet.html"; then fail "the fleet page loads an outside resource"; fi
drawn "$work/fleet.html"
# The worst device is the one overloaded all along, and its link leads to its page.
link=$(grep -o '<a href="[^"]*">' "$work/dom.html" | head -1)
[ "$link" = '<a href="fleet-C3.html">' ] || fail "the first device's link is $link"
drawn "$work/fleet-C3.html"
# A device's page drawn from the database is the page of its log.
"$prog" plot "$work/fleet/A1.log" -o "$work/A1.html" 2>/dev/null || fail "plot A1.log"
"$prog" plot --db "$work/fleet.sqlite" --device A1 -o "$work/A1-db.html" || fail "plot --device A1"
cmp <(grep '^const DATA' "$work/A1.html") <(grep '^const DATA' "$work/A1-db.html") ||
  fail "the device page from the database draws other data than its log's page"
