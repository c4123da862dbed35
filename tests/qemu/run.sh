#!/usr/bin/env bash
# run.sh ARCH [WORKDIR]: builds pelk_perf_util.ko, its siblings and the test
# module for Debian's kernel of ARCH (amd64 or arm64), boots that kernel under
# qemu (TCG, under a hard timeout) with a busybox initramfs running init.sh,
# and checks the console log with check_log.py.
#
# amd64 uses the installed linux-image-amd64 / linux-headers-amd64; arm64
# uses the packages unpacked by fetch_arm64.sh into WORKDIR/arm64-root.
# PELK_QEMU_KERNEL=5.10 boots Debian 11's 5.10 kernel of ARCH instead (the
# phones' generation), unpacked by fetch_510.sh (the arm64 busybox is still
# fetch_arm64.sh's); the results go to WORKDIR/ARCH-5.10.
set -euo pipefail
export PATH=$PATH:/usr/sbin:/sbin
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
arch=${1:?usage: run.sh amd64|arm64 [WORKDIR]}
work=${2:-$root/build/qemu}
timeout_s=${PELK_QEMU_TIMEOUT:-420}
kernel=${PELK_QEMU_KERNEL:-}
out=$work/$arch${kernel:+-$kernel}
rm -rf "$out"
mkdir -p "$out/initramfs"/{bin,kmod,proc,sys,dev,tmp}

newest() { ls -d "$@" 2>/dev/null | sort -V | tail -1; }

case "$arch" in
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
cp "$busybox" "$out/initramfs/bin/busybox"
cp "$here/init.sh" "$out/initramfs/init"
chmod +x "$out/initramfs/init"
(cd "$out/initramfs" && find . | cpio -o -H newc --quiet | gzip -1) >"$out/initramfs.cpio.gz"

echo "qemu-test[$arch]: booting $image (timeout ${timeout_s}s)"
start=$(date +%s)
set +e
timeout --kill-after=10 "$timeout_s" "${qemu[@]}" -m 1024 -smp 4 -accel tcg,thread=single \
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
python3 "$here/check_log.py" "$out/console.log" "$out/modinfo.txt" "$kdir/.config"
