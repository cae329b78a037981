#!/usr/bin/env bash
# Copies a 1 GiB file with FileCopy and with cp, alternating, a few rounds, and prints the
# times and the ratio (FileCopy speed / cp speed). Environment: BUILD_DIR (default build),
# BENCH_DIR (working folder, default $BUILD_DIR/bench-copy; needs about 3 GiB free),
# SIZE_MIB (default 1024), ROUNDS (default 3).
set -euo pipefail
cd "$(dirname "$0")/../.."
build_dir=${BUILD_DIR:-build}
[ -f "$build_dir/build.ninja" ] || BUILD_DIR="$build_dir" scripts/build
cmake --build "$build_dir" --target bench_filecopy -- -j2
work=${BENCH_DIR:-$build_dir/bench-copy}
mkdir -p "$work"
exec "$build_dir/bin/bench_filecopy" "$work" "${SIZE_MIB:-1024}" "${ROUNDS:-3}"
