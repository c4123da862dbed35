#!/usr/bin/env bash
# fetch_arm64.sh [WORKDIR]: unpacks Debian's arm64 kernel image, its headers
# and busybox-static into WORKDIR/arm64-root (default build/qemu), without
# installing them.  Needs the arm64 architecture in dpkg's list and its
# package lists (setup.sh adds them).  The headers' build scripts are the
# host's linux-kbuild of the same kernel version (arch-independent sources,
# host binaries), linked in place.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=${1:-$root/build/qemu}
stage=$work/arm64-root
debs=$work/arm64-debs

# The versions that the metapackages name for arm64.
abi=$(apt-cache depends linux-image-arm64:arm64 | sed -n 's/.*Depends: linux-image-\(.*\)-arm64\(-unsigned\)\?:arm64$/\1/p' | head -1)
[ -n "$abi" ] || { echo "fetch_arm64: no linux-image-arm64 in the package lists (dpkg --add-architecture arm64; apt-get update)" >&2; exit 1; }
if [ -e "$stage/.done-$abi" ]; then
	echo "fetch_arm64: $stage has $abi"
	exit 0
fi
rm -rf "$stage" "$debs"
mkdir -p "$stage" "$debs"
(cd "$debs" && apt-get download -q -o APT::Sandbox::User=root \
	"linux-image-$abi-arm64:arm64" "linux-headers-$abi-arm64:arm64" "busybox-static:arm64")
for d in "$debs"/*.deb; do dpkg -x "$d" "$stage"; done
# linux-headers-ABI-arm64 points at ../linux-headers-ABI-common and at
# ../../lib/linux-kbuild-6.1, both arch-independent or host tools: the host's.
common=/usr/src/linux-headers-$abi-common
rel=$(readlink "$stage/usr/src/linux-headers-$abi-arm64/scripts")
kbuild=$(dirname "$(realpath -m "/usr/src/linux-headers-$abi-arm64/$rel")")
for need in "$common" "$kbuild"; do
	[ -d "$need" ] || { echo "fetch_arm64: $need missing on the host (install linux-headers-amd64 of the same version)" >&2; exit 1; }
done
ln -sfn "$common" "$stage/usr/src/linux-headers-$abi-common"
mkdir -p "$stage$(dirname "$kbuild")"
ln -sfn "$kbuild" "$stage$kbuild"
touch "$stage/.done-$abi"
echo "fetch_arm64: $abi unpacked into $stage"
