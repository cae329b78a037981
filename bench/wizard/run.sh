#!/usr/bin/env bash
# Process start to the wizard's page 0 shown (offscreen) with an installed-products store of
# 20,000 and 200,000 charts, beside find's stat sweep of the same chart files and an empty Qt Widgets
# program, in one run. Environment: BUILD_DIR (default build), BENCH_DIR (working folder,
# default $BUILD_DIR/bench-wizard; about 1.5 GB while the larger size runs, removed afterwards), PRODUCTS
# (default 200,2000: 20,000 and 200,000 charts, each in the same run), ROUNDS (default 7).
set -euo pipefail
cd "$(dirname "$0")/../.."
build_dir=${BUILD_DIR:-build}
[ -f "$build_dir/build.ninja" ] || BUILD_DIR="$build_dir" scripts/build
cmake --build "$build_dir" --target bench_wizard_start -- -j2
work=${BENCH_DIR:-$build_dir/bench-wizard}
mkdir -p "$work"
work=$(realpath "$work")
exec "$build_dir/bin/bench_wizard_start" "$(realpath "$build_dir/bin")" "$work" "${PRODUCTS:-200,2000}" "${ROUNDS:-7}"
