#!/usr/bin/env bash
# check_ko_test.sh KDIR BUILT: the build checks refuse what they must refuse.
# From the modules in BUILT (a finished build): a copy of pelk_perf_util.ko
# with a constructor section, one whose sibling has a C++ global constructor
# (refused) or KASAN's registration of globals (passed), and a kernel that
# does not export memcpy.  Against KDIR: the glue's build, from a copy of the
# layer whose semaphore storage is too small, or whose struct tm differs
# from the kernel's.
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

# A sibling linked with a C++ global constructor is refused; with KASAN's
# registration of its globals (and a kernel exporting KASAN's calls), passed.
mkdir "$tmp/cxx" "$tmp/kasan"
cp "$built"/*.ko "$tmp/cxx/"
cp "$built"/*.ko "$tmp/kasan/"
printf 'struct A { A(); int x; };\nA a;\n' >"$tmp/ctor.cpp"
g++ -O2 -c -o "$tmp/ctor.o" "$tmp/ctor.cpp"
ld -r -o "$tmp/cxx/zebk_report.ko" "$built/zebk_report.ko" "$tmp/ctor.o"
printf 'int table[8] = {1};\nint get(int i) { return table[i]; }\n' >"$tmp/globals.c"
gcc -O2 -fsanitize=kernel-address --param asan-globals=1 -c -o "$tmp/globals.o" "$tmp/globals.c"
ld -r -o "$tmp/kasan/zebk_report.ko" "$built/zebk_report.ko" "$tmp/globals.o"
{
	cat "$kdir/Module.symvers"
	for f in _ZN1AC1Ev $(nm -u "$tmp/globals.o" | awk '{print $2}'); do
		printf '0x0\t%s\tvmlinux\tEXPORT_SYMBOL\t\n' "$f"
	done
} >"$tmp/kdir/Module.symvers"
"$check" "$tmp/kdir" "$tmp/cxx" 2>"$tmp/err" >/dev/null && { echo "check_ko_test: a C++ constructor accepted" >&2; fail=1; }
grep -q "zebk_report.ko has global constructors or destructors: .init_array: _GLOBAL__sub_I_a" "$tmp/err" ||
	{ echo "check_ko_test: no message naming the C++ constructor" >&2; cat "$tmp/err" >&2; fail=1; }
"$check" "$tmp/kdir" "$tmp/kasan" 2>"$tmp/err" >/dev/null ||
	{ echo "check_ko_test: KASAN's constructor refused" >&2; cat "$tmp/err" >&2; fail=1; }

# The glue alone, from a changed copy of the layer: the build must stop at
# the check of what was changed.
refused() {  # refused NAME SED-SCRIPT HEADER MESSAGE
	local r=$tmp/$1
	mkdir -p "$r/root/kernel" "$r/out"
	cp -r "$root/kernel/include" "$r/root/kernel/"
	sed -i "$2" "$r/root/kernel/include/linux/$3"
	cmp -s "$root/kernel/include/linux/$3" "$r/root/kernel/include/linux/$3" &&
		{ echo "check_ko_test: $1: the layer was not changed" >&2; fail=1; return; }
	make -s -C "$root/kernel/linux" stage OUT="$r/out" >/dev/null
	if make -C "$kdir" M="$r/out" PELK_ROOT="$r/root" pelk_glue.o >"$r/log" 2>&1; then
		echo "check_ko_test: $1: the glue built" >&2; fail=1
	elif ! grep -qF "$4" "$r/log"; then
		echo "check_ko_test: $1: no \"$4\"" >&2; tail -20 "$r/log" >&2; fail=1
	fi
}
refused small 's/\[PELK_SEMAPHORE_SIZE \//[(PELK_SEMAPHORE_SIZE - 8) \//' semaphore.h \
	"struct semaphore: the layer gives less storage than this kernel needs"
refused layout 's/long tm_year;/int tm_year;/' time.h \
	"struct tm: field tm_year differs between the layer and this kernel"

[ $fail -eq 0 ] && echo "check_ko_test: constructors (but KASAN's), unexported symbols, small storage and layouts refused"
exit $fail
