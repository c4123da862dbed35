#!/usr/bin/env bash
# fetch_510.sh [WORKDIR]: unpacks Debian 11's 5.10 kernels (amd64 and arm64
# images and headers, their common headers and linux-kbuild-5.10) into
# WORKDIR/linux-ABI (default build/qemu), without installing anything: the
# packages come from bullseye through a private APT directory (its own
# sources list, package lists and cache under WORKDIR/apt-bullseye), never
# through the machine's own sources.  Prints the tree's directory.
#
# Build against them with CC=gcc (their configuration names gcc-10, which
# Debian 12 lacks).  The arm64 busybox is the one fetch_arm64.sh unpacks.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=${1:-$root/build/qemu}
# apt reads a relative Dir:: option below its own root directory, not here.
work=$(mkdir -p "$work" && cd "$work" && pwd)
abi=${PELK_510_ABI:-5.10.0-32}
mirror=${PELK_BULLSEYE_MIRROR:-http://deb.debian.org/debian}
stage=$work/linux-$abi
apt_dir=$work/apt-bullseye

if [ -e "$stage/.done" ]; then
	echo "$stage"
	exit 0
fi
rm -rf "$stage" "$apt_dir"
mkdir -p "$stage/debs" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
echo "deb [arch=amd64,arm64] $mirror bullseye main" >"$apt_dir/sources.list"
apt_opts=(-q -o Dir::Etc::SourceList="$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
	-o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache"
	-o APT::Architectures::=amd64 -o APT::Architectures::=arm64 -o APT::Sandbox::User=root)
echo "fetch_510: bullseye package lists" >&2
apt-get "${apt_opts[@]}" update >&2
kbuild=$(apt-cache "${apt_opts[@]}" depends "linux-headers-$abi-amd64:amd64" |
	sed -n 's/.*Depends: \(linux-kbuild-[0-9.]*\).*/\1/p' | head -1)
[ -n "$kbuild" ] || { echo "fetch_510: no linux-headers-$abi-amd64 in bullseye" >&2; exit 1; }
(cd "$stage/debs" && apt-get "${apt_opts[@]}" download \
	"linux-image-$abi-amd64-unsigned:amd64" "linux-headers-$abi-amd64:amd64" \
	"linux-image-$abi-arm64-unsigned:arm64" "linux-headers-$abi-arm64:arm64" \
	"linux-headers-$abi-common:all" "$kbuild:amd64" >&2)
for d in "$stage"/debs/*.deb; do dpkg -x "$d" "$stage"; done
rm -rf "$stage/debs" "$apt_dir"
# linux-headers-ABI-ARCH links to ../../lib/linux-kbuild-5.10/{scripts,tools}
# (host tools, amd64 binaries for both architectures), which hold inside the
# stage; its Makefile includes the -common tree's by its absolute path in
# /usr/src, made relative (make reads it from the headers' directory).  The
# kernels' own modules are not needed.
for arch in amd64 arm64; do
	h=$stage/usr/src/linux-headers-$abi-$arch
	[ -e "$h/Module.symvers" ] || { echo "fetch_510: $h incomplete" >&2; exit 1; }
	sed -i "s|^include /usr/src/|include ../|" "$h/Makefile"
done
rm -rf "$stage/lib/modules"
touch "$stage/.done"
echo "fetch_510: $abi unpacked into $stage" >&2
echo "$stage"
