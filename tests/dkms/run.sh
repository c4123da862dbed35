#!/usr/bin/env bash
# run.sh [WORKDIR]: `dkms add` and `dkms build` of pelk_perf_util and its
# siblings against the installed Debian kernel headers, in a private source
# and dkms tree (nothing is installed into the system), then the build check.
set -euo pipefail
export PATH=$PATH:/usr/sbin:/sbin
root=$(cd "$(dirname "$0")/../.." && pwd)
work=${1:-$root/build/dkms}
kdir=$(ls -d /usr/src/linux-headers-*-"$(dpkg --print-architecture)" | sort -V | tail -1)
kver=${kdir#/usr/src/linux-headers-}
rm -rf "$work"
mkdir -p "$work/src" "$work/tree"
make -s -C "$root/kernel/linux" dkms-source DKMS_SRC="$work/src/pelk_perf_util-1.0"
opts=(--sourcetree "$work/src" --dkmstree "$work/tree")
dkms add -m pelk_perf_util -v 1.0 "${opts[@]}"
if ! dkms build -m pelk_perf_util -v 1.0 -k "$kver" --kernelsourcedir "$kdir" "${opts[@]}"; then
	cat "$work/tree/pelk_perf_util/1.0/build/make.log" >&2 || true
	exit 1
fi
# dkms keeps the built modules (and cleans its build area).
built=$(ls -d "$work/tree/pelk_perf_util/1.0/$kver"/*/module)
for m in ferrow_switch zebk_report pelk_perf_util; do
	[ -e "$built/$m.ko" ] || { echo "dkms-test: $m.ko missing from dkms's build result" >&2; exit 1; }
done
"$root/kernel/linux/check_ko.sh" "$kdir" "$built"
echo "dkms-test: dkms built pelk_perf_util, ferrow_switch and zebk_report for $kver"
