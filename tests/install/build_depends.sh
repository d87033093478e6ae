#!/usr/bin/env bash
# debian/control's Build-Depends and scripts/setup name the same build
# packages: a library added to one for the build must be added to the other,
# or the Debian package would not build on a clean machine.
#   build_depends.sh SOURCE_DIR
set -euo pipefail
source=$(cd "$1" && pwd)
status=0
fail() {
  echo "FAIL: $*" >&2
  status=1
}
build_depends=$(sed -n '/^Build-Depends:/,/^[A-Z]/p' "$source/debian/control" |
  sed -e 's/^Build-Depends://' -e '/^[A-Z]/d' | tr ',' '\n' | sed -e 's/(.*)//' -e 's/ //g' |
  grep -v '^$' | sort -u)
setup=$(sed -n '/^packages=(/,/^)/p' "$source/scripts/setup" | sed -e '1d' -e '$d' |
  tr ' ' '\n' | grep -v '^$' | sort -u)
# In scripts/setup only: tools for the tests, the analysis and the packaging.
test_only=(build-essential git clang clang-tidy clang-format cppcheck libclang-rt-14-dev
  libgtest-dev libgmock-dev googletest binutils libxml2-utils xvfb xauth dbus-daemon
  openbox x11-utils xdotool openssl
  ccache sqlite3 python3-jsonschema umockdev libumockdev-dev devscripts lintian appstream
  desktop-file-utils man-db dpkg-dev fakeroot debhelper)
for p in $build_depends; do
  [ "$p" = debhelper-compat ] && continue
  grep -qx -- "$p" <<<"$setup" || fail "Build-Depends names $p, scripts/setup does not"
done
for p in $setup; do
  [[ " ${test_only[*]} " == *" $p "* ]] && continue
  grep -qx -- "$p" <<<"$build_depends" || fail "scripts/setup installs $p for the build, debian/control does not name it"
done
exit "$status"
