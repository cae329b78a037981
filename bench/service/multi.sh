#!/usr/bin/env bash
# Sign-ins and file-list answers per second (wrk, Debian's package) through nginx in front of:
#  1. one instance on the SQLite store in its accounts folder,
#  2. one instance on PostgreSQL,
#  3. two instances on PostgreSQL (nginx round robin),
# in one run, with the CPU seconds each process took (from /proc/PID/stat before and after):
# the machine's cores are shared by all of them, so the rates alone say little.
# The account hashes its password with 1 round: the figures are about the state store, not
# about the password hash. Environment: BUILD_DIR (default build), SECONDS_EACH (default 8),
# CONNECTIONS (default 16).
set -euo pipefail
cd "$(dirname "$0")/../.."
build_dir=${BUILD_DIR:-build}
[ -f "$build_dir/build.ninja" ] || BUILD_DIR="$build_dir" scripts/build
cmake --build "$build_dir" --target deployer-service -- -j2 >/dev/null
seconds=${SECONDS_EACH:-8}
connections=${CONNECTIONS:-16}
command -v wrk >/dev/null || { echo "wrk is missing: scripts/install-deps installs it" >&2; exit 1; }
CLUSTER_SERVICE=$(realpath "$build_dir/bin/deployer-service")
. tests/multi/cluster.sh
cluster_prepare
trap cluster_stop EXIT
[ -n "${BENCH_KEEP_LOGS:-}" ] && CLUSTER_KEEP=1
cluster_start_pg
cluster_make_site 1048576
site=$CLUSTER_DIR/site
salt=00112233445566778899aabbccddeeff
hash=$(python3 -c "import hashlib; print(hashlib.pbkdf2_hmac('sha256', b'benchpass', bytes.fromhex('$salt'), 1).hex())")
echo "{\"accounts\": [{\"email\": \"bench@example.com\", \"salt\": \"$salt\", \"hash\": \"$hash\", \"rounds\": 1, \"products\": [{\"product\": 1, \"mask\": -1}]}]}" >"$site/accounts.json"
"$CLUSTER_SERVICE" migrate "$CLUSTER_DB" >/dev/null
"$CLUSTER_PG_BIN/psql" -q "$CLUSTER_DB" -c "INSERT INTO accounts(email_key, email, salt, hash, rounds, products)
  VALUES('bench@example.com', 'bench@example.com', '$salt', '$hash', 1, '[[1,-1]]')"

cat >"$CLUSTER_DIR/signin.lua" <<'LUA'
wrk.method = "POST"
wrk.body = '{"email":"bench@example.com","password":"benchpass"}'
wrk.headers["Content-Type"] = "application/json"
LUA
cat >"$CLUSTER_DIR/files.lua" <<'LUA'
wrk.method = "POST"
wrk.body = '{"selection":[{"product":1,"mask":1}]}'
wrk.headers["Content-Type"] = "application/json"
wrk.headers["Authorization"] = "Bearer " .. os.getenv("SESSION")
LUA

# CPU seconds (user + system) of a process and its threads.
cpu_of() { awk -v hz="$(getconf CLK_TCK)" '{ split($0, a, ") "); split(a[2], f, " "); printf "%.2f", (f[12] + f[13]) / hz }' "/proc/$1/stat" 2>/dev/null || echo 0; }
# Of the PostgreSQL server: the postmaster and its backends.
pg_cpu() {
  local total=0 pid master
  master=$(head -1 "$CLUSTER_DIR/pg/data/postmaster.pid")
  for pid in $master $(pgrep -P "$master"); do total=$(echo "$total + $(cpu_of "$pid")" | bc); done
  echo "$total"
}

run_case() {  # run_case LABEL PIDS...
  local label=$1 front=http://127.0.0.1:$nginx_port what script rate
  shift
  local session
  session=$(curl -s -X POST -H 'Content-Type: application/json' --data '{"email":"bench@example.com","password":"benchpass"}' "$front/api/v1/signin" | sed -n 's/.*"session":"\([0-9a-f]*\)".*/\1/p')
  [ -n "$session" ] || cluster_die "$label: no session"
  for what in signin files; do
    local route=/api/v1/signin
    [ "$what" = files ] && route=/api/v1/files
    declare -A before=()
    local pid
    for pid in "$@" "$CLUSTER_NGINX_PID"; do before[$pid]=$(cpu_of "$pid"); done
    local pgb; pgb=$(pg_cpu)
    local out
    out=$(SESSION=$session /usr/bin/time -f "wrk-cpu %U %S" wrk -t1 -c"$connections" -d"${seconds}s" -s "$CLUSTER_DIR/$what.lua" "$front$route" 2>&1)
    rate=$(echo "$out" | awk '/Requests\/sec/ { print $2 }')
    local errors; errors=$(echo "$out" | awk '/Non-2xx/ { print $NF }')
    local line="$label  $what/s: ${rate}${errors:+ (non-2xx: $errors)}  CPU s:"
    local i=0
    for pid in "$@"; do i=$((i + 1)); line+=" instance$i $(echo "$(cpu_of "$pid") - ${before[$pid]}" | bc)"; done
    line+=" nginx $(echo "$(cpu_of "$CLUSTER_NGINX_PID") - ${before[$CLUSTER_NGINX_PID]}" | bc)"
    [ "$label" != sqlite-1 ] && line+=" postgres $(echo "$(pg_cpu) - $pgb" | bc)"
    line+=" wrk $(echo "$out" | awk '/wrk-cpu/ { print $2 + $3 }')"
    echo "$line"
  done
}

stop_front() {  # stop_front PIDS...: the instances and nginx of a case
  local pid
  for pid in "$@" "$CLUSTER_NGINX_PID"; do kill "$pid"; wait "$pid" 2>/dev/null || true; done
}

echo "$(nproc) cores, ${seconds} s each, $connections connections, through nginx; CPU in seconds over the run"
p1=$(cluster_free_port); p2=$(cluster_free_port); nginx_port=$(cluster_free_port)
cluster_start_instance s1 "$p1" --accounts "$site"
cluster_start_nginx "$nginx_port" "$p1"
run_case sqlite-1 "$CLUSTER_PID_s1"
stop_front "$CLUSTER_PID_s1"

cluster_start_instance p1 "$p1" --accounts "$site" --database "$CLUSTER_DB"
cluster_start_nginx "$nginx_port" "$p1"
run_case postgres-1 "$CLUSTER_PID_p1"
stop_front "$CLUSTER_PID_p1"

cluster_start_instance q1 "$p1" --accounts "$site" --database "$CLUSTER_DB"
cluster_start_instance q2 "$p2" --accounts "$site" --database "$CLUSTER_DB"
cluster_start_nginx "$nginx_port" "$p1" "$p2"
run_case postgres-2 "$CLUSTER_PID_q1" "$CLUSTER_PID_q2"
