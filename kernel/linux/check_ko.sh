#!/bin/sh
# check_ko.sh KDIR OUT: the build check of the out-of-tree modules in OUT.
#  - no module has global constructors or destructors (.init_array/.ctors/
#    .fini_array/.dtors): they would silently never run.  The one exception
#    is the kernel's own sanitizer: under KASAN each C object registers its
#    global variables from a constructor that the kernel does run.  An entry
#    passes only if it names a function called as the compiler calls those
#    (GCC's _sub_I_<priority>_<n> and _sub_D_..., clang's asan.module_ctor
#    and asan.module_dtor) that calls nothing but the sanitizer's global
#    (un)registration and the kernel's function-entry and return hooks;
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
readelf=${READELF:-${CROSS_COMPILE:-}readelf}
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

# ctors KO: one line per constructor or destructor entry of KO that is not
# the sanitizer's, naming what the entry calls.
ctors() {
	{
		echo @S; "$readelf" -SW "$1"
		echo @s; "$readelf" -sW "$1"
		echo @r; "$readelf" -rW "$1"
	} | awk '
	function hex(s,    n, i, c) {
		n = 0; s = tolower(s); sub(/^0x/, "", s)
		for (i = 1; i <= length(s); i++) {
			c = index("0123456789abcdef", substr(s, i, 1))
			if (c == 0) break
			n = n * 16 + c - 1
		}
		return n
	}
	function size(s) { return s ~ /^0x/ ? hex(s) : s + 0 }
	/^@[Ssr]$/ { part = $0; next }
	part == "@S" {
		sub(/^ *\[ */, "["); sub(/\] +/, "] ")
		if ($1 ~ /^\[[0-9]+\]$/ && $2 ~ /^\.(init_array|ctors|fini_array|dtors)$/)
			entries[$2] = hex($6) / 8
		next
	}
	part == "@s" && $1 ~ /^[0-9]+:$/ {
		if ($4 == "SECTION") secidx[$8] = $7
		if ($4 == "FUNC") {
			fname[$7 ":" hex($2)] = $8; fsize[$7 ":" hex($2)] = size($3)
			fndx[$8] = $7; fval[$8] = hex($2)
		}
		next
	}
	part == "@r" && /^Relocation section/ {
		sec = $3; gsub(/[^A-Za-z0-9_.]/, "", sec); sub(/^\.rela?/, "", sec); nrel[sec] = 0; next
	}
	part == "@r" && NF >= 5 && $1 ~ /^[0-9a-f]+$/ {
		n = nrel[sec]++
		roff[sec, n] = hex($1); rsym[sec, n] = $5
		radd[sec, n] = (NF >= 7) ? ($6 == "-" ? -hex($7) : hex($7)) : 0
		rval[sec, n] = hex($4)
	}
	END {
		ok = "^(__asan_(un)?register_globals|__asan_init|__asan_version_mismatch_check_v[0-9]+|" \
		     "__fentry__|_mcount|__x86_return_thunk|__x86_indirect_thunk_.*|__stack_chk_fail)$"
		for (t in entries) {
			for (i = 0; i < nrel[t]; i++) {
				s = rsym[t, i]
				if (s in secidx) key = secidx[s] ":" (rval[t, i] + radd[t, i])
				else if (s in fndx) key = fndx[s] ":" (fval[s] + radd[t, i])
				else { print t ": " s; continue }
				f = fname[key]
				if (f !~ /^(_sub_[ID]_[0-9]+_[0-9]+|asan\.module_(c|d)tor)$/) {
					print t ": " (f == "" ? s "+" radd[t, i] : f); continue
				}
				# What the function refers to, from its own section.
				split(key, kv, ":"); fs = ""
				for (x in secidx) if (secidx[x] == kv[1] && x !~ /^\.rela/) fs = x
				for (j = 0; j < nrel[fs]; j++)
					if (roff[fs, j] >= kv[2] && roff[fs, j] < kv[2] + fsize[key] &&
					    rsym[fs, j] !~ ok && !(rsym[fs, j] in secidx && rsym[fs, j] !~ /^\.text/))
						print t ": " f " calls " rsym[fs, j]
			}
			if (nrel[t] < entries[t])
				print t ": " entries[t] - nrel[t] " entries without a function"
		}
	}'
}

for ko in "$out"/*.ko; do
	bad=$(ctors "$ko")
	if [ -n "$bad" ]; then
		echo "check_ko: $(basename "$ko") has global constructors or destructors:" $bad >&2
		status=1
	fi
done
for ko in "$out"/*.ko; do
	missing=$("$nm" -u "$ko" | awk '{print $2}' |
		grep -vE '^__(start|stop)___(param|ksymtab|ksymtab_gpl|modinfo)$' |
		sort -u | comm -23 - "$exports")
	if [ -n "$missing" ]; then
		echo "check_ko: $(basename "$ko") needs symbols the kernel does not export:" $missing >&2
		status=1
	fi
done
[ $status -eq 0 ] && echo "check_ko: $(ls "$out"/*.ko | wc -l) modules, no constructors but the sanitizer's, every symbol exported"
exit $status
