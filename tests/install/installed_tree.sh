#!/usr/bin/env bash
# The installed tree, as a new user meets it:
#   installed_tree.sh BUILD_DIR SOURCE_DIR VERSION APP_ID
# installs the build into a temporary DESTDIR (prefix /usr, stripped), checks
# its layout, that no installed program names the build or source tree, the
# desktop entry, metainfo, manual pages and bash completion; then, with a
# fresh HOME and the build and source trees hidden under empty folders (a
# private mount namespace), runs the installed programs: --version of all
# three, --help of the desktop program without a display, a simulated radio
# read and update, and the desktop program's first start on the offscreen
# platform (the setup file is created from the template; a second start
# hands over to the first).
set -euo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
version=$3
app_id=$4

fail() {
  echo "FAIL: $*" >&2
  exit 1
}
work=$(mktemp -d "${TMPDIR:-/tmp}/vkt-install-XXXXXX")
trap 'rm -rf "$work"' EXIT
case $work/ in
  "$source"/* | "$build"/*) fail "the temporary folder $work lies in the tree that gets hidden" ;;
esac

root=$work/root
DESTDIR=$root cmake --install "$build" --prefix /usr --strip >"$work/install.log" ||
  fail "cmake --install: $(cat "$work/install.log")"
usr=$root/usr
share=$usr/share/vkt-update-tool
gui=0
[ -x "$usr/bin/vkt-update-tool" ] && gui=1

echo "== layout"
expected=(
  bin/vkt bin/vkt-radio-sim
  share/vkt-update-tool/data/config.xml share/vkt-update-tool/setup.dat
  share/vkt-update-tool/demo/data/config.xml share/vkt-update-tool/demo/setup.dat
  share/man/man1/vkt.1 share/man/man1/vkt-update-tool.1 share/man/man1/vkt-radio-sim.1
  share/bash-completion/completions/vkt
)
if ((gui)); then
  expected+=(
    bin/vkt-update-tool
    share/vkt-update-tool/lang/de.qm share/vkt-update-tool/lang/en_us.html
    "share/applications/$app_id.desktop" "share/metainfo/$app_id.metainfo.xml"
    "share/icons/hicolor/scalable/apps/$app_id.svg"
    "share/icons/hicolor/48x48/apps/$app_id.png"
    "share/icons/hicolor/128x128/apps/$app_id.png"
    "share/icons/hicolor/256x256/apps/$app_id.png"
  )
fi
for f in "${expected[@]}"; do
  [ -f "$usr/$f" ] || fail "not installed: /usr/$f"
done
ls "$share"/data/*.ftf >/dev/null 2>&1 || fail "the shipped update package has no FTF files"
if junk=$(find "$root" -name CMakeFiles -o -name '*.cmake' -o -name '*.o' | grep .); then
  fail "build files installed: $junk"
fi
rules=$(find "$root" -path '*/udev/rules.d/*' -type f)
[ "$(basename "$rules")" = 70-vkt-cable.rules ] || fail "udev rule: '$rules'"

echo "== no build-tree path in the installed programs"
for exe in "$usr"/bin/*; do
  if found=$(strings -a "$exe" | grep -F -e "$build" -e "$source"); then
    fail "$exe holds the path $(head -n 1 <<<"$found")"
  fi
done

echo "== manual pages"
for page in vkt vkt-update-tool vkt-radio-sim; do
  warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
    man --warnings -E UTF-8 -l "$usr/share/man/man1/$page.1" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man $page: $warnings"
done

if ((gui)); then
  echo "== desktop entry and metainfo"
  desktop-file-validate "$usr/share/applications/$app_id.desktop" ||
    fail "desktop-file-validate"
  appstreamcli validate --no-net "$usr/share/metainfo/$app_id.metainfo.xml" ||
    fail "appstreamcli validate"
fi

echo "== bash completion"
complete_words() {
  PATH="$usr/bin:$PATH" bash -c '
    source "$1"; shift
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
    _vkt; printf "%s\n" "${COMPREPLY[@]}"' complete "$usr/share/bash-completion/completions/vkt" "$@"
}
grep -qx update <<<"$(complete_words vkt up)" || fail "vkt up<TAB> does not offer update"
grep -qx -- --package <<<"$(complete_words vkt --pa)" || fail "vkt --pa<TAB>"
grep -qx check <<<"$(complete_words vkt --package /tmp package "")" || fail "vkt package <TAB>"
grep -qx -- --yes <<<"$(complete_words vkt update --y)" || fail "vkt update --y<TAB>"

echo "== the installed programs, build tree hidden, fresh HOME"
# Run as a script text, not from a file: the file lies in the hidden tree.
inner=$(cat <<'INNER'
set -euo pipefail
fail() { echo "FAIL: $*" >&2; exit 1; }
usr=$1 version=$2 gui=$3 source=$4 build=$5
if [ "$source" != - ]; then
  mount -t tmpfs tmpfs "$source"
  case $build/ in "$source"/*) ;; *) mount -t tmpfs tmpfs "$build" ;; esac
  [ ! -e "$build/CMakeCache.txt" ] || fail "the build tree is still visible"
fi
cd "$HOME"
export PATH="$usr/bin:$PATH"

# Whether any value in a JSON object (at any depth) equals the text.
has_value() {
  python3 -c '
import json, sys
def values(v):
    if isinstance(v, dict):
        for x in v.values(): yield from values(x)
    elif isinstance(v, list):
        for x in v: yield from values(x)
    else:
        yield v
sys.exit(0 if sys.argv[1] in values(json.loads(sys.argv[2])) else 1)' "$1" "$2"
}
json_field() {
  python3 -c 'import json, sys; print(json.loads(sys.argv[1])[sys.argv[2]])' "$1" "$2"
}

for p in vkt vkt-radio-sim vkt-update-tool; do
  [ "$p" != vkt-update-tool ] || [ "$gui" = 1 ] || continue
  out=$("$p" --version) || fail "$p --version exits $?"
  [ "$out" = "$p $version" ] || fail "$p --version prints '$out'"
done
if [ "$gui" = 1 ]; then
  # No display: help and version must not need one.
  out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM vkt-update-tool --help) ||
    fail "vkt-update-tool --help exits $?"
  grep -q -- --simulate <<<"$out" || fail "vkt-update-tool --help: $out"
fi

data=$HOME/.local/share/vkt-update-tool
if [ "$gui" = 1 ]; then
  # The desktop program's first start with the package it ships: the setup
  # file appears, the console socket listens once the window is up.
  export QT_QPA_PLATFORM=offscreen
  vkt-update-tool --no-splash >"$HOME/gui.out" 2>&1 &
  pid=$!
  for _ in $(seq 1 300); do
    compgen -G "$XDG_RUNTIME_DIR/*.sock" >/dev/null && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$pid" 2>/dev/null || fail "vkt-update-tool ended: $(cat "$HOME/gui.out")"
  compgen -G "$XDG_RUNTIME_DIR/*.sock" >/dev/null || fail "vkt-update-tool did not come up"
  [ -f "$data/data/setup.dat" ] || fail "the desktop program made no setup file"
  grep -q "First start" "$data/log/err.log" || fail "the desktop's first start is not logged"
  timeout 30 vkt-update-tool --no-splash || fail "a second start did not hand over (exit $?)"
  kill -0 "$pid" 2>/dev/null || fail "the first desktop program ended"
  kill -TERM "$pid"
  wait "$pid" || true
fi
out=$(vkt --simulate info --json) || fail "vkt --simulate info: exit $?: $out"
[ "$(json_field "$out" ok)" = True ] || fail "info: $out"
has_value "$version" "$out" || fail "info --json carries no version $version: $out"
[ -f "$data/simulate/data/setup.dat" ] || fail "no setup file made in $data/simulate"
grep -q "First start" "$data/simulate/log/err.log" || fail "the first start is not logged"
out=$(vkt --simulate update --yes --json) || fail "vkt --simulate update: exit $?: $out"
has_value "Update successful." "$out" || fail "update: $out"
has_value "$version" "$out" || fail "update --json carries no version: $out"
out=$(vkt --simulate info --json)
has_value R01.02.04 "$out" || fail "info after the update: $out"

echo "installed programs: all checks passed"
INNER
)
mkdir -p "$work/home" "$work/run"
chmod 700 "$work/run"
ns=()
hide=("$source" "$build")
if [ "$(id -u)" = 0 ] && unshare -m true 2>/dev/null; then
  ns=(unshare -m)
elif unshare -r -m true 2>/dev/null; then
  ns=(unshare -r -m)
else
  echo "note: no mount namespace here; the build tree stays visible (the path check above still holds)"
  hide=(- -)
fi
"${ns[@]}" env -i PATH=/usr/bin:/bin HOME="$work/home" XDG_RUNTIME_DIR="$work/run" LANG=C.UTF-8 \
  bash -c "$inner" inner "$usr" "$version" "$gui" "${hide[@]}"
