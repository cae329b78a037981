# Shared by the multi-instance test and bench/service: a PostgreSQL server, service instances
# and nginx, all in one temporary folder on free 127.0.0.1 ports, stopped by cluster_stop.
# Never touches a system service: every server gets its own data, socket, pid and log paths.

CLUSTER_PIDS=()

cluster_die() { echo "cluster: $*" >&2; exit 1; }

# A port nothing listens on.
cluster_free_port() {
  local p low
  # Below the range the system takes outgoing connections' ports from: under load, nginx's and
  # wrk's own connections would otherwise take a port between its choice and its use.
  low=$(cut -f1 /proc/sys/net/ipv4/ip_local_port_range 2>/dev/null || echo 32768)
  [ "$low" -gt 12000 ] 2>/dev/null || low=32768
  for _ in $(seq 200); do
    p=$((10000 + RANDOM % (low - 10000)))
    if ! ss -Htan "sport = :$p" | grep -q .; then echo "$p"; return 0; fi
  done
  return 1
}

# Makes CLUSTER_DIR, and CLUSTER_RUN_AS (how PostgreSQL is run: it refuses root). Exits 77
# when there is no PostgreSQL or no user to run it as.
cluster_prepare() {
  CLUSTER_PG_BIN=""
  for d in /usr/lib/postgresql/*/bin; do [ -x "$d/initdb" ] && CLUSTER_PG_BIN=$d; done
  if [ -z "$CLUSTER_PG_BIN" ]; then echo "SKIP: PostgreSQL is not installed (scripts/install-deps installs it)"; exit 77; fi
  command -v nginx >/dev/null || [ -x /usr/sbin/nginx ] || { echo "SKIP: nginx is not installed"; exit 77; }
  CLUSTER_DIR=$(mktemp -d "${TMPDIR:-/tmp}/deployer-multi-XXXXXX")
  CLUSTER_RUN_AS=()
  mkdir -p "$CLUSTER_DIR/pg"
  if [ "$(id -u)" = 0 ]; then
    local user
    for user in nobody postgres; do
      if id -u "$user" >/dev/null 2>&1 && runuser -u "$user" -- true 2>/dev/null; then CLUSTER_RUN_AS=(runuser -u "$user" --); break; fi
    done
    if [ ${#CLUSTER_RUN_AS[@]} = 0 ]; then
      rm -rf "$CLUSTER_DIR"
      echo "SKIP: running as root and no other user (nobody, postgres) to run PostgreSQL as"; exit 77
    fi
    chmod 711 "$CLUSTER_DIR"
    chown "$user" "$CLUSTER_DIR/pg"
  fi
}

# Also under set -e: a process already gone must not stop the rest from being stopped.
cluster_stop() {
  set +e
  local pid master
  for pid in "${CLUSTER_PIDS[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${CLUSTER_PIDS[@]}"; do wait "$pid" 2>/dev/null; done
  if [ -n "${CLUSTER_PG_PID:-}" ]; then
    # The server itself, not the runuser in front of it, takes the fast shutdown.
    master=$(head -1 "$CLUSTER_DIR/pg/data/postmaster.pid" 2>/dev/null)
    kill -INT ${master:-$CLUSTER_PG_PID} 2>/dev/null
    for _ in $(seq 100); do kill -0 "$CLUSTER_PG_PID" 2>/dev/null || break; sleep 0.1; done
  fi
  if [ -n "${CLUSTER_DIR:-}" ] && [ -z "${CLUSTER_KEEP:-}" ]; then rm -rf "$CLUSTER_DIR"; fi
}

# Starts PostgreSQL and makes the database; sets CLUSTER_DB (its URL) and CLUSTER_PG_PID.
cluster_start_pg() {
  local pg=$CLUSTER_DIR/pg port
  port=$(cluster_free_port) || cluster_die "no free port"
  "${CLUSTER_RUN_AS[@]}" "$CLUSTER_PG_BIN/initdb" -D "$pg/data" -U deployer -A trust --no-sync -E UTF8 \
    >"$pg/initdb.log" 2>&1 || { cat "$pg/initdb.log"; cluster_die "initdb failed"; }
  mkdir -p "$pg/socket" && [ ${#CLUSTER_RUN_AS[@]} = 0 ] || chown "$(stat -c %U "$pg")" "$pg/socket"
  "${CLUSTER_RUN_AS[@]}" "$CLUSTER_PG_BIN/postgres" -D "$pg/data" -p "$port" -k "$pg/socket" \
    -c listen_addresses=127.0.0.1 -c max_connections=200 ${CLUSTER_PG_OPTIONS:-} >"$pg/server.log" 2>&1 &
  CLUSTER_PG_PID=$!
  for _ in $(seq 100); do
    "$CLUSTER_PG_BIN/pg_isready" -q -h 127.0.0.1 -p "$port" && break
    kill -0 "$CLUSTER_PG_PID" 2>/dev/null || { cat "$pg/server.log"; cluster_die "PostgreSQL did not start"; }
    sleep 0.1
  done
  "$CLUSTER_PG_BIN/createdb" -h 127.0.0.1 -p "$port" -U deployer deployer || cluster_die "createdb failed"
  CLUSTER_DB="postgresql://deployer@127.0.0.1:$port/deployer"
}

# cluster_start_instance NAME PORT ARGS...: a service instance on PORT; its pid in
# CLUSTER_PID_<NAME>, its log in $CLUSTER_DIR/NAME.log.
cluster_start_instance() {
  local name=$1 port=$2
  shift 2
  "$CLUSTER_SERVICE" --port "$port" "$@" >"$CLUSTER_DIR/$name.out" 2>>"$CLUSTER_DIR/$name.log" &
  local pid=$!
  CLUSTER_PIDS+=("$pid")
  eval "CLUSTER_PID_$name=$pid"
  for _ in $(seq 200); do
    [ -s "$CLUSTER_DIR/$name.out" ] && return 0
    kill -0 "$pid" 2>/dev/null || { cat "$CLUSTER_DIR/$name.log"; cluster_die "instance $name did not start"; }
    sleep 0.05
  done
  cluster_die "instance $name did not answer"
}

# cluster_start_nginx PORT UPSTREAM_PORT...: nginx in the foreground, round robin over the
# upstreams; files are passed on as they come (no buffering), so a cut upstream cuts the answer.
cluster_start_nginx() {
  local port=$1 p servers="" n=$CLUSTER_DIR/nginx
  shift
  for p in "$@"; do servers+="    server 127.0.0.1:$p;"$'\n'; done
  mkdir -p "$n"
  cat >"$n/nginx.conf" <<CONF
daemon off;
master_process off;
pid $n/nginx.pid;
error_log $n/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $n/body; proxy_temp_path $n/proxy; fastcgi_temp_path $n/fastcgi;
  uwsgi_temp_path $n/uwsgi; scgi_temp_path $n/scgi;
  upstream deployer {
$servers    keepalive 32;
    keepalive_timeout 800ms;  # before the instances close an idle connection
  }
  server {
    listen 127.0.0.1:$port;
    location / {
      proxy_pass http://deployer;
      proxy_http_version 1.1;
      proxy_set_header Connection "";
      proxy_buffering off;
    }
    # The large file at 8 MB/s, so that a download of it can be cut half-way.
    location = /files/big.bin {
      limit_rate 8m;
      proxy_pass http://deployer;
      proxy_http_version 1.1;
      proxy_set_header Connection "";
      proxy_buffering off;
    }
  }
}
CONF
  local nginx
  nginx=$(command -v nginx || echo /usr/sbin/nginx)
  "$nginx" -p "$n" -c "$n/nginx.conf" 2>"$n/stderr" &
  CLUSTER_NGINX_PID=$!
  CLUSTER_PIDS+=("$CLUSTER_NGINX_PID")
  for _ in $(seq 100); do
    ss -Htln "sport = :$port" | grep -q . && return 0
    kill -0 "$CLUSTER_NGINX_PID" 2>/dev/null || { cat "$n/stderr" "$n/error.log"; cluster_die "nginx did not start"; }
    sleep 0.05
  done
  cluster_die "nginx did not listen"
}

# A catalogue of one product with a large and a small file, in $CLUSTER_DIR/site.
cluster_make_site() {
  local site=$CLUSTER_DIR/site
  mkdir -p "$site/files"
  head -c "${1:-33554432}" /dev/urandom >"$site/files/big.bin"
  echo "small file" >"$site/files/small.txt"
  cat >"$site/catalogue.json" <<'JSON'
{"products": [{"number": 1, "displayName": "Charts", "productCode": "CH",
  "files": [{"name": "big.bin", "path": "big.bin"}, {"name": "small.txt", "path": "small.txt"}]}]}
JSON
  echo '{"accounts": []}' >"$site/accounts.json"
}
