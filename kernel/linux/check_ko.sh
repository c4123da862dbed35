#!/bin/sh
# check_ko.sh KDIR OUT: the build check of the out-of-tree modules in OUT.
#  - pelk_perf_util.ko has no global constructors or destructors
#    (.init_array/.ctors/.fini_array/.dtors): they would silently never run;
#  - every undefined symbol of every module is exported by the kernel
#    (KDIR/Module.symvers) or by a module of OUT (its __ksymtab_ entries).
#    Weak references count too: an unresolved one silently becomes address 0
#    (as __cxa_pure_virtual would).  The only exceptions are the bounds of
#    the simulated loader's tables (__start___param, ...), which the module
#    names weakly and never uses in a real kernel.
set -eu
kdir=$1
out=$2
nm=${NM:-${CROSS_COMPILE:-}nm}
objdump=${OBJDUMP:-${CROSS_COMPILE:-}objdump}
status=0
exports=$(mktemp)
trap 'rm -f "$exports"' EXIT
if [ ! -e "$out/pelk_perf_util.ko" ]; then
	echo "check_ko: no pelk_perf_util.ko in $out" >&2
	exit 1
fi
{
	awk '{print $2}' "$kdir/Module.symvers"
	for ko in "$out"/*.ko; do
		"$nm" "$ko" | awk '$3 ~ /^__ksymtab_/ {sub(/^__ksymtab_/, "", $3); print $3}'
	done
} | sort -u >"$exports"

if "$objdump" -h "$out/pelk_perf_util.ko" | grep -qE ' \.(init_array|ctors|fini_array|dtors)'; then
	echo "check_ko: pelk_perf_util.ko has global constructors or destructors" >&2
	status=1
fi
for ko in "$out"/*.ko; do
	missing=$("$nm" -u "$ko" | awk '{print $2}' |
		grep -vE '^__(start|stop)___(param|ksymtab|ksymtab_gpl|modinfo)$' |
		sort -u | comm -23 - "$exports")
	if [ -n "$missing" ]; then
		echo "check_ko: $(basename "$ko") needs symbols the kernel does not export:" $missing >&2
		status=1
	fi
done
[ $status -eq 0 ] && echo "check_ko: $(ls "$out"/*.ko | wc -l) modules, no constructors, every symbol exported"
exit $status
