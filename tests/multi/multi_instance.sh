#!/bin/bash
# Two service instances on one PostgreSQL database behind nginx (round robin): a session, a
# remembered sign-in and an account added while they run are known to both, a download cut by
# a restarted instance resumes through the other, and failed sign-ins count across both.
set -u
CLUSTER_SERVICE=$1
CLUSTER_CVTOOL=$2
. "$(dirname "$0")/cluster.sh"

FAILS=0
check() {  # check WHAT EXPECTED ACTUAL
  if [ "$2" = "$3" ]; then echo "ok: $1"; else echo "FAIL: $1: expected '$2', got '$3'"; FAILS=$((FAILS + 1)); fi
}

cluster_prepare
trap cluster_stop EXIT
# Each connection an instance opens is logged, to see that an instance keeps its own few.
CLUSTER_PG_OPTIONS="-c log_connections=on"
cluster_start_pg
cluster_make_site

# The schema: made once, then already current.
check "migrate makes the schema" "database schema at version 1" "$("$CLUSTER_SERVICE" migrate --database "$CLUSTER_DB")"
check "migrate again changes nothing" "database schema at version 1" "$("$CLUSTER_SERVICE" migrate "$CLUSTER_DB")"
echo "first password" | "$CLUSTER_SERVICE" account add "$CLUSTER_DB" first@example.com 1 >/dev/null || cluster_die "account add"
echo "x" | "$CLUSTER_SERVICE" account add "$CLUSTER_DB" FIRST@example.com 1 >/dev/null 2>&1
check "an address is taken once, in any case" 1 $?

P1=$(cluster_free_port); P2=$(cluster_free_port); PN=$(cluster_free_port)
SITE=$CLUSTER_DIR/site
cluster_start_instance a "$P1" --accounts "$SITE" --database "$CLUSTER_DB"
cluster_start_instance b "$P2" --accounts "$SITE" --database "$CLUSTER_DB"
cluster_start_nginx "$PN" "$P1" "$P2"
FRONT=http://127.0.0.1:$PN

signin() {  # signin URL JSON -> body, then the status on its own line
  curl -s -w '\n%{http_code}' -X POST -H 'Content-Type: application/json' --data "$2" "$1/api/v1/signin"
}
# Whether instance NAME logged a line with WHAT: the log is written in batches, at least once a second.
logged() {  # logged NAME WHAT -> yes or nothing
  for _ in $(seq 30); do
    grep -q "$2" "$CLUSTER_DIR/$1.log" && { echo yes; return; }
    sleep 0.1
  done
}
field() { sed -n "s/.*\"$1\":\"\([^\"]*\)\".*/\1/p" | head -1; }
status() {  # status URL [curl args]
  local url=$1; shift
  curl -s -o /dev/null -w '%{http_code}' "$@" "$url"
}

answer=$(signin "$FRONT" '{"email":"first@example.com","password":"first password","remember":true}')
SESSION=$(echo "$answer" | head -1 | field session)
TOKEN=$(echo "$answer" | head -1 | field token)
check "sign-in through nginx" 200 "$(echo "$answer" | tail -1)"
[ -n "$SESSION" ] && [ -n "$TOKEN" ] || cluster_die "no session or token in: $answer"
AUTH=(-H "Authorization: Bearer $SESSION")

# A session made on one instance is valid on both, and every request through nginx is answered.
check "the session on instance a" 200 "$(status "http://127.0.0.1:$P1/api/v1/products" "${AUTH[@]}")"
check "the session on instance b" 200 "$(status "http://127.0.0.1:$P2/api/v1/products" "${AUTH[@]}")"
for i in 1 2 3 4; do
  check "file list through nginx ($i)" 200 "$(status "$FRONT/api/v1/files" "${AUTH[@]}" -X POST \
    -H 'Content-Type: application/json' --data '{"selection":[{"product":1,"mask":1}]}')"
done
for i in 1 2 3 4; do
  check "small file through nginx ($i)" "small file" "$(curl -s "${AUTH[@]}" "$FRONT/files/small.txt")"
done
for what in "POST /api/v1/files 200" "GET /files/small.txt 200"; do
  check "both instances answered $what" "yes yes" \
    "$(logged a "$what") $(logged b "$what")"
done

# Many requests at once (wrk, 64 connections): every one is answered, and each instance opens
# at most its 16 database connections, not one per request beyond them.
opened() { grep -c 'connection authorized' "$CLUSTER_DIR/pg/server.log"; }
cat >"$CLUSTER_DIR/files.lua" <<LUA
wrk.method = "POST"
wrk.body = '{"selection":[{"product":1,"mask":1}]}'
wrk.headers["Content-Type"] = "application/json"
wrk.headers["Authorization"] = "Bearer $SESSION"
LUA
before=$(opened)
load=$(wrk -t2 -c64 -d2s -s "$CLUSTER_DIR/files.lua" "$FRONT/api/v1/files" 2>&1)
check "64 connections of file lists, all answered" "" "$(echo "$load" | grep -E 'Non-2xx|Socket errors')"
check "database connections opened for them (at most 2 x 16)" yes "$([ $(($(opened) - before)) -le 32 ] && echo yes)"

# A token remembered through one instance signs in on either (kept with remember).
check "token on instance a" 200 "$(signin "http://127.0.0.1:$P1" "{\"email\":\"first@example.com\",\"token\":\"$TOKEN\",\"remember\":true}" | tail -1)"
check "token on instance b" 200 "$(signin "http://127.0.0.1:$P2" "{\"email\":\"first@example.com\",\"token\":\"$TOKEN\",\"remember\":true}" | tail -1)"

# An account added while the instances run signs in on both; one removed is gone from both.
echo "second password" | "$CLUSTER_SERVICE" account add "$CLUSTER_DB" second@example.com 1 >/dev/null || cluster_die "account add"
for p in "$P1" "$P2"; do
  check "new account on :$p" 200 "$(signin "http://127.0.0.1:$p" '{"email":"second@example.com","password":"second password"}' | tail -1)"
done
"$CLUSTER_SERVICE" account products "$CLUSTER_DB" second@example.com >/dev/null || cluster_die "account products"
answer=$(signin "$FRONT" '{"email":"second@example.com","password":"second password"}')
S2=$(echo "$answer" | head -1 | field session)
check "a product taken away is refused at once" 403 "$(status "$FRONT/files/small.txt" -H "Authorization: Bearer $S2")"
"$CLUSTER_SERVICE" account remove "$CLUSTER_DB" second@example.com >/dev/null || cluster_die "account remove"
check "a removed account cannot sign in" 401 "$(signin "$FRONT" '{"email":"second@example.com","password":"second password"}' | tail -1)"

# A download cut by the instance that serves it: the engine's run fails the file and keeps
# what arrived; the next run resumes it (a range) through the other instance.
export HOME=$CLUSTER_DIR/home XDG_CONFIG_HOME=$CLUSTER_DIR/home/.config XDG_DATA_HOME=$CLUSTER_DIR/home/.local/share
mkdir -p "$HOME"
BACKUP=$CLUSTER_DIR/backup
download() { "$CLUSTER_CVTOOL" account "$FRONT" download "$BACKUP" 1:1 --quiet \
  --email first@example.com --password "first password"; }
# nginx lets go of its idle connections to the instances first (keepalive_timeout 800ms), so
# that the only one that has sent megabytes is the download's.
sleep 1.5
download >"$CLUSTER_DIR/first-run.txt" 2>&1 &
RUN=$!
# The instance serving it is the one that has sent megabytes.
sent() { ss -Htni state established "( sport = :$1 )" | grep -o 'bytes_sent:[0-9]*' | cut -d: -f2 | sort -n | tail -1; }
victim=""
for _ in $(seq 100); do
  sleep 0.05
  if [ "$(sent "$P1")" -gt 2000000 ] 2>/dev/null; then victim=a; break; fi
  if [ "$(sent "$P2")" -gt 2000000 ] 2>/dev/null; then victim=b; break; fi
done
[ -n "$victim" ] || cluster_die "no instance serves the download"
eval "kill -KILL \$CLUSTER_PID_$victim"
wait "$RUN"
check "the cut run fails" 1 $?
have=$(stat -c %s "$BACKUP/Setups/.big.bin.cvpart" 2>/dev/null || echo 0)
check "what arrived is kept ($have bytes)" yes "$([ "$have" -gt 0 ] && echo yes)"
download >"$CLUSTER_DIR/second-run.txt" 2>&1
check "the next run succeeds" 0 $?
check "the download resumed to the whole file" yes "$(cmp -s "$BACKUP/Setups/big.bin" "$SITE/files/big.bin" && echo yes)"
other=$([ "$victim" = a ] && echo b || echo a)
check "the other instance answered the rest (206)" yes "$(logged "$other" 'GET /files/big.bin 206')"
victim_port=$([ "$victim" = a ] && echo "$P1" || echo "$P2")
cluster_start_instance "$victim" "$victim_port" --accounts "$SITE" --database "$CLUSTER_DB"
check "the session survives the restart" 200 "$(status "http://127.0.0.1:$victim_port/api/v1/products" "${AUTH[@]}")"

# Failed sign-ins count across both instances: the sixth is refused, whichever answers.
for i in 1 2 3 4 5; do
  check "wrong password $i" 401 "$(signin "$FRONT" '{"email":"first@example.com","password":"wrong"}' | tail -1)"
done
check "failures landed on both instances" "yes yes" \
  "$(logged a 'POST /api/v1/signin 401') $(logged b 'POST /api/v1/signin 401')"
for p in "$P1" "$P2"; do
  check "throttled on :$p, even with the right password" 429 \
    "$(signin "http://127.0.0.1:$p" '{"email":"first@example.com","password":"first password"}' | tail -1)"
done
check "Retry-After through nginx" yes "$(curl -s -D - -o /dev/null -X POST -H 'Content-Type: application/json' \
  --data '{"email":"first@example.com","password":"first password"}' "$FRONT/api/v1/signin" | grep -qi '^Retry-After: [0-9]' && echo yes)"

# A database of a newer schema is refused, not written to.
"$CLUSTER_PG_BIN/psql" -q "$CLUSTER_DB" -c "INSERT INTO schema_version(version) VALUES(99)"
"$CLUSTER_SERVICE" migrate "$CLUSTER_DB" >/dev/null 2>&1
check "migrate refuses a newer schema" 1 $?

[ "$FAILS" = 0 ] || { echo "$FAILS checks failed; logs in $CLUSTER_DIR"; CLUSTER_KEEP=1; exit 1; }
echo "all checks passed"
