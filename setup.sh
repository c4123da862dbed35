#!/usr/bin/env bash
# Installs what is missing, builds, and then either runs the simulator on its
# built-in phone scenario (default) or runs the tests.
#
#   ./setup.sh          install, build, run `pelk_perf_util simulate`
#   ./setup.sh test     install, build, run every test
set -euo pipefail
cd "$(dirname "$0")"

mode=${1:-run}
build_dir=${BUILD_DIR:-build}
packages=(g++ cmake ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev)

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

cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build_dir" -j2

case "$mode" in
  run)
    exec "./$build_dir/pelk_perf_util" simulate
    ;;
  test)
    exec ctest --test-dir "$build_dir" --output-on-failure -j2
    ;;
  *)
    echo "usage: $0 [run|test]" >&2
    exit 2
    ;;
esac
