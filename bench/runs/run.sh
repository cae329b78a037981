#!/usr/bin/env bash
# The runs side by side with public tools, in one run:
#   1. a backup of COUNT (3,000) small chart files (2-5 KB) with cvtool backup, against curl
#      fetching the same files (with the session, as cvtool does) one after another over one
#      kept-alive connection, and against curl -Z --parallel-max 4: through latency_proxy.py
#      (20 ms more for every round trip, as over the internet) and on plain loopback; medians of
#      ROUNDS (3) rounds, the tools in turn;
#   2. the same backup again with nothing to fetch, of NOFETCH (20,000) files (sign-in and file
#      list included), against rsync -a --dry-run of the same tree;
#   3. extracting an add-on archive of 5,000 files / 130 MiB, against bsdtar -xf;
#   4. installing a BIG_MIB (1024) chart set from a backup with cvtool restore (every byte checked
#      against the signed SHA-256), against cp -r and against sha256sum of the same file;
#   5. installing the NOFETCH-file chart set from a backup (copy, check, record), against cp -r;
#   6. the largest gap of the event loop (a 5 ms timer) while the demo products are downloaded,
#      set up (the setups run), copied and extracted, and then installed from a backup.
# Environment: BUILD_DIR (default build), BENCH_DIR (default $BUILD_DIR/bench-runs; a few GiB
# free), COUNT, ROUNDS, NOFETCH, BIG_MIB, SKIP (e.g. "4 5").
set -euo pipefail
cd "$(dirname "$0")/../.."
build_dir=${BUILD_DIR:-build}
[ -f "$build_dir/build.ninja" ] || BUILD_DIR="$build_dir" scripts/build
cmake --build "$build_dir" --target bench_runs cvtool deployer-service -- -j2
bin=$(realpath "$build_dir/bin")
work=$(realpath -m "${BENCH_DIR:-$build_dir/bench-runs}")
count=${COUNT:-3000}
rounds=${ROUNDS:-3}
nofetch=${NOFETCH:-20000}
big=${BIG_MIB:-1024}
skip=" ${SKIP:-} "
# The last run's files are deleted at the end of this one, not before it: for minutes after a
# mass deletion this file system creates files several times slower (it skips the inodes it
# freed lately), which would swing step 1 for both tools. Runs back to back still pay for that.
old="$work.old"
rm -rf "$old"
[ ! -e "$work" ] || mv "$work" "$old"
mkdir -p "$work/home"
# cvtool keeps its stores and caches below a home of its own here.
export HOME="$work/home" XDG_DATA_HOME="$work/home/data" XDG_CONFIG_HOME="$work/home/config" XDG_CACHE_HOME="$work/home/cache"
installer="$work/installer"; mkdir -p "$installer"
cp "$bin/cvtool" "$installer/Deployer"; cp "$bin/libCvLibNav5.so" "$installer/"
creds=(--email bench@corvane.example --password bench-password --installer "$installer")
secs() { local s e; s=$(date +%s.%N); "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; return 1; }; e=$(date +%s.%N); awk -v a="$s" -v b="$e" 'BEGIN {printf "%.3f", b-a}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a/b}'; }
median() { printf '%s\n' "$@" | sort -g | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
serve() {
  "$bin/deployer-service" --port 0 --accounts "$1" >"$1.url" 2>/dev/null &
  server=$!
  for _ in $(seq 600); do [ -s "$1.url" ] && break; sleep 0.1; done
  url=$(head -1 "$1.url"); url=${url%/}/
}
# No server started: no kill at all (kill 0 would end the whole process group, a pipe's reader too).
trap '[ -z "${server:-}" ] || kill "$server" 2>/dev/null || true; [ -z "${proxy:-}" ] || kill "$proxy" 2>/dev/null || true; rm -rf "$old"' EXIT

if [[ $skip != *" 1 "* ]]; then
  "$bin/bench_runs" catalogue "$work/cat1" "$count" 2048 5120
  serve "$work/cat1"
  port=${url%/}; port=${port##*:}
  bench/runs/latency_proxy.py "$port" 10 >"$work/proxy.port" &
  proxy=$!
  for _ in $(seq 100); do [ -s "$work/proxy.port" ] && break; sleep 0.1; done
  purl="http://127.0.0.1:$(head -1 "$work/proxy.port")/"
  # curl fetches with the session, as cvtool does: without it every file is a short refusal.
  session=$(curl -s -X POST -H 'Content-Type: application/json' \
    -d '{"email": "bench@corvane.example", "password": "bench-password"}' "${url}api/v1/signin" |
    sed -n 's/.*"session" *: *"\([^"]*\)".*/\1/p')
  [ -n "$session" ] || { echo "sign-in for curl failed" >&2; exit 1; }
  # A curl config for base URL $1 into folder $2.
  curlcfg() {
    mkdir -p "$2"
    { echo "silent"; echo "header = \"Authorization: Bearer $session\""
      while read -r p; do echo "url = \"${1}files/$p\""; echo "output = \"$2/${p##*/}\""; done <"$work/cat1/paths.txt"; } >"$2.cfg"
  }
  # Creating thousands of files costs the file system more the more files it deleted in the
  # minutes before (the rm above), and less as they age: the tools take turns in each round,
  # each into folders of its own; each round is shown, and the medians compared.
  declare -a pt pc pz lt lc
  for round in $(seq "$rounds"); do
    curlcfg "$purl" "$work/pcurl$round"; curlcfg "$purl" "$work/pcurlz$round"; curlcfg "$url" "$work/lcurl$round"
    sync
    pc+=("$(secs curl -K "$work/pcurl$round.cfg")"); sync
    pt+=("$(secs "$bin/cvtool" backup "$purl" "$work/pbackup$round" 2001:1 "${creds[@]}")"); sync
    pz+=("$(secs curl -Z --parallel-max 4 -K "$work/pcurlz$round.cfg")"); sync
    lt+=("$(secs "$bin/cvtool" backup "$url" "$work/lbackup$round" 2001:1 "${creds[@]}")"); sync
    lc+=("$(secs curl -K "$work/lcurl$round.cfg")"); sync
    echo "   round $round: proxy: curl ${pc[-1]} s, cvtool ${pt[-1]} s, curl -Z ${pz[-1]} s; loopback: cvtool ${lt[-1]} s, curl ${lc[-1]} s" >&2
  done
  cmp -s "$work/pcurl1/c0.qmr2" "$work/pbackup1/QMR2/BX/A/c0.qmr2" || { echo "curl fetched something else than cvtool" >&2; exit 1; }
  pc=$(median "${pc[@]}"); pt=$(median "${pt[@]}"); pz=$(median "${pz[@]}"); lt=$(median "${lt[@]}"); lc=$(median "${lc[@]}")
  echo "1a. backup of $count small files, 20 ms round trips: cvtool $pt s, curl one by one $pc s, curl -Z --parallel-max 4 $pz s; cvtool/curl $(ratio "$pt" "$pc") (goal <= 0.35), cvtool/curl -Z $(ratio "$pt" "$pz") (goal <= 1)"
  echo "1b. backup of $count small files, loopback: cvtool $lt s, curl one by one $lc s, cvtool/curl $(ratio "$lt" "$lc") (goal <= 1.2)"
  kill $proxy; wait $proxy 2>/dev/null || true; proxy=
  kill $server; wait $server 2>/dev/null || true
fi

if [[ $skip != *" 2 "* || $skip != *" 5 "* ]]; then
  "$bin/bench_runs" catalogue "$work/cat20k" "$nofetch" 2048 5120
  serve "$work/cat20k"
  "$bin/cvtool" backup "$url" "$work/backup20k" 2001:1 "${creds[@]}" >/dev/null
  if [[ $skip != *" 2 "* ]]; then
    # Five rounds, the tools in turn; the medians.
    ts=() rs=()
    for _ in 1 2 3 4 5; do
      ts+=("$(secs "$bin/cvtool" backup "$url" "$work/backup20k" 2001:1 "${creds[@]}")")
      rs+=("$(secs rsync -a --dry-run "$work/cat20k/files/charts/BX/A/" "$work/backup20k/QMR2/BX/A/")")
    done
    t=$(printf '%s\n' "${ts[@]}" | sort -n | sed -n 3p)
    r=$(printf '%s\n' "${rs[@]}" | sort -n | sed -n 3p)
    echo "   rounds: cvtool ${ts[*]} s, rsync ${rs[*]} s" >&2
    echo "2. unchanged backup of $nofetch files (median of 5): cvtool $t s, rsync --dry-run $r s, cvtool/rsync $(ratio "$t" "$r") (goal <= 2)"
  fi
  kill $server; wait $server 2>/dev/null || true
fi

if [[ $skip != *" 3 "* ]]; then
  "$bin/bench_runs" zip "$work/addon.zip" 5000 130
  # Each round into folders of its own, deleted only at the end: on a file system without a
  # journal, ext4 passes over inodes freed in the last minute when it makes a file, so a round
  # right after deleting the last one's 10,000 files measures that scan more than the tools.
  # A sync before each tool: neither pays for writing back the other's output.
  rm -rf "$work"/x{1,2,3,4}; mkdir -p "$work"/x{1,2,3,4}; sync
  b=$(secs bsdtar -xf "$work/addon.zip" -C "$work/x1"); sync
  e=$("$bin/bench_runs" extract "$work/addon.zip" "$work/x2"); sync
  e2=$("$bin/bench_runs" extract "$work/addon.zip" "$work/x4"); sync
  b2=$(secs bsdtar -xf "$work/addon.zip" -C "$work/x3")
  diff -r "$work/x1" "$work/x2" >/dev/null && diff -r "$work/x3" "$work/x4" >/dev/null
  e=$(awk -v a="$e" -v b="$e2" 'BEGIN {print (a<b)?a:b}'); b=$(awk -v a="$b" -v b="$b2" 'BEGIN {print (a<b)?a:b}')
  echo "3. extracting 5000 files / 130 MiB: runs $e s, bsdtar $b s, runs/bsdtar $(ratio "$e" "$b") (goal <= 1)"
fi

if [[ $skip != *" 4 "* ]]; then
  mkdir -p "$work/catbig"
  "$bin/bench_runs" catalogue "$work/catbig" 1 2048 2048 "$big"
  serve "$work/catbig"
  "$bin/cvtool" backup "$url" "$work/backupbig" 2002:1 "${creds[@]}" >/dev/null
  kill $server; wait $server 2>/dev/null || true
  # Both read the source from the page cache: warm it first, and take each tool's better round.
  cat "$work/backupbig/QMR2/BIG/A/big.qmr2" >/dev/null; sync
  # Copying a GiB into the page cache costs this virtual machine most where it touches memory the
  # host has not backed yet, and little where it reuses pages just freed: each round starts alike,
  # right after the round before (or a scratch file of the same size) is deleted.
  head -c "$((big * 1024 * 1024))" /dev/zero >"$work/scratchbig"; sync
  round4() { rm -rf "$1"; sync; secs "${@:2}"; }
  c=$(round4 "$work/scratchbig" cp -r "$work/backupbig/QMR2/BIG" "$work/cpbig1"); sync
  t=$(XDG_DATA_HOME="$work/home/data4-1" XDG_CONFIG_HOME="$work/home/config4-1" round4 "$work/cpbig1" "$bin/cvtool" restore "$work/backupbig" "$work/restorebig1" 2002:1); sync
  t2=$(XDG_DATA_HOME="$work/home/data4-2" XDG_CONFIG_HOME="$work/home/config4-2" round4 "$work/restorebig1" "$bin/cvtool" restore "$work/backupbig" "$work/restorebig2" 2002:1); sync
  c2=$(round4 "$work/restorebig2" cp -r "$work/backupbig/QMR2/BIG" "$work/cpbig2")
  h=$(secs sha256sum "$work/backupbig/QMR2/BIG/A/big.qmr2"); h2=$(secs sha256sum "$work/backupbig/QMR2/BIG/A/big.qmr2")
  echo "   rounds: cp $c s, cvtool $t s, cvtool $t2 s, cp $c2 s, sha256sum $h s, $h2 s" >&2
  c=$(awk -v a="$c" -v b="$c2" 'BEGIN {print (a<b)?a:b}'); t=$(awk -v a="$t" -v b="$t2" 'BEGIN {print (a<b)?a:b}')
  h=$(awk -v a="$h" -v b="$h2" 'BEGIN {print (a<b)?a:b}')
  slower=$(awk -v a="$c" -v b="$h" 'BEGIN {print (a>b)?a:b}')
  echo "4. installing a $big MiB chart set from a backup (SHA-256 checked): cvtool $t s, cp -r $c s, sha256sum $h s, cvtool/slower of the two $(ratio "$t" "$slower") (goal <= 1.2)"
fi

if [[ $skip != *" 5 "* ]]; then
  # Two rounds, the tools in turn; each cvtool round records into an installed-products store of
  # its own, as a first installation does.
  sync
  c=$(secs cp -r "$work/backup20k/QMR2/BX" "$work/cp20k-1"); sync
  t=$(XDG_DATA_HOME="$work/home/data5-1" XDG_CONFIG_HOME="$work/home/config5-1" secs "$bin/cvtool" restore "$work/backup20k" "$work/restore20k-1" 2001:1); sync
  t2=$(XDG_DATA_HOME="$work/home/data5-2" XDG_CONFIG_HOME="$work/home/config5-2" secs "$bin/cvtool" restore "$work/backup20k" "$work/restore20k-2" 2001:1); sync
  c2=$(secs cp -r "$work/backup20k/QMR2/BX" "$work/cp20k-2")
  echo "   rounds: cp $c s, cvtool $t s, cvtool $t2 s, cp $c2 s" >&2
  c=$(awk -v a="$c" -v b="$c2" 'BEGIN {print (a<b)?a:b}'); t=$(awk -v a="$t" -v b="$t2" 'BEGIN {print (a<b)?a:b}')
  echo "5. installing a chart set of $nofetch small files from a backup: cvtool $t s, cp -r $c s, cvtool/cp $(ratio "$t" "$c") (goal <= 2)"
fi

if [[ $skip != *" 6 "* ]]; then
  mkdir -p "$work/demo"
  "$bin/deployer-service" --port 0 --demo --accounts "$work/demo" >"$work/demo.url" 2>/dev/null &
  server=$!
  for _ in $(seq 600); do [ "$(wc -l <"$work/demo.url")" -ge 3 ] && break; sleep 0.1; done
  url=$(head -1 "$work/demo.url"); url=${url%/}/
  demo=(--email demo@corvane.example --password corvane-demo)
  "$bin/cvtool" backup "$url" "$work/demobackup" 100:1 110:1 1001:1 1001:2 1002:1 "${demo[@]}" --installer "$installer" >/dev/null
  echo "6. event loop: $("$bin/bench_runs" loopgap "$url" demo@corvane.example corvane-demo "$work/demoinstall" "$work/demobackup" 100:1 110:1 1001:1 1001:2 1002:1) (goal < 100 ms)"
  kill $server; wait $server 2>/dev/null || true
fi
