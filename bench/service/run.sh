#!/usr/bin/env bash
# The service's small answers, side by side with nginx in one run:
#  1. curl fetches 1,000 small files over one kept-alive connection from deployer-service and
#     from nginx serving the same folder (goal: deployer-service at most 1.5 x nginx);
#  2. a file list of 20,000 files read by the engine (cvtool account files, sign-in and product
#     list included) against curl making the same three requests.
# nginx comes from Debian's packages: the installed one, else apt-get fetches the package.
# Environment: BUILD_DIR (default build), BENCH_DIR (default $BUILD_DIR/bench-service),
# FILES (default 1000), LIST_FILES (default 20000), ROUNDS (default 5).
set -euo pipefail
cd "$(dirname "$0")/../.."
build_dir=${BUILD_DIR:-build}
[ -f "$build_dir/build.ninja" ] || BUILD_DIR="$build_dir" scripts/build
cmake --build "$build_dir" --target deployer-service cvtool -- -j2
bin=$(realpath "$build_dir/bin")
work=$(realpath -m "${BENCH_DIR:-$build_dir/bench-service}")
files=${FILES:-1000}
list_files=${LIST_FILES:-20000}
rounds=${ROUNDS:-5}

rm -rf "$work/accounts" "$work/nginx" "$work/home"
mkdir -p "$work"
# nginx as Debian ships it. When it is not installed, apt-get fetches the package and its binary
# is unpacked here: installing it would also start a system web server on port 80.
nginx_bin=$(command -v nginx || true)
[ -z "$nginx_bin" ] && [ -x /usr/sbin/nginx ] && nginx_bin=/usr/sbin/nginx
if [ -z "$nginx_bin" ]; then
  if [ ! -x "$work/nginx-deb/usr/sbin/nginx" ]; then
    (cd "$work" && rm -f nginx_*.deb && apt-get download nginx >/dev/null)
    dpkg-deb -x "$work"/nginx_*.deb "$work/nginx-deb"
  fi
  nginx_bin="$work/nginx-deb/usr/sbin/nginx"
fi
mkdir -p "$work/accounts/files/small" "$work/nginx/logs" "$work/home"
# The files: 1 KiB each, as small chart files and their databases are.
python3 - "$work" "$files" "$list_files" <<'PY'
import hashlib, json, os, sys
work, files, list_files = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
for i in range(files):
    with open(f"{work}/accounts/files/small/f{i:05d}.bin", "wb") as f:
        f.write(bytes((i * 7 + j) & 0xFF for j in range(1024)))
# One chart set with list_files files served elsewhere (size, checksum and time given).
sha = hashlib.sha256(b"x").hexdigest()
item = {"number": 1001, "kind": 1, "moduleMask": 1, "displayName": "Bench", "productCode": "BE",
        "moduleCode": "A",
        "files": [{"name": f"c{i:05d}.qmr2", "url": f"http://127.0.0.1:9/c{i:05d}.qmr2",
                   "size": 1, "sha256": sha, "time": 1700000000} for i in range(list_files)]}
# The small files, listed so that the account may fetch them.
small = {"number": 1002, "kind": 2, "moduleMask": 1, "displayName": "Small files",
         "files": [{"name": f"f{i:05d}.bin", "path": f"small/f{i:05d}.bin", "time": 1700000000}
                   for i in range(files)]}
json.dump({"products": [item, small]}, open(f"{work}/accounts/catalogue.json", "w"))
salt = "00112233445566778899aabbccddeeff"
hashed = hashlib.pbkdf2_hmac("sha256", b"benchpass", bytes.fromhex(salt), 1).hex()
json.dump({"accounts": [{"email": "bench@example.com", "salt": salt, "hash": hashed, "rounds": 1,
                         "products": [{"product": 1001, "mask": -1}, {"product": 1002, "mask": -1}]}]},
          open(f"{work}/accounts/accounts.json", "w"))
PY

"$bin/deployer-service" --port 0 --accounts "$work/accounts" >"$work/service.url" 2>/dev/null &
service=$!
nginx_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat >"$work/nginx/nginx.conf" <<CONF
daemon off;
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log;
events { worker_connections 64; }
http {
  access_log off;
  default_type application/octet-stream;
  sendfile on;
  keepalive_requests 100000;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  server {
    listen 127.0.0.1:$nginx_port;
    location /files/ { alias $work/accounts/files/; }
  }
}
CONF
"$nginx_bin" -p "$work/nginx" -e "$work/nginx/logs/error.log" -c "$work/nginx/nginx.conf" &
nginx=$!
trap 'kill $service $nginx 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -s "$work/service.url" ] && break; sleep 0.1; done
service_url=$(head -1 "$work/service.url")
nginx_url="http://127.0.0.1:$nginx_port"
for _ in $(seq 100); do curl -sf -o /dev/null "$nginx_url/files/small/f00000.bin" && break; sleep 0.1; done

# One curl, one connection, every file: a config of url/output pairs. Files go to a signed-in
# owner only: the session goes with each request (nginx ignores it).
bench_session=$(curl -sS -H 'Content-Type: application/json' \
  -d '{"email": "bench@example.com", "password": "benchpass"}' "$service_url/api/v1/signin" |
  python3 -c 'import json, sys; print(json.load(sys.stdin)["session"])')
for name in service nginx; do
  base=$([ $name = service ] && echo "$service_url" || echo "$nginx_url")
  { printf 'header = "Authorization: Bearer %s"\n' "$bench_session"; for i in $(seq 0 $((files - 1))); do printf 'url = "%s/files/small/f%05d.bin"\noutput = "/dev/null"\n' "$base" "$i"; done; } >"$work/$name.curl"
done
fetch() {
  local start end connections
  start=$(date +%s.%N)
  connections=$(curl -sS -K "$work/$1.curl" -w '%{num_connects}\n' | awk '{s += $1} END {print s}')
  end=$(date +%s.%N)
  [ "$connections" -eq 1 ] || { echo "$1: $connections connections, not one" >&2; exit 1; }
  awk -v a="$start" -v b="$end" 'BEGIN {printf "%.3f", b - a}'
}
median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }

svc=(); ngx=()
for r in $(seq "$rounds"); do
  if (( r % 2 )); then s=$(fetch service); n=$(fetch nginx); else n=$(fetch nginx); s=$(fetch service); fi
  echo "round $r: $files files over one connection: deployer-service $s s, nginx $n s"
  svc+=("$s"); ngx+=("$n")
done
ms=$(median "${svc[@]}"); mn=$(median "${ngx[@]}")
echo "median: deployer-service $ms s, nginx $mn s, deployer-service/nginx $(ratio "$ms" "$mn") (goal <= 1.5)"

# The file list: the engine against curl doing what it does (sign-in, product list, file list).
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_DATA_HOME="$work/home/.local/share"
engine_list() {
  local start end
  start=$(date +%s.%N)
  "$bin/cvtool" account "$service_url" files 1001:1 --email bench@example.com --password benchpass >"$work/engine.out"
  end=$(date +%s.%N)
  [ "$(grep -c '^file' "$work/engine.out")" -eq "$list_files" ] || { echo "engine: wrong file count" >&2; exit 1; }
  awk -v a="$start" -v b="$end" 'BEGIN {printf "%.3f", b - a}'
}
curl_list() {
  local start end session
  start=$(date +%s.%N)
  session=$(curl -sS -H 'Content-Type: application/json' \
    -d '{"email": "bench@example.com", "password": "benchpass"}' "$service_url/api/v1/signin" |
    python3 -c 'import json, sys; print(json.load(sys.stdin)["session"])')
  curl -sS -o /dev/null -H "Authorization: Bearer $session" "$service_url/api/v1/products"
  curl -sS -o "$work/curl.out" -H "Authorization: Bearer $session" -H 'Content-Type: application/json' \
    -d '{"selection": [{"product": 1001, "mask": 1, "kind": 1}]}' "$service_url/api/v1/files"
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN {printf "%.3f", b - a}'
}
eng=(); crl=()
for r in $(seq "$rounds"); do
  if (( r % 2 )); then e=$(engine_list); c=$(curl_list); else c=$(curl_list); e=$(engine_list); fi
  echo "round $r: file list of $list_files files: engine (cvtool account files) $e s, curl $c s"
  eng+=("$e"); crl+=("$c")
done
me=$(median "${eng[@]}"); mc=$(median "${crl[@]}")
echo "median: engine $me s, curl $mc s, engine/curl $(ratio "$me" "$mc")"
