#!/usr/bin/env bash
# The installer's copy made from the build's Deployer as a backup makes it, measured part by
# part. Environment: BUILD_DIR (default build), BENCH_DIR (working folder, default
# $BUILD_DIR/bench-bundle, removed afterwards).
set -euo pipefail
cd "$(dirname "$0")/../.."
build_dir=${BUILD_DIR:-build}
[ -f "$build_dir/build.ninja" ] || BUILD_DIR="$build_dir" scripts/build
cmake --build "$build_dir" --target bench_bundle_size Deployer -- -j2
work=${BENCH_DIR:-$build_dir/bench-bundle}
exec "$build_dir/bin/bench_bundle_size" "$(realpath "$build_dir/bin")" "$work"
