#!/usr/bin/env bash
# Refreshing an unchanged backup on a vfat stick (2-second file times; every listed time is an
# odd second), side by side with public tools over the same tree, in one run:
#   cvtool backup again (sign-in and file list included; nothing to fetch, the installer copy
#   kept), against rsync -a --dry-run --modify-window=1 of the catalogue's files onto the stick,
#   and find -newer over the stick (one stat a file).
# The image (VFAT_MIB, 512) is mounted by the kernel through a loop device (as root) and always
# unmounted and detached. Where vfat cannot be mounted, the stick is a folder of the build disk
# whose chart files get the times a vfat stick keeps (a second early), and the line says so.
# (fusefat is no stand-in: its rename sets a file's time to now, and it cannot grow a folder.)
# Environment: BUILD_DIR (default build), BENCH_DIR (default $BUILD_DIR/bench-vfat), COUNT
# (2,000 chart files of 2-5 KB), ROUNDS (3).
set -euo pipefail
cd "$(dirname "$0")/../.."
build_dir=${BUILD_DIR:-build}
[ -f "$build_dir/build.ninja" ] || BUILD_DIR="$build_dir" scripts/build
cmake --build "$build_dir" --target bench_runs cvtool deployer-service -- -j2 >/dev/null
bin=$(realpath "$build_dir/bin")
work=$(realpath -m "${BENCH_DIR:-$build_dir/bench-vfat}")
count=${COUNT:-2000}
rounds=${ROUNDS:-3}
rm -rf "$work"
mkdir -p "$work/home" "$work/stick"
export HOME="$work/home" XDG_DATA_HOME="$work/home/data" XDG_CONFIG_HOME="$work/home/config" XDG_CACHE_HOME="$work/home/cache"
installer="$work/installer"; mkdir -p "$installer"
cp "$bin/cvtool" "$installer/Deployer"; cp "$bin/libCvLibNav5.so" "$installer/"
creds=(--email bench@corvane.example --password bench-password --installer "$installer")
stick="$work/stick"
loop="" mounted="" server=""
cleanup() {
  [ -z "$server" ] || kill "$server" 2>/dev/null || true
  case $mounted in
    kernel) umount "$stick" || true ;;
  esac
  [ -z "$loop" ] || losetup -d "$loop" || true
}
trap cleanup EXIT
secs() { local s e; s=$(date +%s.%N); "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; return 1; }; e=$(date +%s.%N); awk -v a="$s" -v b="$e" 'BEGIN {printf "%.3f", b-a}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a/b}'; }
best() { printf '%s\n' "$@" | sort -g | head -1; }

truncate -s "${VFAT_MIB:-512}M" "$work/stick.img"
mkfs.vfat "$work/stick.img" >/dev/null
if loop=$(losetup --find --show "$work/stick.img" 2>/dev/null) && mount -t vfat "$loop" "$stick" 2>/dev/null; then
  mounted=kernel
else
  [ -z "$loop" ] || { losetup -d "$loop" || true; loop=""; }
  mounted=simulated
fi

"$bin/bench_runs" catalogue "$work/cat" "$count" 2048 5120 >/dev/null
# Odd seconds: a vfat stick keeps each a second earlier.
sed -i 's/"time":1700000000/"time":1700000001/g' "$work/cat/catalogue.json"
touch -d @1700000001 "$work/cat/files/charts/BX/A/"*
"$bin/deployer-service" --port 0 --accounts "$work/cat" >"$work/url" 2>/dev/null &
server=$!
for _ in $(seq 600); do [ -s "$work/url" ] && break; sleep 0.1; done
url=$(head -1 "$work/url"); url=${url%/}/
"$bin/cvtool" backup "$url" "$stick" 2001:1 "${creds[@]}" >"$work/first.out" 2>&1
# Without a vfat mount: the times a vfat stick keeps.
[ "$mounted" = kernel ] || touch -d @1700000000 "$stick/QMR2/BX/A/"*.qmr2
sync
touch -d @1700000001 "$work/ref"
c=() r=() f=()
for _ in $(seq "$rounds"); do
  c+=("$(secs "$bin/cvtool" backup "$url" "$stick" 2001:1 "${creds[@]}")")
  r+=("$(secs rsync -a --dry-run --modify-window=1 "$work/cat/files/charts/BX/A/" "$stick/QMR2/BX/A/")")
  f+=("$(secs find "$stick" -newer "$work/ref")")
done
"$bin/cvtool" backup "$url" "$stick" 2001:1 "${creds[@]}" >"$work/again.out" 2>&1
fetched=$(grep -c '^fetch' "$work/again.out" || true)
echo "   rounds: cvtool ${c[*]} s, rsync ${r[*]} s, find ${f[*]} s ($mounted)" >&2
ct=$(best "${c[@]}") rt=$(best "${r[@]}") ft=$(best "${f[@]}")
echo "unchanged vfat backup of $count files (vfat: $mounted): cvtool $ct s (fetched $fetched), rsync --dry-run $rt s, find -newer $ft s, cvtool/rsync $(ratio "$ct" "$rt"), cvtool/find $(ratio "$ct" "$ft")"
