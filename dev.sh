#!/usr/bin/env bash
# Developer entry point: `./dev.sh demo` builds the programs and runs the
# demo update against nginx on loopback (tools/demo.py); `./dev.sh test`
# builds everything and runs all tests (plain, under AddressSanitizer +
# UndefinedBehaviorSanitizer, as a 32-bit i386 build when the multilib
# compiler can be had, plus a short run of every fuzz target). Both install
# missing Debian packages first when run as root.
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
  "libssl-dev:/usr/include/openssl/ssl.h"
  "libzstd-dev:/usr/include/zstd.h"
  "zstd:/usr/bin/zstd"
  "clang:/usr/bin/clang++"
  "vsftpd:/usr/sbin/vsftpd"
  "nginx:/usr/sbin/nginx"
  "lighttpd:/usr/sbin/lighttpd"
  "apache2:/usr/sbin/apache2"
  "squid:/usr/sbin/squid"
  "libclang-rt-dev:/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a"
  "man-db:/usr/bin/man"
  "groff-base:/usr/bin/groff"
  "curl:/usr/bin/curl"
  "file:/usr/bin/file"
  "strace:/usr/bin/strace"
)
# Enough for the demo: build the two programs and serve the mirror.
DEMO_REQUIRED=(cmake g++ ninja-build flex bison python3 openssl libssl-dev libzstd-dev nginx)
# The 32-bit build; optional: skipped with a message when it cannot be had
# (and qemu-user, when the kernel cannot run 32-bit programs).
M32_REQUIRED=("g++-multilib:/usr/lib/gcc/x86_64-linux-gnu/*/32/libstdc++.so"
  "libssl-dev:i386:/usr/lib/i386-linux-gnu/libssl.so"
  "libzstd-dev:i386:/usr/lib/i386-linux-gnu/libzstd.so")

ensure_packages() {
  local missing=()
  local entry wanted=("${REQUIRED[@]}")
  [ $# -gt 0 ] && wanted=("$@")
  for entry in "${wanted[@]}"; do
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

# The 32-bit i386 build and its unit tests (GoogleTest is compiled from
# /usr/src/googletest with -m32, since the distribution's is 64-bit only).
# A kernel built without 32-bit support runs them under qemu-i386. The
# end-to-end tests need the 64-bit build's servers and tools: not here.
m32_tests() {
  local probe=/tmp/qavo-m32-probe.$$ runner=/usr/bin/qemu-i386
  local emulator=""
  if ! compgen -G "${M32_REQUIRED[0]#*:}" >/dev/null && [ "$(id -u)" -eq 0 ]; then
    echo "Installing g++-multilib for the 32-bit build"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends g++-multilib ||
      true
  fi
  # OpenSSL's and libzstd's i386 libraries come from Debian's multiarch archive.
  local entry libraries=()
  for entry in "${M32_REQUIRED[@]:1}"; do
    compgen -G "${entry##*:}" >/dev/null || libraries+=("${entry%:*}")
  done
  if [ ${#libraries[@]} -gt 0 ] && [ "$(id -u)" -eq 0 ]; then
    echo "Installing ${libraries[*]} for the 32-bit build"
    { dpkg --add-architecture i386 &&
      DEBIAN_FRONTEND=noninteractive apt-get update -q &&
      DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${libraries[@]}"; } ||
      true
  fi
  for entry in "${M32_REQUIRED[@]:1}"; do
    if ! compgen -G "${entry##*:}" >/dev/null; then
      echo "32-bit build SKIPPED: the i386 libraries of ${entry%:*} are missing" \
        "(as root this command installs ${entry%:*})"
      return 0
    fi
  done
  if ! echo 'int main() { return sizeof(void *) == 4 ? 0 : 1; }' |
    g++ -m32 -x c++ - -o "$probe" 2>/dev/null; then
    echo "32-bit build SKIPPED: g++ -m32 cannot build programs here" \
      "(as root this command installs g++-multilib)"
    return 0
  fi
  if ! "$probe" 2>/dev/null; then
    if [ ! -x "$runner" ] && [ "$(id -u)" -eq 0 ]; then
      echo "This kernel cannot run 32-bit programs: installing qemu-user to run the 32-bit tests"
      DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends qemu-user ||
        true
    fi
    if [ ! -x "$runner" ] || ! "$runner" "$probe"; then
      rm -f "$probe"
      echo "32-bit build SKIPPED: this kernel cannot run 32-bit programs and qemu-i386 is" \
        "missing (as root this command installs qemu-user)"
      return 0
    fi
    emulator=$runner
    echo "32-bit tests run under $runner"
  fi
  rm -f "$probe"
  configure_and_build build-m32 -DQAVO_M32=ON -DQAVO_M32_RUNNER="$emulator"
  file build-m32/qavoupdate | grep -q 'ELF 32-bit.*80386' ||
    { echo "build-m32/qavoupdate is not an i386 program" >&2; return 1; }
  ctest --test-dir build-m32 --output-on-failure -j "$JOBS" -E '^e2e[.]'
}

run_tests() {
  ensure_packages
  fuzz_smoke
  configure_and_build build -DQAVO_BENCH=ON -DQAVO_TESTS=ON
  ctest --test-dir build --output-on-failure -j "$JOBS"
  # gcc's flow analysis under the sanitizers warns about library code it
  # cannot see through; the plain build above keeps warnings fatal.
  configure_and_build build-asan -DQAVO_SANITIZE=ON -DQAVO_WERROR=OFF
  ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build-asan --output-on-failure -j "$JOBS"
  m32_tests
}

# Builds the programs and runs the demo; everything it writes is in ./demo.
run_demo() {
  local entry required=()
  for entry in "${REQUIRED[@]}"; do
    [[ " ${DEMO_REQUIRED[*]} " == *" ${entry%%:*} "* ]] && required+=("$entry")
  done
  # vsftpd runs only as root; without root the demo skips its FTP run.
  [ "$(id -u)" -eq 0 ] && required+=("vsftpd:/usr/sbin/vsftpd")
  ensure_packages "${required[@]}"
  # Without the tests, so the demo needs no GoogleTest; `test` turns them on.
  cmake -S . -B build -G Ninja -DQAVO_TESTS=OFF
  cmake --build build -j "$JOBS" --target qavoupdate qavopublish
  python3 tools/demo.py --build build --folder demo
}

case "${1:-}" in
  demo) run_demo ;;
  test) run_tests ;;
  *)
    echo "usage: $0 demo|test" >&2
    exit 2
    ;;
esac
