#!/usr/bin/env bash
# The service under load, side by side with nginx in one run (wrk, Debian's package):
#  1. 200 connections download a small file over and over (wrk, 10 s) from deployer-service and
#     from nginx serving the same folder: requests per second, deployer-service/nginx (goal >= 0.8);
#  2. meanwhile sign-ins one after another on a new connection each: p50 and p99 (goal p99 <= 0.5 s);
#  3. with 100 connections that send a header line every 2 s, sign-ins: the slowest (goal < 1 s).
# The account hashes its password with 1 round: the figures are about waiting for the service,
# not about the password hash. Environment: BUILD_DIR (default build), BENCH_DIR
# (default $BUILD_DIR/bench-service-load), SECONDS_EACH (default 10).
set -euo pipefail
cd "$(dirname "$0")/../.."
build_dir=${BUILD_DIR:-build}
[ -f "$build_dir/build.ninja" ] || BUILD_DIR="$build_dir" scripts/build
cmake --build "$build_dir" --target deployer-service -- -j2
bin=$(realpath "$build_dir/bin")
work=$(realpath -m "${BENCH_DIR:-$build_dir/bench-service-load}")
seconds=${SECONDS_EACH:-10}
command -v wrk >/dev/null || { echo "wrk is missing: scripts/install-deps installs it" >&2; exit 1; }
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)
[ -x "$nginx_bin" ] || { echo "nginx is missing: scripts/install-deps installs it" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work/accounts/files/small" "$work/nginx/logs"
python3 - "$work" <<'PY'
import hashlib, json, sys
work = sys.argv[1]
files = []
for i in range(100):
    with open(f"{work}/accounts/files/small/f{i:03d}.bin", "wb") as f:
        f.write(bytes((i * 7 + j) & 0xFF for j in range(1024)))
    files.append({"name": f"f{i:03d}.bin", "path": f"small/f{i:03d}.bin", "time": 1700000000})
json.dump({"products": [{"number": 1002, "kind": 2, "moduleMask": 1, "displayName": "Small", "files": files}]},
          open(f"{work}/accounts/catalogue.json", "w"))
salt = "00112233445566778899aabbccddeeff"
hashed = hashlib.pbkdf2_hmac("sha256", b"benchpass", bytes.fromhex(salt), 1).hex()
json.dump({"accounts": [{"email": "bench@example.com", "salt": salt, "hash": hashed, "rounds": 1,
                         "products": [{"product": 1002, "mask": -1}]}]},
          open(f"{work}/accounts/accounts.json", "w"))
PY
"$bin/deployer-service" --port 0 --accounts "$work/accounts" >"$work/service.url" 2>/dev/null &
service=$!
nginx_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat >"$work/nginx/nginx.conf" <<CONF
daemon off;
worker_processes auto;
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log;
events { worker_connections 1024; }
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
slow=
trap 'kill $service $nginx $slow 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -s "$work/service.url" ] && break; sleep 0.1; done
service_url=$(head -1 "$work/service.url")
nginx_url="http://127.0.0.1:$nginx_port"
for _ in $(seq 100); do curl -sf -o /dev/null "$nginx_url/files/small/f000.bin" && break; sleep 0.1; done

signin() {
  curl -sS -o "$work/signin.out" -w '%{http_code} %{time_total}\n' -H 'Content-Type: application/json' \
    -d '{"email": "bench@example.com", "password": "benchpass"}' "$service_url/api/v1/signin"
}
session=$(signin >/dev/null; python3 -c 'import json; print(json.load(open("'"$work"'/signin.out"))["session"])')
# Sign-ins one after another until the file ends; the times in seconds.
signins_until() {
  local stop=$1 out=$2
  : >"$out"
  while [ ! -e "$stop" ]; do signin >>"$out"; sleep 0.05; done
}
percentile() { sort -n | awk -v p="$1" '{a[NR]=$1} END {i=int(NR*p/100+0.999); if (i<1) i=1; printf "%.3f", a[i]}'; }
load() {
  wrk -t2 -c200 -d"${seconds}s" -H "Authorization: Bearer $session" "$1/files/small/f007.bin" | tee "$work/wrk.$2"
  awk '/Requests\/sec/ {print $2}' "$work/wrk.$2" >"$work/rps.$2"
}

echo "== 200 connections downloading a 1 KiB file for ${seconds} s"
rm -f "$work/stop"
signins_until "$work/stop" "$work/signins.txt" &
signer=$!
load "$service_url" service
touch "$work/stop"; wait $signer
load "$nginx_url" nginx
svc=$(cat "$work/rps.service"); ngx=$(cat "$work/rps.nginx")
bad=$(awk '$1 != 200' "$work/signins.txt" | wc -l)
n=$(wc -l <"$work/signins.txt")
p50=$(awk '{print $2}' "$work/signins.txt" | percentile 50)
p99=$(awk '{print $2}' "$work/signins.txt" | percentile 99)
echo "files: deployer-service $svc req/s, nginx $ngx req/s, deployer-service/nginx $(awk -v a="$svc" -v b="$ngx" 'BEGIN {printf "%.2f", a / b}') (goal >= 0.8)"
echo "sign-ins under that load: $n, $bad not 200, p50 $p50 s, p99 $p99 s (goal p99 <= 0.5 s)"

echo "== 100 connections sending a header line every 2 s"
python3 - "$service_url" <<'PY' &
import socket, sys, time
host, port = sys.argv[1].split("//")[1].split(":")
conns = []
for i in range(100):
    s = socket.create_connection((host, int(port)))
    s.sendall(b"GET /files/small/f000.bin HTTP/1.1\r\nHost: x\r\n")
    conns.append(s)
while True:
    time.sleep(2)
    for s in list(conns):
        try:
            s.sendall(b"X-Slow: 1\r\n")
        except OSError:
            conns.remove(s)
            n = socket.create_connection((host, int(port)))
            n.sendall(b"GET /files/small/f000.bin HTTP/1.1\r\nHost: x\r\n")
            conns.append(n)
PY
slow=$!
sleep 3
: >"$work/slow-signins.txt"
for _ in $(seq 20); do signin >>"$work/slow-signins.txt"; sleep 0.5; done
kill $slow 2>/dev/null || true
worst=$(awk '{print $2}' "$work/slow-signins.txt" | percentile 100)
bad=$(awk '$1 != 200' "$work/slow-signins.txt" | wc -l)
echo "sign-ins with 100 slow connections open: 20, $bad not 200, slowest $worst s (goal < 1 s)"
