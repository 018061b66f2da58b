#!/usr/bin/env bash
# Builds the Debian packages from this build tree, checks their metadata and
# files, unpacks both into a temporary root (no system install) and speaks a
# sentence with the packaged speech service, corvex-host and plugin.
#   packages_test.sh SOURCE_DIR BUILD_DIR VERSION
set -euo pipefail
source_dir=$1 build=$2 version=$3
tmp="$(realpath "$(mktemp -d)")"
service_pid=""
cleanup() {
  [ -z "$service_pid" ] || { kill "$service_pid" 2>/dev/null; wait "$service_pid" 2>/dev/null; } || true
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$source_dir/scripts/package" "$build" "$tmp/packages" >/dev/null

# check_package NAME FILES DEPENDS...: the package NAME has the version of
# the build, exactly the files FILES (sorted, one a line), depends on each
# of DEPENDS (extended regular expressions) and on no -dev package.
check_package() {
  local name=$1 files=$2 deb depends dependency
  shift 2
  deb="$tmp/packages/${name}_${version}_$(dpkg --print-architecture).deb"
  [ -f "$deb" ] || fail "no $deb among $(ls "$tmp/packages")"
  [ "$(dpkg-deb -f "$deb" Package)" = "$name" ] || fail "$deb is named $(dpkg-deb -f "$deb" Package)"
  [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "$name has version $(dpkg-deb -f "$deb" Version)"
  depends="$(dpkg-deb -f "$deb" Depends)"
  for dependency in "$@"; do
    grep -Eq "(^|, )$dependency( |,|$)" <<<"$depends" || fail "$name does not depend on $dependency: $depends"
  done
  ! grep -Eq -- '-dev( |,|$)' <<<"$depends" || fail "$name depends on a -dev package: $depends"
  [ "$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort)" = "$files" ] ||
    fail "$name holds other files than its layout:$(dpkg-deb -c "$deb")"
  dpkg-deb -x "$deb" "$tmp/root"
}

check_package tarnwickss "./usr/lib/corvex/plugins/tarnwickss.so
./usr/lib/tarnwickss/libBrillify.so
./usr/share/doc/tarnwickss/README.md
./usr/share/doc/tarnwickss/changelog.gz
./usr/share/doc/tarnwickss/copyright
./usr/share/tarnwickss/conf/credentials.json
./usr/share/tarnwickss/conf/tarnwickss.xml" libapr1 libaprutil1 libsoxr0 libcurl4 libssl3
check_package tarnwickss-tools "./usr/bin/corvex-host
./usr/bin/tarnwickss-speech-service
./usr/lib/tarnwickss/libcorvexserver.so
./usr/share/doc/tarnwickss-tools/changelog.gz
./usr/share/doc/tarnwickss-tools/copyright
./usr/share/man/man1/corvex-host.1.gz
./usr/share/man/man1/tarnwickss-speech-service.1.gz" "tarnwickss \(= $version\)" espeak-ng-data libespeak-ng1 libapr1

# Debian's own checks, where lintian is installed (scripts/setup installs
# it): any error fails; warnings are printed.
if command -v lintian >/dev/null; then
  lintian --allow-root --fail-on error "$tmp"/packages/*.deb >"$tmp/lintian.out" 2>&1 ||
    fail "lintian reports errors:
$(cat "$tmp/lintian.out")"
  cat "$tmp/lintian.out"
fi

# The packaged programs use the packaged libraries and plugin, not the build
# tree's.
prefix="$tmp/root/usr"
resolved() { ldd "$1" | awk -v lib="$2" '$1 == lib { print $3 }' | xargs -r realpath; }
[ "$(resolved "$prefix/bin/corvex-host" libcorvexserver.so)" = "$prefix/lib/tarnwickss/libcorvexserver.so" ] ||
  fail "corvex-host does not load the packaged libcorvexserver.so: $(ldd "$prefix/bin/corvex-host")"
for program in bin/tarnwickss-speech-service lib/corvex/plugins/tarnwickss.so; do
  [ "$(resolved "$prefix/$program" libBrillify.so)" = "$prefix/lib/tarnwickss/libBrillify.so" ] ||
    fail "$program does not load the packaged libBrillify.so: $(ldd "$prefix/$program")"
done
# (grep reads the whole text: stopping early would break corvex-host's pipe.)
"$prefix/bin/corvex-host" --help | grep -F "$prefix/lib/corvex/plugins/tarnwickss.so" >/dev/null ||
  fail "the packaged corvex-host does not default to the packaged plugin"

# The operator's part: a server root with the sample configuration and the
# sample credentials filled in for a speech service started here.
random_hex() { od -An -N"$1" -tx1 /dev/urandom | tr -d ' \n'; }
client_id="package-$(random_hex 6)" client_key="$(random_hex 24)"
printf '{"client-id": "%s", "client-key": "%s"}\n' "$client_id" "$client_key" >"$tmp/service-credentials.json"
"$prefix/bin/tarnwickss-speech-service" --credentials "$tmp/service-credentials.json" --listen 127.0.0.1:0 \
  --quiet >"$tmp/service.out" 2>"$tmp/service.err" &
service_pid=$!
for _ in $(seq 100); do
  [ -s "$tmp/service.out" ] && break
  kill -0 "$service_pid" 2>/dev/null || fail "the speech service stopped: $(cat "$tmp/service.err")"
  sleep 0.1
done
address="$(head -n 1 "$tmp/service.out")"
[ -n "$address" ] || fail "the speech service did not start"
mkdir -p "$tmp/server/conf" "$tmp/server/data"
cp "$prefix/share/tarnwickss/conf/tarnwickss.xml" "$tmp/server/conf/"
sed -e "s|your-client-id|$client_id|" -e "s|your-client-key|$client_key|" -e "s|http://127.0.0.1:8390|$address|" \
  "$prefix/share/tarnwickss/conf/credentials.json" >"$tmp/server/data/credentials.json"

"$prefix/bin/corvex-host" --root "$tmp/server" --speak "This plugin was installed from a package." \
  --wav "$tmp/speech.wav" >"$tmp/host.out" 2>&1 || fail "the SPEAK did not complete: $(cat "$tmp/host.out")"
# More than half a second of 8000 Hz audio after the WAVE header.
[ "$(stat -c %s "$tmp/speech.wav")" -gt 8044 ] || fail "too little audio: $(cat "$tmp/host.out")"
echo "packages $version: metadata, files and an unpacked SPEAK are as expected"
