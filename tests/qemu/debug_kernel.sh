#!/usr/bin/env bash
# debug_kernel.sh: prints the directory of the debugging kernel (its bzImage
# at arch/x86/boot/bzImage, and a tree external modules build against),
# building it first when this machine has none for this configuration.
#
# The kernel is Debian's linux-source-6.1 with `make tinyconfig` and
# tests/qemu/debug.config on top.  It is cached outside the checkout
# (PELK_KERNEL_CACHE, else /var/cache/pelk_perf_util when writable, else
# ~/.cache/pelk_perf_util), under a key made of the configuration fragment,
# this script, the source package's version and the compiler's, so a machine
# builds it once (about 8 minutes on two cores) and every later run reuses it.
# Progress goes to stderr; stdout is the directory alone.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
tarball=/usr/src/linux-source-6.1.tar.xz
[ -f "$tarball" ] || { echo "debug_kernel: missing $tarball (apt-get install linux-source-6.1)" >&2; exit 1; }

if [ -n "${PELK_KERNEL_CACHE:-}" ]; then
	cache=$PELK_KERNEL_CACHE
elif mkdir -p /var/cache/pelk_perf_util 2>/dev/null && [ -w /var/cache/pelk_perf_util ]; then
	cache=/var/cache/pelk_perf_util
else
	cache=${XDG_CACHE_HOME:-$HOME/.cache}/pelk_perf_util
fi
mkdir -p "$cache"

key=$( { cat "$here/debug.config" "$0"
	dpkg-query -W -f='${Version}\n' linux-source-6.1
	gcc --version | head -1; } | sha256sum | cut -c1-16)
dir=$cache/debug-kernel-$key
src=$dir/linux-source-6.1

# One build at a time per machine; a second caller waits and reuses it.
exec 9>"$cache/.lock"
flock 9
if [ -f "$dir/built" ]; then
	echo "$src"
	exit 0
fi

rm -rf "$dir"
mkdir -p "$dir"
start=$(date +%s)
echo "debug_kernel: unpacking $tarball into $dir" >&2
tar -xJf "$tarball" -C "$dir"
cd "$src"
make -s ARCH=x86_64 tinyconfig >&2
scripts/kconfig/merge_config.sh -m .config "$here/debug.config" >/dev/null
make -s ARCH=x86_64 olddefconfig >&2
# Every line of the fragment has to have survived the dependencies.
missing=0
while IFS= read -r line; do
	case "$line" in
	CONFIG_*=*) grep -qx -- "$line" .config || { echo "debug_kernel: $line did not stick" >&2; missing=1; } ;;
	"# CONFIG_"*" is not set")
		opt=${line#\# }; opt=${opt%% *}
		! grep -q "^$opt=" .config || { echo "debug_kernel: $opt is set" >&2; missing=1; } ;;
	esac
done <"$here/debug.config"
[ $missing -eq 0 ] || exit 1
echo "debug_kernel: building (log in $dir/build.log)" >&2
if ! make ARCH=x86_64 -j"${PELK_KERNEL_JOBS:-$(nproc)}" bzImage modules >"$dir/build.log" 2>&1; then
	tail -40 "$dir/build.log" >&2
	exit 1
fi
echo "debug_kernel: built in $(( $(date +%s) - start ))s" >&2
touch "$dir/built"
echo "$src"
