#!/usr/bin/env bash
# The Debian package, as built by scripts/package:
#   deb_package.sh DEB SOURCE_DIR
# checks its version and contents (dpkg-deb), runs its programs from a
# dpkg -x root with a fresh HOME, runs lintian (no errors, and no warning
# that debian/vkt-update-tool.lintian-overrides does not accept with a
# reason).
set -euo pipefail
deb=$1
source=$(cd "$2" && pwd)
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
work=$(mktemp -d "${TMPDIR:-/tmp}/vkt-deb-XXXXXX")
trap 'rm -rf "$work"' EXIT

version=$(sed -n 's/^project(vkt VERSION \([0-9.]*\).*/\1/p' "$source/CMakeLists.txt")
app_id=$(sed -n 's/^set(VKT_APP_ID \(.*\))$/\1/p' "$source/CMakeLists.txt")
deb_version=$(dpkg-deb -f "$deb" Version)
case $deb_version in
  "$version" | "$version"+*) ;;
  *) fail "the package's version $deb_version is not the project's $version" ;;
esac

echo "== contents"
dpkg-deb -c "$deb" | awk '{print $NF}' | sed 's|^\./|/|' >"$work/list"
for f in /usr/bin/vkt /usr/bin/vkt-update-tool /usr/bin/vkt-radio-sim \
  /usr/share/vkt-update-tool/data/config.xml /usr/share/vkt-update-tool/setup.dat \
  /usr/share/vkt-update-tool/demo/data/config.xml /usr/share/vkt-update-tool/demo/setup.dat \
  /usr/share/vkt-update-tool/lang/de.qm /usr/share/vkt-update-tool/lang/en_us.html \
  "/usr/share/applications/$app_id.desktop" "/usr/share/metainfo/$app_id.metainfo.xml" \
  "/usr/share/icons/hicolor/scalable/apps/$app_id.svg" \
  "/usr/share/icons/hicolor/48x48/apps/$app_id.png" \
  /usr/share/man/man1/vkt.1.gz /usr/share/man/man1/vkt-update-tool.1.gz \
  /usr/share/man/man1/vkt-radio-sim.1.gz /usr/share/bash-completion/completions/vkt \
  /lib/udev/rules.d/70-vkt-cable.rules /usr/share/doc/vkt-update-tool/copyright; do
  grep -qx -- "$f" "$work/list" || fail "not in the package: $f"
done
if grep -E '^/usr/(include|lib/.*\.a$)|gtest|/build|CMakeFiles|\.cmake$' "$work/list"; then
  fail "the package holds files that belong to the build"
fi

echo "== the programs of the unpacked package"
dpkg -x "$deb" "$work/root"
mkdir -p "$work/home"
run() { env -i PATH=/usr/bin:/bin HOME="$work/home" LANG=C.UTF-8 "$@"; }
for p in vkt vkt-update-tool vkt-radio-sim; do
  out=$(run "$work/root/usr/bin/$p" --version) || fail "$p --version exits $?"
  [ "$out" = "$p $version" ] || fail "$p --version prints '$out'"
done
out=$(run "$work/root/usr/bin/vkt" --simulate info) || fail "vkt --simulate info: $out"

echo "== lintian"
lintian --fail-on error,warning --info "$deb" || fail "lintian"

echo "package: all checks passed"
