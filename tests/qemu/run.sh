#!/usr/bin/env bash
# run.sh ARCH [WORKDIR]: builds pelk_perf_util.ko, its siblings and the test
# module for Debian's kernel of ARCH (amd64 or arm64), boots that kernel under
# qemu (TCG, under a hard timeout) with a busybox initramfs running init.sh,
# and checks the console log with check_log.py.
#
# amd64 uses the installed linux-image-amd64 / linux-headers-amd64; arm64
# uses the packages unpacked by fetch_arm64.sh into WORKDIR/arm64-root.
# debug runs the same test on the debugging kernel (debug_kernel.sh, amd64),
# where any report of the kernel's checkers fails it; stress runs stress.sh
# there instead (check_stress.py; PELK_STRESS_ROUNDS rounds, default 30).
# cost (Debian's kernel) and debug-cost (the debugging kernel) run cost.sh:
# the cost of a cycle at 100 to 5,000 processes, printed, not checked.
# PELK_QEMU_KERNEL=5.10 boots Debian 11's 5.10 kernel of ARCH instead (the
# phones' generation), unpacked by fetch_510.sh (the arm64 busybox is still
# fetch_arm64.sh's); the results go to WORKDIR/ARCH-5.10.
set -euo pipefail
export PATH=$PATH:/usr/sbin:/sbin
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
arch=${1:?usage: run.sh amd64|arm64 [WORKDIR]}
work=${2:-$root/build/qemu}
case "$arch" in
*cost) timeout_s=${PELK_QEMU_TIMEOUT:-1200} ;;
debug) timeout_s=${PELK_QEMU_TIMEOUT:-1200} ;;
stress) timeout_s=${PELK_QEMU_TIMEOUT:-1800} ;;
*) timeout_s=${PELK_QEMU_TIMEOUT:-420} ;;
esac
kernel=${PELK_QEMU_KERNEL:-}
out=$work/$arch${kernel:+-$kernel}
rm -rf "$out"
mkdir -p "$out/initramfs"/{bin,kmod,proc,sys,dev,tmp}

newest() { ls -d "$@" 2>/dev/null | sort -V | tail -1; }
init=$here/init.sh
mem=1024

case "$arch" in
cost)
	init=$here/cost.sh
	mem=2048
	;&
amd64)
	kdir=$(newest /usr/src/linux-headers-*-amd64)
	kver=${kdir#/usr/src/linux-headers-}
	image=/boot/vmlinuz-$kver
	busybox=/bin/busybox
	make_arch=()
	cc=gcc
	qemu=(qemu-system-x86_64 -M pc -cpu max -append "console=ttyS0 panic=-1 log_buf_len=4M")
	;;
arm64)
	stage=$work/arm64-root
	kdir=$(newest "$stage"/usr/src/linux-headers-*-arm64)
	kver=${kdir##*/linux-headers-}
	image=$stage/boot/vmlinuz-$kver
	busybox=$stage/bin/busybox
	make_arch=(ARCH=arm64 CROSS_COMPILE=aarch64-linux-gnu-)
	cc=aarch64-linux-gnu-gcc
	qemu=(qemu-system-aarch64 -M virt -cpu cortex-a57 -append "console=ttyAMA0 panic=-1 log_buf_len=4M")
	;;
debug-cost)
	init=$here/cost.sh
	;&
debug|stress)
	kdir=$("$here/debug_kernel.sh")
	image=$kdir/arch/x86/boot/bzImage
	busybox=/bin/busybox
	make_arch=()
	cc=gcc
	# KASAN's shadow, kmemleak's and SLUB's metadata, and thousands of tasks.
	mem=2048
	rounds=${PELK_STRESS_ROUNDS:-30}
	qemu=(qemu-system-x86_64 -M pc -cpu max -append "console=ttyS0 panic=-1 log_buf_len=16M ROUNDS=$rounds")
	[ "$arch" = stress ] && init=$here/stress.sh
	;;
*)
	echo "run.sh: unknown architecture $arch" >&2
	exit 2
	;;
esac
case "$kernel" in
"") ;;
5.10)
	# Debian 11's headers name gcc-10, which Debian 12 lacks: its gcc builds them.
	stage=$("$here/fetch_510.sh" "$work")
	kdir=$(newest "$stage"/usr/src/linux-headers-5.10.*-$arch)
	kver=${kdir##*/linux-headers-}
	image=$stage/boot/vmlinuz-$kver
	make_arch+=(CC="$cc")
	;;
*)
	echo "run.sh: unknown kernel $kernel (5.10, or unset for Debian 12's)" >&2
	exit 2
	;;
esac
for f in "$kdir/Module.symvers" "$image" "$busybox"; do
	[ -e "$f" ] || { echo "run.sh: missing $f" >&2; exit 1; }
done

echo "qemu-test[$arch]: building the modules against $kdir"
make -s -C "$root/kernel/linux" KDIR="$kdir" OUT="$out/kmod" PELK_TESTS=1 "${make_arch[@]}"
cp "$out"/kmod/*.ko "$out/initramfs/kmod/"

# What the installed module says about itself.
modinfo "$out/kmod/pelk_perf_util.ko" >"$out/modinfo.txt"

$cc -static -O2 -pthread -o "$out/initramfs/bin/busy" "$here/busy.c"
$cc -static -O2 -pthread -o "$out/initramfs/bin/stress" "$here/stress.c"
cp "$busybox" "$out/initramfs/bin/busybox"
# The live program of the normal build (`run`, its module's shared object and
# the shared libraries they load) in /pelk, on Debian's amd64 guests: forced
# onto the BPF task iterator where the kernel has BTF (Debian's 6.1 and 5.10
# have) and the build has the iterator, else left to fall back (which it has
# to say).  Not on the debugging kernel, where starting the program alone
# takes some 45 s: it has no BPF, and the module is what is checked there.
live=
if [ "$arch" = amd64 ]; then
	live_build=${PELK_LIVE_BUILD:-$root/build}
	for f in pelk_perf_run drivers/misc/perf_log/pelk_perf_util.so; do
		[ -e "$live_build/$f" ] || { echo "run.sh: missing $live_build/$f (build the program first, or set PELK_LIVE_BUILD)" >&2; exit 1; }
	done
	live=auto
	if grep -qx CONFIG_DEBUG_INFO_BTF=y "$kdir/.config" && grep -qx CONFIG_BPF_SYSCALL=y "$kdir/.config" &&
		[ -e "$live_build/kernel/host/bpf/task_iter.skel.h" ]; then
		live=bpf
	fi
	mkdir -p "$out/initramfs/pelk/lib"
	cp "$live_build/pelk_perf_run" "$live_build/drivers/misc/perf_log/pelk_perf_util.so" "$out/initramfs/pelk/"
	cp -L "$live_build/kernel/host/libpelk_host.so" "$out/initramfs/pelk/lib/"
	# The loader at the path the program names, every library beside it.
	ldd "$live_build/pelk_perf_run" | awk '$2 == "=>" && $3 ~ /^\// {print $3} $1 ~ /^\// {print $1}' |
		while read -r lib; do
			case "$lib" in
			*/ld-linux*) mkdir -p "$out/initramfs$(dirname "$lib")" && cp -L "$lib" "$out/initramfs$lib" ;;
			*/libpelk_host.so) ;;
			*) cp -L "$lib" "$out/initramfs/pelk/lib/" ;;
			esac
		done
	# The build's debugging information would triple what the guest unpacks.
	strip --strip-debug "$out/initramfs/pelk/pelk_perf_run" "$out/initramfs/pelk/pelk_perf_util.so" \
		"$out/initramfs/pelk/lib/libpelk_host.so"
	qemu[${#qemu[@]} - 1]+=" PELK_LIVE=$live"
fi
cp "$init" "$out/initramfs/init"
chmod +x "$out/initramfs/init"
(cd "$out/initramfs" && find . | cpio -o -H newc --quiet | gzip -1) >"$out/initramfs.cpio.gz"

echo "qemu-test[$arch]: booting $image (timeout ${timeout_s}s)"
start=$(date +%s)
set +e
timeout --kill-after=10 "$timeout_s" "${qemu[@]}" -m $mem -smp 4 -accel tcg,thread=single \
	-kernel "$image" -initrd "$out/initramfs.cpio.gz" \
	-nographic -no-reboot -monitor none -serial stdio </dev/null >"$out/console.log" 2>&1
rc=$?
set -e
echo "qemu-test[$arch]: qemu exit $rc after $(( $(date +%s) - start ))s; log in $out/console.log"
if [ $rc -ne 0 ]; then
	tail -30 "$out/console.log" >&2
	echo "qemu-test[$arch]: qemu did not power off cleanly (exit $rc)" >&2
	exit 1
fi
if [ "$init" = "$here/cost.sh" ]; then
	grep -a '^@@ ' "$out/console.log"
elif [ "$arch" = stress ]; then
	python3 "$here/check_stress.py" "$out/console.log" "$rounds"
else
	python3 "$here/check_log.py" "$out/console.log" "$out/modinfo.txt" "$kdir/.config" $live
fi
