#!/bin/sh
# package_test.sh BUILD_DIR: makes the packages with the build's CPack configuration and checks them.
set -eu
build=$1
for tool in cpack dpkg-deb dpkg-shlibdeps readelf; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
validators=0
for tool in desktop-file-validate appstreamcli lintian; do
  if command -v "$tool" >/dev/null; then validators=$((validators + 1)); else echo "note: $tool is not installed"; fi
done
[ "$validators" -gt 0 ] || { echo "SKIP: none of desktop-file-validate, appstreamcli, lintian is installed"; exit 77; }

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
cpack --config "$build/CPackConfig.cmake" -B "$out" > "$out/cpack.log" 2>&1 || { cat "$out/cpack.log"; exit 1; }
wizard=$(ls "$out"/corvane-deployer_*.deb)
service=$(ls "$out"/corvane-deployer-service_*.deb)
failed=0
fail() { echo "FAIL: $*"; failed=1; }

mkdir "$out/root"
dpkg-deb -x "$wizard" "$out/root"
dpkg-deb -x "$service" "$out/root"
root=$out/root
for path in usr/lib/corvane-deployer/Deployer usr/lib/corvane-deployer/libCvLibNav5.so usr/lib/corvane-deployer/cvtool \
    usr/share/applications/com.corvane.deployer.desktop usr/share/metainfo/com.corvane.deployer.metainfo.xml \
    usr/share/icons/hicolor/48x48/apps/com.corvane.deployer.png usr/share/icons/hicolor/256x256/apps/com.corvane.deployer.png \
    usr/share/icons/hicolor/scalable/apps/com.corvane.deployer.svg \
    usr/share/man/man1/corvane-deployer.1.gz usr/share/man/man1/cvtool.1.gz usr/share/man/man1/deployer-service.1.gz \
    usr/share/doc/corvane-deployer/copyright usr/share/doc/corvane-deployer-service/copyright \
    usr/lib/corvane-deployer-service/deployer-service usr/lib/corvane-deployer-service/cv_demo_setup \
    usr/lib/systemd/system/deployer-service.service; do
  [ -f "$root/$path" ] || fail "$path is missing"
done
# The program and its support library are the files the manifest beside them vouches for
# (the form a backup's copy holds), and a copy made from the package keeps it signed.
lib=$root/usr/lib/corvane-deployer
[ -f "$lib/Deployer.sig" ] || fail "usr/lib/corvane-deployer/Deployer.sig is missing"
for name in Deployer libCvLibNav5.so; do
  signed=$(grep -a "^file $name " "$lib/Deployer.sig" | cut -d' ' -f3-)
  [ "$signed" = "$(stat -c %s "$lib/$name") $(sha256sum < "$lib/$name" | cut -d' ' -f1)" ] ||
    fail "$name is not the file Deployer.sig names ($signed)"
done
# The commands are links to the programs beside their libraries.
[ "$(readlink "$root/usr/bin/corvane-deployer")" = ../lib/corvane-deployer/Deployer ] || fail "usr/bin/corvane-deployer"
[ "$(readlink "$root/usr/bin/cvtool")" = ../lib/corvane-deployer/cvtool ] || fail "usr/bin/cvtool"
[ "$(readlink "$root/usr/bin/deployer-service")" = ../lib/corvane-deployer-service/deployer-service ] || fail "usr/bin/deployer-service"
# The desktop entry starts a command of the package and names the package's icon.
grep -qx 'Exec=corvane-deployer' "$root/usr/share/applications/com.corvane.deployer.desktop" || fail "desktop Exec"
grep -qx 'Icon=com.corvane.deployer' "$root/usr/share/applications/com.corvane.deployer.desktop" || fail "desktop Icon"
for size in 48 256; do
  file "$root/usr/share/icons/hicolor/${size}x${size}/apps/com.corvane.deployer.png" | grep -q "$size x $size" || fail "icon ${size}px"
done

# A build that made its own update key makes packages for trying only, and they say so.
if grep -q '^CORVANE_UPDATE_PUBLIC_KEY:FILEPATH=$' "$build/CMakeCache.txt"; then
  dpkg-deb -f "$wizard" Version | grep -q '~dev$' || fail "a development key package is not named so: $(dpkg-deb -f "$wizard" Version)"
  dpkg-deb -f "$wizard" Description | grep -q 'development build' || fail "the description does not say development build"
else
  dpkg-deb -f "$wizard" Version | grep -q '~dev' && fail "a release key package is named a development one"
fi

# Dependencies from the binaries.
depends=$(dpkg-deb -f "$wizard" Depends)
for lib in libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6 libxxhash0 libc6 libssl3 libzip4; do
  echo "$depends" | grep -q "$lib" || fail "corvane-deployer does not depend on $lib: $depends"
done
dpkg-deb -f "$service" Depends | grep -q libcpp-httplib || fail "corvane-deployer-service depends: $(dpkg-deb -f "$service" Depends)"

# Search paths: the program's own folder first, never an empty entry (the current folder).
for elf in usr/lib/corvane-deployer/Deployer usr/lib/corvane-deployer/libCvLibNav5.so usr/lib/corvane-deployer/cvtool \
    usr/lib/corvane-deployer-service/deployer-service; do
  path=$(readelf -d "$root/$elf" | sed -n 's/.*(R.*PATH).*\[\(.*\)\]/\1/p')
  case "$path" in
    '$ORIGIN'*) ;;
    *) fail "$elf search path '$path'" ;;
  esac
  case ":$path:" in *::*) fail "$elf has an empty search path entry: '$path'" ;; esac
done
readelf -d "$root/usr/lib/corvane-deployer/Deployer" | grep -q '(RPATH).*\$ORIGIN/Deployer.libs' || fail "Deployer lacks DT_RPATH \$ORIGIN/Deployer.libs"

# The service: a dynamic user, a read-only system, its folder in /var/lib.
unit=$root/usr/lib/systemd/system/deployer-service.service
for line in DynamicUser=yes ProtectSystem=strict ProtectHome=yes StateDirectory=deployer-service; do
  grep -qx "$line" "$unit" || fail "unit lacks $line"
done
grep -q '^ExecStart=/usr/bin/deployer-service .*--content /var/lib/deployer-service/content' "$unit" || fail "unit ExecStart"
# It never serves the demo, waits for its operator, signs with a key in its own folder, and
# writes for its own user only.
exec_start=$(grep '^ExecStart=' "$unit")
case "$exec_start" in *--demo*) fail "unit runs --demo" ;; esac
for word in --wait "--accounts /var/lib/deployer-service/accounts" "--signing-key /var/lib/deployer-service/"; do
  case "$exec_start" in *"$word"*) ;; *) fail "unit ExecStart lacks $word" ;; esac
done
grep -qx 'UMask=0077' "$unit" || fail "unit lacks UMask=0077"
# Its maintainer scripts reload systemd and stop a removed service; none enables or starts it.
mkdir "$out/control"
dpkg-deb -e "$service" "$out/control"
for script in postinst prerm postrm; do
  [ -x "$out/control/$script" ] && sh -n "$out/control/$script" || fail "corvane-deployer-service $script"
done
! grep -v '^ *#' "$out/control/postinst" | grep -Eq 'enable|(invoke|systemctl).* start ' || fail "postinst enables or starts the service"
if command -v systemd-analyze >/dev/null; then
  # systemd's own measure of the sandbox: 0 (tight) to 10; the unit scores about 1.5.
  systemd-analyze security --offline=yes --threshold=20 --root="$root" "$unit" > "$out/security.log" 2>&1 ||
    { tail -3 "$out/security.log"; fail "the unit's exposure is above 2.0"; }
fi

if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$root/usr/share/applications/com.corvane.deployer.desktop" || fail "desktop-file-validate"
fi
if command -v appstreamcli >/dev/null; then
  # As anyone would run it: the metadata names no address, so nothing is fetched.
  appstreamcli validate "$root/usr/share/metainfo/com.corvane.deployer.metainfo.xml" || fail "appstreamcli validate"
fi
if command -v lintian >/dev/null; then
  # Warnings are shown; errors fail.
  lintian --fail-on error "$wizard" "$service" > "$out/lintian.log" 2>&1 || fail "lintian reports errors"
  grep -v 'root privileges' "$out/lintian.log" || true
fi
if command -v man >/dev/null; then
  for page in "$root"/usr/share/man/man1/*.1.gz; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 > /dev/null)
    [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
  done
fi
[ "$failed" -eq 0 ] && echo "packages checked: $(basename "$wizard") $(basename "$service")"
exit "$failed"
