#!/usr/bin/env bash
# Downloads a 1 GiB file from a local service with StartDownload (SHA-256 verification and
# rename included) and with curl writing the same file to disk, alternating, a few rounds.
# Prints wall times and peak memory (/usr/bin/time) and the ratio engine / curl.
# Environment: BUILD_DIR (default build), BENCH_DIR (default $BUILD_DIR/bench-account; about
# 3 GiB free), SIZE_MIB (default 1024), ROUNDS (default 3).
set -euo pipefail
cd "$(dirname "$0")/../.."
build_dir=${BUILD_DIR:-build}
[ -f "$build_dir/build.ninja" ] || BUILD_DIR="$build_dir" scripts/build
cmake --build "$build_dir" --target bench_download -- -j2
bin="$build_dir/bin/bench_download"
work=$(realpath -m "${BENCH_DIR:-$build_dir/bench-account}")
mkdir -p "$work/engine" "$work/curl"
size=${SIZE_MIB:-1024}
rounds=${ROUNDS:-3}

[ -f "$work/big.bin" ] && [ "$(stat -c %s "$work/big.bin")" -eq $((size << 20)) ] || "$bin" make "$work/big.bin" "$size" >/dev/null
"$bin" serve "$work/big.bin" >"$work/url" &
server=$!
trap 'kill $server 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -s "$work/url" ] && break; sleep 0.1; done
url=$(head -1 "$work/url")

run_engine() { rm -f "$work/engine/big.bin"; sync; /usr/bin/time -f "%e %M" -o "$work/time" "$bin" download "$url" "$work/engine" >/dev/null; cat "$work/time"; }
run_curl() { rm -f "$work/curl/big.bin"; sync; /usr/bin/time -f "%e %M" -o "$work/time" curl -sS -o "$work/curl/big.bin" "${url}files/big.bin"; cat "$work/time"; }

engine=(); curl=(); engine_rss=0; curl_rss=0
for r in $(seq "$rounds"); do
  if (( r % 2 )); then e=$(run_engine); c=$(run_curl); else c=$(run_curl); e=$(run_engine); fi
  echo "round $r: engine ${e% *} s (${e#* } KiB peak), curl ${c% *} s (${c#* } KiB peak)"
  engine+=("${e% *}"); curl+=("${c% *}")
  engine_rss=$(( ${e#* } > engine_rss ? ${e#* } : engine_rss )); curl_rss=$(( ${c#* } > curl_rss ? ${c#* } : curl_rss ))
done
cmp "$work/big.bin" "$work/engine/big.bin"
median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
me=$(median "${engine[@]}"); mc=$(median "${curl[@]}")
echo "median: engine $me s, curl $mc s, engine/curl $(awk -v a="$me" -v b="$mc" 'BEGIN {printf "%.2f", a/b}')"
echo "peak memory: engine ${engine_rss} KiB, curl ${curl_rss} KiB"
rm -f "$work/engine/big.bin" "$work/curl/big.bin"
