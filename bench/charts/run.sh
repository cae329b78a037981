#!/usr/bin/env bash
# Start-up load of the installed-products model with a cold and a warm chart cache, beside
# find's stat sweep over the same chart files, at two sizes. Environment: BUILD_DIR (default
# build), BENCH_DIR (working folder, default $BUILD_DIR/bench-charts; about 200 MB while it
# runs, removed afterwards), PRODUCTS (default 200: 20,000 charts), SMALL_PRODUCTS (default
# 50), ROUNDS (default 5).
set -euo pipefail
cd "$(dirname "$0")/../.."
build_dir=${BUILD_DIR:-build}
[ -f "$build_dir/build.ninja" ] || BUILD_DIR="$build_dir" scripts/build
cmake --build "$build_dir" --target bench_charts -- -j2
work=${BENCH_DIR:-$build_dir/bench-charts}
mkdir -p "$work"
exec "$build_dir/bin/bench_charts" "$work" "${PRODUCTS:-200}" "${SMALL_PRODUCTS:-50}" "${ROUNDS:-5}"
