#!/bin/bash
# Digests one 256 MiB file with md5_file (md5_bench), openssl md5 and md5sum
# in the same run and prints each rate and md5_file's ratio to openssl's.
# Usage: bench/md5_compare.sh BUILD_DIR   (configured with -DQAVO_BENCH=ON)
set -euo pipefail
build=${1:?usage: md5_compare.sh BUILD_DIR}
bench=$build/bench/md5_bench
[ -x "$bench" ] || { echo "md5_compare: $bench not built (configure with -DQAVO_BENCH=ON)" >&2; exit 2; }

file=$(mktemp /tmp/qavo-md5-compare-XXXXXX)
trap 'rm -f "$file"' EXIT
head -c $((256 << 20)) /dev/urandom >"$file"
cat "$file" >/dev/null  # all three read from the page cache

# Rates are bytes per CPU second (user + system), best of three, for all
# three programs alike: wall-clock time on a shared machine measures the
# neighbours as much as the digest.
size=$((256 << 20))
rate() {
    local best=0 t
    for _ in 1 2 3; do
        t=$({ TIMEFORMAT='%3U %3S'; time "$@" >/dev/null 2>&1; } 2>&1)
        t=$(awk -v s="$size" '{ printf "%d", s / ($1 + $2) / 1e6 }' <<<"$t")
        ((t > best)) && best=$t
    done
    echo "$best"
}

openssl_rate=$(rate openssl md5 "$file")
md5sum_rate=$(rate md5sum "$file")
# Google Benchmark reports bytes per CPU second of the process as well.
ours=$(QAVO_MD5_FILE=$file "$bench" --benchmark_filter=BM_Md5File --benchmark_format=csv 2>/dev/null |
    awk -F, '/BM_Md5File/ { printf "%d", $6 / 1e6 }')

echo "md5_file     ${ours} MB/s"
echo "openssl md5  ${openssl_rate} MB/s"
echo "md5sum       ${md5sum_rate} MB/s"
awk -v a="$ours" -v b="$openssl_rate" 'BEGIN { printf "ratio md5_file / openssl md5: %.2f\n", a / b }'
