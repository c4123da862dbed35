#!/usr/bin/env bash
# Installs what is missing, builds, and then either runs the simulator on its
# built-in phone scenario (default) or runs the tests.
#
#   ./setup.sh          install, build the program, run `pelk_perf_util simulate`
#   ./setup.sh test     install, build, run every test in the normal and the
#                       sanitizer build, the live concurrency tests under
#                       ThreadSanitizer, and build the Release configuration
set -euo pipefail
cd "$(dirname "$0")"

mode=${1:-run}
build_dir=${BUILD_DIR:-build}
packages=(g++ cmake ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev libarchive-dev zlib1g-dev libsqlite3-dev libjs-chart.js chromium
  clang libbpf-dev bpftool)  # the last three: `run`'s BPF task iterator (the kernel's BTF is read at build and run time)
# The real-kernel tests (test mode): Debian's kernel and headers, qemu, busybox,
# the arm64 cross compilers, dkms and the module tools; and the kernel source
# and what building it takes, for the debugging kernel.
kernel_packages=(linux-image-amd64 linux-headers-amd64 qemu-system-x86 qemu-system-arm busybox-static
  gcc-aarch64-linux-gnu g++-aarch64-linux-gnu libc6-dev-arm64-cross dkms cpio kmod python3
  linux-source-6.1 flex bison bc libelf-dev libssl-dev xz-utils)
if [ "$mode" = test ]; then
  packages+=("${kernel_packages[@]}")
fi

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; elif command -v sudo >/dev/null 2>&1; then sudo "$@"; else
    echo "setup: not running as root and no sudo: run as root: $*" >&2; exit 1; fi
}
# The arm64 kernel, headers and busybox are unpacked, not installed
# (tests/qemu/fetch_arm64.sh); apt needs arm64's package lists for them.
if [ "$mode" = test ] && ! dpkg --print-foreign-architectures | grep -qx arm64; then
  echo "setup: adding the arm64 package architecture"
  as_root dpkg --add-architecture arm64
  as_root apt-get -o DPkg::Lock::Timeout=600 update -qq
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  if [ "$(id -u)" -eq 0 ]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
  elif command -v sudo >/dev/null 2>&1; then
    sudo apt-get update -qq
    sudo DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
  else
    echo "setup: not running as root and no sudo: install these Debian packages first: ${missing[*]}" >&2
    exit 1
  fi
fi

configure() {  # configure DIR [cmake options...]
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
}

case "$mode" in
  run)
    # Only what the run needs: the program, the module and the simulated
    # kernel (`./setup.sh test` builds the tests and the benchmarks).
    configure "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build "$build_dir" -j2 --target pelk_perf_util_cli
    exec "./$build_dir/pelk_perf_util" simulate
    ;;
  test)
    # The whole suite in the normal build, then again with AddressSanitizer,
    # UBSan and leak checking, each stopping at its first report; last, the
    # Release configuration is built, tests too, as g++ warns of more at -O3
    # (they are not run: they would only repeat the first run).
    echo "setup: normal build ($build_dir)"
    configure "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build "$build_dir" -j2
    ctest --test-dir "$build_dir" --output-on-failure -j2

    echo "setup: sanitizer build (build-asan)"
    configure build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELK_SANITIZE=ON -DPELK_BUILD_BENCH=OFF
    cmake --build build-asan -j2
    ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
      ctest --test-dir build-asan --output-on-failure -j2

    # The live backend's concurrency tests and the fleet database's (readers,
    # writer, checkpointer) under ThreadSanitizer: only the module and the
    # two test programs are built; every report fails.
    echo "setup: ThreadSanitizer build (build-tsan)"
    configure build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELK_TSAN=ON -DPELK_BUILD_BENCH=OFF
    cmake --build build-tsan -j2 --target pelk_perf_util pelk_host_tests pelk_tests
    TSAN_OPTIONS=halt_on_error=1:exitcode=66 build-tsan/tests/pelk_host_tests
    TSAN_OPTIONS=halt_on_error=1:exitcode=66:suppressions=$PWD/tests/tsan.supp \
      build-tsan/tests/pelk_tests --gtest_filter='Fleet*'

    echo "setup: Release build (build-release)"
    configure build-release -DCMAKE_BUILD_TYPE=Release -DPELK_BUILD_BENCH=OFF
    cmake --build build-release -j2
    # The module as a real kernel module: Kbuild builds, qemu boots of
    # Debian's amd64 and arm64 kernels, 12's 6.1 and 11's 5.10 (the phones'
    # generation, unpacked from bullseye once into build/qemu), and a dkms
    # build (build/qemu, build/dkms); then the same test and a stress run on
    # the debugging kernel (built the first time only, then taken from
    # /var/cache/pelk_perf_util).
    echo "setup: real-kernel tests (build/qemu, build/dkms)"
    # The amd64 guests also run the normal build's live program.
    PELK_LIVE_BUILD=$(cd "$build_dir" && pwd)
    export PELK_LIVE_BUILD
    tests/qemu/run.sh amd64
    tests/kmod/check_ko_test.sh "$(ls -d /usr/src/linux-headers-*-amd64 | sort -V | tail -1)" build/qemu/amd64/kmod
    tests/qemu/fetch_arm64.sh
    tests/qemu/run.sh arm64
    PELK_QEMU_KERNEL=5.10 tests/qemu/run.sh amd64
    PELK_QEMU_KERNEL=5.10 tests/qemu/run.sh arm64
    tests/dkms/run.sh
    tests/qemu/run.sh debug
    tests/qemu/run.sh stress
    echo "setup: all tests passed; Release builds"
    ;;
  *)
    echo "usage: $0 [run|test]" >&2
    exit 2
    ;;
esac
