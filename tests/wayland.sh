#!/usr/bin/env bash
# The window on Wayland, natively, on a headless weston that this script
# starts and stops itself:
# - the window tests that drive it by the mouse (a headless compositor has
#   no keyboard) run on Qt's wayland platform: Apply writes, Ok ends, the
#   controls stand where they should;
# - the real program's own requests to the compositor (WAYLAND_DEBUG) show
#   its fixed size, its title, its app id (the launcher's name, by which the
#   desktop finds its icon) and its message as a child of its window.
#   (The window tests' own message, closed and then destroyed with its
#   window, once made Qt 6.4's Wayland client abort in a sanitizer build.)
# Usage: wayland.sh /path/to/tavorin-configurator /path/to/tst_frmmain
set -eEuo pipefail

binary=$(readlink -f "$1")
widgets=$(readlink -f "$2")
source "$(dirname "$(readlink -f "$0")")/../scripts/display.sh"
work=$(mktemp -d)
app_pid=

cleanup() {
    [ -n "$app_pid" ] && kill -9 "$app_pid" 2>/dev/null && wait "$app_pid" 2>/dev/null || true
    stop_servers
    rm -rf "$work"
}
trap cleanup EXIT

start_weston
export QT_QPA_PLATFORM=wayland
unset DISPLAY QT_SCALE_FACTOR

check "the window tests pass on Wayland" \
    "$widgets" applyOnFreshStartWritesDefaults okEndsWithoutSaving controlsAtTheirPixels

# The real program, beside a stored value it cannot show.
mkdir "$work/app"
cp "$binary" "$work/app/"
printf '[Tavorin]\r\nUseCard=6\r\n' >"$work/app/Setup.ini"
(cd "$work/app" && exec env WAYLAND_DEBUG=1 "$work/app/tavorin-configurator" 2>"$work/protocol.log") &
app_pid=$!
requests() { grep -E -- '-> xdg_toplevel@[0-9]+\.' "$work/protocol.log" || true; }
wait_for 15 eval 'requests | grep -q set_parent' || true
kill "$app_pid"
wait "$app_pid" 2>/dev/null || true
app_pid=

main=$(requests | sed -n 's/.*-> \(xdg_toplevel@[0-9]*\)\.set_min_size(258, 177)$/\1/p' | head -n1)
echo "wayland: the window's requests: $(requests | grep "${main:-none}\." | sed 's/.*-> //' | tr '\n' ' ')"
check "the window is fixed at 258 x 177" \
    eval 'requests | grep -q "${main:-none}\.set_max_size(258, 177)"'
check "its title is \"Tavorin Configurator\"" \
    eval 'requests | grep -q "${main:-none}\.set_title(\"Tavorin Configurator\")"'
check "its app id is the launcher's, tavorin-configurator" \
    eval 'requests | grep -q "${main:-none}\.set_app_id(\"tavorin-configurator\")"'
check "the message about the stored value opens over it" \
    eval 'requests | grep -q "set_parent(${main:-none})"'

echo "wayland: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
