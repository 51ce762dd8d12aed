#!/usr/bin/env bash
# Benchmark of GetFileMD5 against md5sum on a 1 GiB file (not a test: it prints numbers).
#
#   tests/kelmar/bench_md5.sh [FILE [SIZE_MIB]]
#
# Builds the benchmark natively as an optimised build without sanitizers (in
# build/kelmar-bench) and runs it. FILE defaults to build/kelmar-bench/md5-bench.bin and is
# kept for the next run; remove it to get the disk space back.
set -euo pipefail

source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build_dir=${KELMAR_BENCH_BUILD:-$source_dir/build/kelmar-bench}
file=${1:-$build_dir/md5-bench.bin}
size_mib=${2:-1024}

cmake --preset native -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DSUITE_SANITIZE=OFF >/dev/null
cmake --build "$build_dir" --target kelmar_md5_bench -j2 >/dev/null
"$build_dir/tests/kelmar/kelmar_md5_bench" "$file" "$size_mib"
