#!/usr/bin/env bash
# check_ko_test.sh KDIR BUILT: the build check refuses what it must refuse.
# From the modules in BUILT (a finished build): a copy of pelk_perf_util.ko
# with a constructor section, and a kernel that does not export memcpy.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
kdir=$1
built=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
check=$root/kernel/linux/check_ko.sh
fail=0

mkdir "$tmp/ok" "$tmp/ctor" "$tmp/kdir"
cp "$built"/*.ko "$tmp/ok/"
"$check" "$kdir" "$tmp/ok" >/dev/null || { echo "check_ko_test: a good build refused" >&2; fail=1; }

cp "$built"/*.ko "$tmp/ctor/"
printf '\0\0\0\0\0\0\0\0' >"$tmp/ptr"
objcopy --add-section .init_array="$tmp/ptr" "$built/pelk_perf_util.ko" "$tmp/ctor/pelk_perf_util.ko"
"$check" "$kdir" "$tmp/ctor" 2>"$tmp/err" >/dev/null && { echo "check_ko_test: .init_array accepted" >&2; fail=1; }
grep -q "global constructors" "$tmp/err" || { echo "check_ko_test: no constructor message" >&2; fail=1; }

grep -vw memcpy "$kdir/Module.symvers" >"$tmp/kdir/Module.symvers"
"$check" "$tmp/kdir" "$tmp/ok" 2>"$tmp/err" >/dev/null && { echo "check_ko_test: unexported memcpy accepted" >&2; fail=1; }
grep -q "pelk_perf_util.ko needs symbols the kernel does not export: memcpy" "$tmp/err" ||
	{ echo "check_ko_test: no message naming memcpy" >&2; cat "$tmp/err" >&2; fail=1; }

[ $fail -eq 0 ] && echo "check_ko_test: constructors and unexported symbols refused"
exit $fail
