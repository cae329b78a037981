#!/usr/bin/env bash
# The product selection tree of RECORDS product records (default 2000, half chart sets)
# against an installed-products model of 20,000 charts and 500 program keys in the software
# registry, beside filling a plain QStandardItemModel with the same rows, in one run.
# Environment: BUILD_DIR (default build), BENCH_DIR (working folder, default
# $BUILD_DIR/bench-pages, removed afterwards), RECORDS, ROUNDS (default 21).
set -euo pipefail
cd "$(dirname "$0")/../.."
build_dir=${BUILD_DIR:-build}
[ -f "$build_dir/build.ninja" ] || BUILD_DIR="$build_dir" scripts/build
cmake --build "$build_dir" --target bench_product_tree -- -j2
work=${BENCH_DIR:-$build_dir/bench-pages}
rm -rf "$work"
mkdir -p "$work"
work=$(realpath "$work")
trap 'rm -rf "$work"' EXIT
QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} "$build_dir/bin/bench_product_tree" "$work" "${RECORDS:-2000}" "${ROUNDS:-21}"
