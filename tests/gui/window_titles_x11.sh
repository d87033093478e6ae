#!/usr/bin/env bash
# The desktop program's window titles as the window manager sees them: the
# built vkt-update-tool on the simulated radio under Xvfb with openbox, put
# into test mode by `vkt console` and into the login dialog by keys; each
# title is the name (_NET_WM_NAME) of a window in the manager's client list.
# Also: the window's alert on a console request ends by itself while another
# program keeps the focus.
#   window_titles_x11.sh BIN_DIR PACKAGE_DIR DATA_DIR
# Exits 77 (reported as skipped) when the X server or the window manager
# cannot be started here.
set -euo pipefail
bin=$1 package=$2 data=$3

skip() {
  echo "SKIPPED: $*"
  exit 77
}
fail() {
  echo "FAILED: $*"
  exit 1
}
for tool in Xvfb openbox xprop xdotool xmessage; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/setup installs it)"
done

work=$(mktemp -d)
pids=()
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

# Polls `$@` every 0.1 s for up to 30 s (the machine may be busy).
until_true() {
  local tries=300
  until "$@"; do
    ((--tries > 0)) || return 1
    sleep 0.1
  done
}

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb=$!
pids+=("$xvfb")
# Done waiting once the display is known or the server has given up.
xvfb_settled() {
  test -s "$work/display" || ! kill -0 "$xvfb" 2>/dev/null
}
until_true xvfb_settled && test -s "$work/display" ||
  skip "Xvfb did not start: $(tail -3 "$work/xvfb.log")"
export DISPLAY=:$(head -1 "$work/display")
openbox --sm-disable >"$work/openbox.log" 2>&1 &
pids+=($!)
wm_ready() {
  xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'
}
until_true wm_ready ||
  skip "openbox did not start: $(tail -3 "$work/openbox.log")"

# The windows the manager lists, in the order they were mapped, one
# "id<TAB>title" line each.
clients() {
  local id
  for id in $(xprop -root _NET_CLIENT_LIST | sed -n 's/.*# //p' | tr -d ,); do
    printf '%s\t%s\n' "$id" "$(xdotool getwindowname "$id" 2>/dev/null || true)"
  done
}
# Id of the first listed window whose title is exactly $1.
window_titled() {
  clients | awk -F '\t' -v t="$1" '$2 == t { print $1; exit }'
}
has_window_titled() {
  [ -n "$(window_titled "$1")" ]
}
expect_title() {
  until_true has_window_titled "$1" ||
    fail "no window titled \"$1\"; the window manager lists:$(printf '\n%s' "$(clients)")"
  echo "ok: \"$1\""
}
demands_attention() {
  xprop -id "$1" _NET_WM_STATE | grep -q _NET_WM_STATE_DEMANDS_ATTENTION
}
count_titled() {
  clients | awk -F '\t' -v t="$1" '$2 == t { n++ } END { print n + 0 }'
}

cp -r "$data" "$work/appdata"
mkdir -m 700 "$work/run"
export XDG_RUNTIME_DIR=$work/run QT_QPA_PLATFORM=xcb
"$bin/vkt-update-tool" --simulate --no-splash --package "$package" \
  --data-dir "$work/appdata" >"$work/tool.log" 2>&1 &
pids+=($!)
tool_title="EMEA VKT Update Tool"
expect_title "$tool_title"
main=$(window_titled "$tool_title")

# Test mode: the tool asks first (a box with the tool's title); Enter says Yes.
"$bin/vkt" console enter-test --wait 30 >"$work/enter.log" 2>&1 &
enter=$!
pids+=("$enter")
two_titled() {
  [ "$(count_titled "$tool_title")" -eq 2 ]
}
until_true two_titled || fail "the test-mode question did not open"
question=$(clients | awk -F '\t' -v t="$tool_title" -v m="$main" '$2 == t && $1 != m { print $1 }')
xdotool windowactivate --sync "$question" key Return
expect_title "$tool_title [Test mode]"
wait "$enter" || fail "vkt console enter-test: $(cat "$work/enter.log")"

# The login dialog, through the Setting menu's Dealer Login.
xdotool windowactivate --sync "$main"
xdotool key alt+s
sleep 0.5
xdotool key d
expect_title "Login"
xdotool key Escape
login_closed() {
  ! has_window_titled Login
}
until_true login_closed || fail "the login dialog did not close"

# Another program has the focus when the console leaves test mode: the
# tool's window asks for attention once, and stops by itself.
xmessage -title other "another program" 2>/dev/null &
pids+=($!)
until_true has_window_titled other || fail "xmessage did not open"
xdotool windowactivate --sync "$(window_titled other)"
"$bin/vkt" console exit-test --wait 30 >"$work/exit.log" || fail "vkt console exit-test: $(cat "$work/exit.log")"
expect_title "$tool_title"
until_true demands_attention "$main" || fail "the window did not ask for attention"
no_attention() {
  ! demands_attention "$main"
}
until_true no_attention || fail "the window still asks for attention after 30 s"
echo "ok: the alert ended by itself"
