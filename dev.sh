#!/usr/bin/env bash
# Developer entry point: `./dev.sh test` builds everything and runs all tests
# (plain, then under AddressSanitizer + UndefinedBehaviorSanitizer, plus a
# short run of every fuzz target); it installs missing Debian packages first
# when run as root.
set -euo pipefail
cd "$(dirname "$0")"

JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}
FUZZ_SECONDS=${FUZZ_SECONDS:-10}

# Debian package, and a file (glob) that proves it is installed.
REQUIRED=(
  "cmake:/usr/bin/cmake"
  "g++:/usr/bin/g++"
  "ninja-build:/usr/bin/ninja"
  "flex:/usr/bin/flex"
  "bison:/usr/bin/bison"
  "libgtest-dev:/usr/include/gtest/gtest.h"
  "libbenchmark-dev:/usr/include/benchmark/benchmark.h"
  "python3:/usr/bin/python3"
  "openssl:/usr/bin/openssl"
  "clang:/usr/bin/clang++"
  "vsftpd:/usr/sbin/vsftpd"
  "nginx:/usr/sbin/nginx"
  "squid:/usr/sbin/squid"
  "libclang-rt-dev:/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a"
)

ensure_packages() {
  local missing=()
  local entry
  for entry in "${REQUIRED[@]}"; do
    compgen -G "${entry#*:}" >/dev/null || missing+=("${entry%%:*}")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing Debian packages: ${missing[*]}" >&2
    echo "Run this command as root, or install them with: apt-get install ${missing[*]}" >&2
    exit 1
  fi
  echo "Installing ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}

configure_and_build() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DQAVO_WERROR=ON "$@"
  cmake --build "$dir" -j "$JOBS"
}

fuzz_smoke() {
  if ! command -v clang++ >/dev/null; then
    echo "clang++ not found: fuzz targets skipped"
    return 0
  fi
  configure_and_build build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DQAVO_FUZZ=ON
  local target name corpus
  for target in build-fuzz/fuzz/*_fuzz; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    corpus=(build-fuzz/corpus/"$name")
    mkdir -p "${corpus[0]}"
    [ -d "fuzz/seeds/$name" ] && corpus+=("fuzz/seeds/$name")
    echo "fuzzing $name for ${FUZZ_SECONDS}s"
    "$target" -max_total_time="$FUZZ_SECONDS" -timeout=10 -rss_limit_mb=2048 \
      "${corpus[@]}" 2>"build-fuzz/corpus/$name.log" >/dev/null ||
      { tail -n 40 "build-fuzz/corpus/$name.log"; return 1; }
  done
}

run_tests() {
  ensure_packages
  fuzz_smoke
  configure_and_build build -DQAVO_BENCH=ON
  ctest --test-dir build --output-on-failure -j "$JOBS"
  # gcc's flow analysis under the sanitizers warns about library code it
  # cannot see through; the plain build above keeps warnings fatal.
  configure_and_build build-asan -DQAVO_SANITIZE=ON -DQAVO_WERROR=OFF
  ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build-asan --output-on-failure -j "$JOBS"
}

case "${1:-}" in
  test) run_tests ;;
  *)
    echo "usage: $0 test" >&2
    exit 2
    ;;
esac
