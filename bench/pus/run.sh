#!/usr/bin/env bash
# Download benchmark of the update-server client: `cvtool pus ... download` against curl posting
# the same scrambled request to the same deployer-service on 127.0.0.1, for a 100 MiB and a
# 1 GiB installer. Wall time and peak memory from /usr/bin/time -v; prints the ratios.
#   bench/pus/run.sh [RUNS]        (BUILD_DIR overrides build/)
set -euo pipefail
cd "$(dirname "$0")/../.."
runs=${1:-3}
bin=${BUILD_DIR:-build}/bin
for tool in "$bin/cvtool" "$bin/deployer-service"; do
  [ -x "$tool" ] || { echo "build first: $tool missing" >&2; exit 1; }
done
[ -x /usr/bin/time ] || scripts/install-deps
command -v curl >/dev/null || scripts/install-deps

guid='{0BE4C11E-0000-4000-8000-00000000BE4C}'
work=$(mktemp -d "${TMPDIR:-/tmp}/pus-bench-XXXXXX")
service_pid=
cleanup() {
  [ -n "$service_pid" ] && kill "$service_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/content/$guid" "$work/out"
printf '{"version": "1.0.0.0", "file": "setup.bin"}\n' > "$work/content/$guid/product.json"

"$bin/deployer-service" --port 0 --content "$work/content" > "$work/url" 2> /dev/null &
service_pid=$!
for _ in $(seq 100); do [ -s "$work/url" ] && break; sleep 0.05; done
url="$(head -1 "$work/url")/pus/pus.php"

# The request body: each form byte XOR 0x5A in upper-case hex (no form byte scrambles below 16).
form="c=uf&gc=1&g0=$guid"
body="d="
for ((i = 0; i < ${#form}; i++)); do
  printf -v byte '%d' "'${form:i:1}"
  printf -v hex '%X' $((byte ^ 0x5A))
  body+=$hex
done

# measure NAME COMMAND... → "wall_seconds peak_kib"
measure() {
  local log="$work/time.log"
  /usr/bin/time -v -o "$log" "$@" > /dev/null
  local wall rss
  wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {print $2}' "$log")
  rss=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$log")
  # h:mm:ss or m:ss.ss → seconds
  wall=$(awk -v t="$wall" 'BEGIN { n = split(t, p, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + p[i]; print s }')
  echo "$wall $rss"
}

median() { sort -g | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }

printf '%-8s %-7s %10s %12s\n' size tool "wall s" "peak MiB"
for size_mib in 100 1024; do
  head -c "$((size_mib * 1024 * 1024))" /dev/urandom > "$work/content/$guid/setup.bin"
  : > "$work/cv.txt"
  : > "$work/curl.txt"
  for ((r = 0; r < runs; r++)); do
    rm -rf "$work/out/dl" "$work/out/curl.bin"
    mkdir -p "$work/out/dl"
    measure "$bin/cvtool" pus "$url" download "$work/out/dl" "$guid" >> "$work/cv.txt"
    cmp -s "$work/out/dl/setup.bin" "$work/content/$guid/setup.bin" ||
      { echo "cvtool download differs from the source" >&2; exit 1; }
    rm -rf "$work/out/dl"
    measure curl -sS -o "$work/out/curl.bin" -H 'Content-Type: application/x-www-form-urlencoded' \
      --data-binary "$body" "$url" >> "$work/curl.txt"
    rm -f "$work/out/curl.bin"
  done
  cv_wall=$(awk '{print $1}' "$work/cv.txt" | median)
  curl_wall=$(awk '{print $1}' "$work/curl.txt" | median)
  cv_rss=$(awk '{print $2}' "$work/cv.txt" | sort -g | tail -1)
  curl_rss=$(awk '{print $2}' "$work/curl.txt" | sort -g | tail -1)
  printf '%-8s %-7s %10.2f %12.1f\n' "${size_mib}MiB" cvtool "$cv_wall" "$(awk -v k="$cv_rss" 'BEGIN {print k / 1024}')"
  printf '%-8s %-7s %10.2f %12.1f\n' "${size_mib}MiB" curl "$curl_wall" "$(awk -v k="$curl_rss" 'BEGIN {print k / 1024}')"
  awk -v a="$cv_wall" -v b="$curl_wall" -v s="$size_mib" \
    'BEGIN { printf "%-8s wall ratio cvtool/curl: %.2f (median of runs)\n", s "MiB", (b > 0 ? a / b : 0) }'
done
