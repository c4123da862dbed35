#!/bin/bash
# Renders the plot page of the built-in scenario's log (a busy process renamed
# to a hostile name) in Debian's headless Chromium and checks that the page drew its five charts without a script
# error and loads nothing from the network.
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
    --user-data-dir="$profile" --virtual-time-budget=5000 --dump-dom "file://$work/page.html" \
    >"$work/dom.html" 2>"$work/browser.err"
}
for attempt in 1 2 3; do
  render && grep -q '<div id="status">' "$work/dom.html" && break
  echo "browser attempt $attempt failed (status $?), retrying"
  tail -5 "$work/browser.err"
done
grep -q '<div id="status">' "$work/dom.html" || fail "the browser gave no page"
status=$(grep -o '<div id="status">[^<]*</div>' "$work/dom.html")
errors=$(grep -o '<div id="errors">[^<]*</div>' "$work/dom.html")
[ "$status" = '<div id="status">charts drawn: 5</div>' ] || fail "charts not drawn: $status $errors"
[ "$errors" = '<div id="errors"></div>' ] || fail "script errors: $errors"
[ "$(grep -o '<tr>' "$work/dom.html" | wc -l)" -gt 0 ] || fail "no events listed"
echo "OK: $status"
