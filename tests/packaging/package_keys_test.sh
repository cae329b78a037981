#!/bin/sh
# package_keys_test.sh SOURCE_DIR: scripts/package builds only with a release public key, or
# with an explicit --development-key; what a development key build makes is named so.
set -u
src=$1
command -v openssl >/dev/null || { echo "SKIP: openssl is not installed"; exit 77; }
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

openssl genpkey -algorithm ED25519 -out "$out/release.pem" 2>/dev/null
openssl pkey -in "$out/release.pem" -pubout -out "$out/release.pub.pem"
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 2>/dev/null | openssl pkey -pubout -out "$out/ec.pub.pem"

# refused EXPECTED-TEXT [ENV=VALUE] -- ARGS: scripts/package stops at once, before it builds
# anything (a build folder of the test's own stays unmade).
refused() {
  text=$1; shift
  key_env=$1; shift
  rc=0
  env -u CORVANE_UPDATE_PUBLIC_KEY $key_env BUILD_DIR="$out/build" timeout 60 "$src/scripts/package" "$@" \
    > "$out/stdout" 2> "$out/stderr" || rc=$?
  [ "$rc" -eq 2 ] || fail "scripts/package $*: exit $rc, not 2: $(cat "$out/stderr")"
  grep -qF -- "$text" "$out/stderr" || fail "scripts/package $*: no '$text' in: $(cat "$out/stderr")"
  [ ! -e "$out/build" ] || fail "scripts/package $*: it began to build"
  rm -rf "$out/build"
}
refused "CORVANE_UPDATE_PUBLIC_KEY=" ""
refused "--development-key" ""
refused "--development-key" "" --try
refused "holds a private key" "" --public-key "$out/release.pem"
refused "holds a private key" "CORVANE_UPDATE_PUBLIC_KEY=$out/release.pem"
refused "not an Ed25519 public key" "" --public-key "$out/ec.pub.pem"
refused "is not a file" "" --public-key "$out/missing.pem"
refused "exclude each other" "" --development-key --public-key "$out/release.pub.pem"
refused "for releases" "" --development-key --copy-signature "$out/release.pem"
refused "is not a file" "" --public-key "$out/release.pub.pem" --copy-signature "$out/missing.sig"

# A release build takes the installer copy's signature made on the signing machine only when it
# is the release key's signature of this build's manifest; without one it writes no Deployer.sig.
copy_manifest() {  # SIGNATURE: runs the build step on two small ELF files
  cmake -DACTION=copy-manifest -DOPENSSL="$(command -v openssl)" -DSTRIP="$(command -v strip)" \
    -DPROGRAM="$(readlink -f /bin/true)" -DLIBRARY="$(readlink -f /lib/x86_64-linux-gnu/libz.so.1)" \
    -DDIR="$out/copy" -DOUT="$out/copy/Deployer.sig" -DPRODUCT="{b1509fe0-9898-43e1-bcea-ab44a70e44ee}" \
    -DVERSION=1.2 -DTRUSTED="$out/release.pub.pem" -DKEY= -DSIGNATURE="$1" -DSTAMP="$out/copy/stamp" \
    -P "$src/cmake/UpdateSigningTasks.cmake" > "$out/copy.log" 2>&1
}
if command -v strip >/dev/null && [ -e /lib/x86_64-linux-gnu/libz.so.1 ]; then
  copy_manifest "" || fail "the copy manifest without a signature: $(cat "$out/copy.log")"
  [ ! -e "$out/copy/Deployer.sig" ] || fail "an unsigned release build wrote Deployer.sig"
  head -3 "$out/copy/Deployer.copy" | tr '\n' '|' | grep -qx \
    "Corvane installer copy 1|product {B1509FE0-9898-43E1-BCEA-AB44A70E44EE}|version 1.2.0.0|" ||
    fail "manifest: $(cat "$out/copy/Deployer.copy")"
  openssl pkeyutl -sign -rawin -inkey "$out/release.pem" -in "$out/copy/Deployer.copy" -out "$out/good.sig"
  copy_manifest "$out/good.sig" || fail "the release key's signature was refused: $(cat "$out/copy.log")"
  [ "$(head -c "$(stat -c %s "$out/copy/Deployer.copy")" "$out/copy/Deployer.sig" | sha256sum)" = \
    "$(sha256sum < "$out/copy/Deployer.copy")" ] || fail "Deployer.sig does not begin with the manifest"
  [ "$(tail -c 64 "$out/copy/Deployer.sig" | sha256sum)" = "$(sha256sum < "$out/good.sig")" ] ||
    fail "Deployer.sig does not end with the signature"
  openssl genpkey -algorithm ED25519 -out "$out/other.pem" 2>/dev/null
  openssl pkeyutl -sign -rawin -inkey "$out/other.pem" -in "$out/copy/Deployer.copy" -out "$out/bad.sig"
  if copy_manifest "$out/bad.sig"; then fail "another key's signature was taken"; fi
  grep -q "is not the release key's signature" "$out/copy.log" || fail "no reason given: $(cat "$out/copy.log")"
  [ ! -e "$out/copy/Deployer.sig" ] || fail "a refused signature left Deployer.sig"
fi

# What the two kinds of build make: the package version and the wizard's footer.
configured() {  # FOLDER KEY
  cmake -S "$src" -B "$1" -G Ninja "-DCORVANE_UPDATE_PUBLIC_KEY=$2" > "$1.log" 2>&1 ||
    { cat "$1.log"; fail "configuring with key '$2'"; return 1; }
}
version=$(sed -n 's/^project(Deployer VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
if configured "$out/release" "$out/release.pub.pem"; then
  grep -qx "set(CPACK_PACKAGE_VERSION \"$version\")" "$out/release/CPackConfig.cmake" ||
    fail "release version: $(grep 'CPACK_PACKAGE_VERSION ' "$out/release/CPackConfig.cmake")"
  ! grep -q CV_DEVELOPMENT_KEY "$out/release/build.ninja" || fail "a release build says development build"
fi
if configured "$out/dev" ""; then
  grep -qx "set(CPACK_PACKAGE_VERSION \"$version~dev\")" "$out/dev/CPackConfig.cmake" ||
    fail "development version: $(grep 'CPACK_PACKAGE_VERSION ' "$out/dev/CPackConfig.cmake")"
  grep -q -- "-DCV_DEVELOPMENT_KEY" "$out/dev/build.ninja" || fail "a development build does not say so"
fi
[ "$failed" -eq 0 ] && echo "release keys checked"
exit "$failed"
