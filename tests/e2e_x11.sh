#!/usr/bin/env bash
# End to end: the real executable, copied alone into a temporary folder,
# runs in a real X11 window on an Xvfb server that this script starts and
# stops itself, and is driven by the keyboard as a user would drive it.
# Usage: e2e_x11.sh /path/to/tavorin-configurator /path/to/build
set -eEuo pipefail

binary=$(readlink -f "$1")
build=$(readlink -f "$2")
here=$(dirname "$(readlink -f "$0")")
fake=$here/fake-tavorin.sh
source "$here/../scripts/display.sh"
source "$here/../scripts/i386.sh"
work=$(mktemp -d)
chmod 755 "$work"
mkdir "$work/logs"
app_pid=
prefix=

cleanup() {
    local status=$?
    # What the configurators printed, when something went wrong.
    if [ "$status" -ne 0 ] || [ "$failed" -gt 0 ]; then
        for log in "$work"/logs/*.log "$work"/xvfb.log; do
            [ -s "$log" ] && { echo "--- ${log#"$work"/}"; cat "$log"; }
        done
    fi
    [ -n "$app_pid" ] && kill -9 "$app_pid" 2>/dev/null || true
    # Every fake Tavorin notes its process id first; stop each one.
    find "$work" -name started.log -print0 2>/dev/null | while IFS= read -r -d '' log; do
        while IFS='|' read -r pid _; do kill -9 "$pid" 2>/dev/null || true; done <"$log"
    done
    # Every Wine process of the test's prefixes.
    for wineprefix in "$prefix" "$work/old-prefix"; do
        [ -d "$wineprefix" ] && WINEPREFIX="$wineprefix" timeout 60 wineserver -k 2>/dev/null || true
    done
    stop_servers
    # A folder the test made read-only could not be emptied otherwise.
    chmod -R u+w "$work" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'echo "e2e: stopped at line $LINENO: $BASH_COMMAND"' ERR

# --- the X server ------------------------------------------------------------
start_xvfb 800x600
export QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
unset QT_SCALE_FACTOR QT_FONT_DPI WAYLAND_DISPLAY

# --- helpers for one configurator --------------------------------------------
# A fresh folder holding only the configurator and a fake Tavorin.exe.
new_folder() {
    local dir="$work/$1"
    mkdir -p "$dir" "$dir/cwd"
    chmod 755 "$dir" "$dir/cwd"
    cp "$binary" "$dir/tavorin-configurator"
    install -m 755 "$fake" "$dir/Tavorin.exe"
    # A Tavorin.exe where the user starts the program must never run.
    install -m 755 "$fake" "$dir/cwd/Tavorin.exe"
}

# Starts the configurator of folder $1 from its cwd/ subfolder, as the
# user named by $2 when given, with app_path as its PATH, through
# app_wrapper (exec, and what runs it). What it prints goes to logs/.
app_path=/usr/bin:/bin
app_wrapper=(exec)
app_log=
start_app() {
    local dir="$work/$1" log="$work/logs/${1//\//-}.log"
    app_log=$log
    if [ -n "${2:-}" ]; then
        local runtime="$work/runtime-$2"
        mkdir -p -m 700 "$runtime"
        chown "$2" "$runtime"
        (cd "$dir/cwd" && exec setpriv --reuid="$2" --regid="$(id -g "$2")" --clear-groups \
            env HOME="$dir/cwd" XDG_RUNTIME_DIR="$runtime" PATH="$app_path" "$dir/tavorin-configurator" 2>"$log") &
    else
        (cd "$dir/cwd" && "${app_wrapper[@]}" env PATH="$app_path" "$dir/tavorin-configurator" 2>"$log") &
    fi
    app_pid=$!
}

# The ids of the configurator's visible windows called "Tavorin Configurator".
app_windows() {
    xdotool search --onlyvisible --pid "$app_pid" --name '^Tavorin Configurator$' 2>/dev/null || true
}
window_size() { xdotool getwindowgeometry "$1" | awk '/Geometry/ { print $2 }'; }

# The main window (258 x 177, or main_size) or, with "box", the message
# box above it.
main_size=258x177
find_window() {
    local id
    for id in $(app_windows); do
        if [ "$(window_size "$id")" = "$main_size" ]; then
            [ "$1" = main ] && echo "$id" && return 0
        else
            [ "$1" = box ] && echo "$id" && return 0
        fi
    done
    return 1
}
has_window() { find_window "$1" >/dev/null; }

# Gives the window the focus. Another program's window (Wine's, while it
# updates its prefix) can come and go meanwhile, so it tries again.
focus() {
    local id
    for _ in 1 2 3; do
        wait_for 10 has_window "$1" || return 1
        id=$(find_window "$1") || continue
        timeout 5 xdotool windowfocus --sync "$id" && break
        sleep 0.5
    done
    sleep 0.2
}
keys() { xdotool key --delay 60 "$@"; sleep 0.3; }
# The names in a folder, in the same order in every locale.
listing() { ls -A "$1" | LC_ALL=C sort | tr '\n' ' '; }

file_is() { [ "$(od -c "$1" 2>/dev/null)" = "$(printf "$2" | od -c)" ]; }
lines_in() { [ -f "$1" ] && [ "$(wc -l <"$1")" -eq "$2" ]; }
running() { kill -0 "$app_pid" 2>/dev/null; }
ended_with() { # waits for the configurator to end, then compares its status
    wait_for 10 eval '! running' || return 1
    local status=0
    wait "$app_pid" || status=$?
    app_pid=
    [ "$status" -eq "$1" ]
}

# --- 0. No display at all -------------------------------------------------------
no_display=$(cd "$work" && env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$binary" 2>&1; echo "status $?")
check "without a display it says so, and ends with status 1" \
    eval '[[ "$no_display" == *"no display was found"*"status 1" ]]'
# A display left over from another session, that no server serves.
gone=$(cd "$work" && env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY=:4242 "$binary" 2>&1; echo "status $?")
check "with a display that cannot be reached it names it, and ends with status 1 ($gone)" \
    eval '[[ "$gone" == *"the display could not be opened (DISPLAY=:4242)"*"status 1" ]]'

# --- 1. A fresh folder: choose by keyboard, Apply, Run, Ok ---------------------
new_folder fresh
start_app fresh
check "the window opens at 258 x 177" wait_for 15 has_window main
focus main
# The focus starts on the graphics card: 1 -> 2; depth 16 -> 24; sync rate 75.
keys Down Tab Down Tab 7 5 Tab Tab space
expected='[Tavorin]\r\nUseCard=2\r\nUseDepth=24\r\nSyncRate=75\r\nShowHelp=1\r\nShowMode=1\r\n'
check "Apply (Space on the focused button) writes the five settings" wait_for 5 file_is "$work/fresh/Setup.ini" "$expected"
keys shift+Tab Return
check "Enter on Run starts the Tavorin.exe beside the configurator" wait_for 5 lines_in "$work/fresh/started.log" 1
keys Escape
check "Escape on a button does nothing" running
keys Tab Tab Return
check "Ok ends the configurator with status 0" ended_with 0
tavorin_pid=$(cut -d'|' -f1 "$work/fresh/started.log")
check "Tavorin runs on after the configurator ended" kill -0 "$tavorin_pid"
check "Tavorin inherited the working directory" grep -q "|$work/fresh/cwd|" "$work/fresh/started.log"
check "the Tavorin.exe in the current directory never ran" test ! -e "$work/fresh/cwd/started.log"
check "Run and Ok did not touch Setup.ini" file_is "$work/fresh/Setup.ini" "$expected"

# --- 2. A stored value the window cannot show -------------------------------
new_folder rejected
printf '[Tavorin]\r\nUseCard=6\r\nUseDepth=8\r\nShowMode=0\r\n' >"$work/rejected/Setup.ini"
start_app rejected
check "a stored UseCard=6 is reported in a message" wait_for 15 has_window box
focus box
keys Return
check "the window still opens" wait_for 10 has_window main
focus main
keys Tab Tab Tab Tab space
check "Apply saves the unchosen card as 0 and keeps the other rows" wait_for 5 file_is \
    "$work/rejected/Setup.ini" '[Tavorin]\r\nUseCard=0\r\nUseDepth=8\r\nShowMode=0\r\nSyncRate=0\r\nShowHelp=1\r\n'
keys Tab Return
check "Ok ends it" ended_with 0

# --- 3. A file and folder the user may not write ------------------------------
# (A file that the user may write is saved in place even in such a folder.)
new_folder readonly
printf '[Tavorin]\r\nUseCard=3\r\n' >"$work/readonly/Setup.ini"
user= # this user, with a file and folder it may not write
if [ "$(id -u)" -eq 0 ]; then
    user=nobody # root ignores permission bits; a real user does not
else
    chmod 444 "$work/readonly/Setup.ini"
    chmod 555 "$work/readonly"
fi
before=$(stat -c '%i %a' "$work/readonly/Setup.ini")
start_app readonly "$user"
check "the window opens for ${user:-$(id -un)}" wait_for 15 has_window main
focus main
keys Down Tab Tab Tab Tab space
check "a failed Apply is reported in a message" wait_for 5 has_window box
focus box
keys Return
check "the configurator stays open" running
check "Setup.ini is byte-identical, same inode and mode" \
    eval "file_is '$work/readonly/Setup.ini' '[Tavorin]\r\nUseCard=3\r\n' && [ \"\$(stat -c '%i %a' '$work/readonly/Setup.ini')\" = '$before' ]"
check "no temporary file was left" test "$(listing "$work/readonly")" = "Setup.ini Tavorin.exe cwd tavorin-configurator "
focus main
keys Tab Return
check "Ok still ends it" ended_with 0
chmod 755 "$work/readonly"

# --- 4. Installed into Tavorin's folder, started from its launcher ------------
folder="$work/Tavorin: Games"
mkdir -p "$folder"
install -m 755 "$fake" "$folder/Tavorin.exe"
chmod 755 "$work" "$folder"
export XDG_DATA_HOME="$work/data"
# Without Tavorin's folder named, nothing is installed; nor is a launcher
# for a folder that holds no configurator yet.
default_install=$(cmake --install "$build" 2>&1 || echo "status $?")
check "an install without --prefix is refused, and asks for Tavorin's folder" \
    eval '[[ "$default_install" == *"Name Tavorin'"'"'s folder"*"status 1" ]]'
check "a launcher for a folder without the configurator installs nothing" \
    eval '! cmake --install "$build" --prefix "$folder" --component launcher >/dev/null 2>&1 && [ ! -e "$XDG_DATA_HOME" ]'
cmake --install "$build" --prefix "$folder" >"$work/install.log"
cmake --install "$build" --prefix "$folder" --component launcher >>"$work/install.log"
entry="$XDG_DATA_HOME/applications/tavorin-configurator.desktop"
check "the installed program and the built one have no run path" \
    eval '! readelf -d "$folder/tavorin-configurator" "$binary" | grep -q PATH'
check "the install put only the configurator into the folder" \
    test "$(listing "$folder")" = "Tavorin.exe tavorin-configurator "
check "the launcher entry passes desktop-file-validate" desktop-file-validate "$entry"
png_size() { od -An -tx1 -j16 -N8 "$1" | tr -d ' \n'; } # width and height in the PNG header
check "the theme has the 32 x 32 PNG icon" \
    test "$(png_size "$XDG_DATA_HOME/icons/hicolor/32x32/apps/tavorin-configurator.png")" = 0000002000000020
check "the theme has the scalable icon" grep -q '<svg' "$XDG_DATA_HOME/icons/hicolor/scalable/apps/tavorin-configurator.svg"

# Start it as a launcher does: the Exec line, unescaped, in the Path folder,
# which holds a style plugin that someone put there.
mkdir "$folder/styles"
cp "$build/tests/libplanted-style.so" "$folder/styles/"
exec_line=$(sed -n 's/^Exec=//p' "$entry" | sed 's/\\\\/\\/g')
start_dir=$(sed -n 's/^Path=//p' "$entry" | sed 's/\\\\/\\/g')
eval "set -- $exec_line"
check "Exec names the installed configurator" test "$*" = "$folder/tavorin-configurator"
(cd "$start_dir" && exec env PATH=/usr/bin:/bin QT_STYLE_OVERRIDE=planted PLANTED_STYLE_MARK="$work/loaded" \
    "$@" 2>"$work/logs/launcher.log") &
app_pid=$!
check "the window opens from the launcher" wait_for 15 has_window main
check "no plugin was loaded from its folder, whose name holds the path separator ':'" test ! -e "$work/loaded"
wm_class=$(xprop -id "$(find_window main || echo 0)" WM_CLASS 2>/dev/null | sed 's/.*= //')
startup_class=$(sed -n 's/^StartupWMClass=//p' "$entry")
check "WM_CLASS ($wm_class) carries the entry's StartupWMClass ($startup_class)" \
    test "$wm_class" = "\"$startup_class\", \"$startup_class\""
focus main
keys Tab Tab Tab Return
check "Run starts the Tavorin.exe in that folder" wait_for 5 lines_in "$folder/started.log" 1
focus main
keys Tab Tab Return
check "Ok ends it" ended_with 0
while IFS='|' read -r pid _; do kill -9 "$pid" 2>/dev/null || true; done <"$folder/started.log"
cmake --build "$build" --target uninstall >>"$work/install.log"
check "the uninstall removes the launcher, its folders and the configurator, and nothing else" \
    eval '[ ! -e "$XDG_DATA_HOME" ] && [ "$(listing "$folder")" = "Tavorin.exe started.log styles " ]'
# The launcher installed three times within a second, each time for
# another folder: each entry names its own.
paths=
for n in 1 2 3; do
    mkdir -p "$work/again-$n"
    install -m 755 "$fake" "$work/again-$n/Tavorin.exe"
    cmake --install "$build" --prefix "$work/again-$n" >>"$work/install.log"
done
for n in 1 2 3; do
    cmake --install "$build" --prefix "$work/again-$n" --component launcher >>"$work/install.log"
    paths+="$(sed -n 's/^Path=//p' "$entry") "
done
check "a launcher installed three times within a second names each folder in turn" \
    test "$paths" = "$work/again-1 $work/again-2 $work/again-3 "
rm -rf "$XDG_DATA_HOME"
# A mistyped folder, which holds no Tavorin.exe; then a launcher under sudo,
# which would land in root's folders.
typo=$(cmake --install "$build" --prefix "$work/Tavorn" 2>&1)
check "an install into a folder without Tavorin.exe warns, naming it" \
    eval '[[ "$typo" == *"$work/Tavorn holds no Tavorin.exe"* && "$typo" == *"it works on $work/Tavorn/Setup.ini"* ]]'
cmake --build "$build" --target uninstall >>"$work/install.log"
if [ "$(id -u)" -eq 0 ]; then
    sudo_launcher=$(SUDO_USER=someone cmake --install "$build" --prefix "$folder" --component launcher 2>&1 || echo "status $?")
    check "a launcher under sudo is refused, and installs nothing" \
        eval '[[ "$sudo_launcher" == *"install it as"*"someone, without sudo"*"status 1" ]] && [ ! -e "$XDG_DATA_HOME" ]'
    # A user's install from this build folder, which root made: refused
    # before anything is copied, since it could not record what it installed.
    mkdir -m 777 "$work/users-folder"
    install -m 755 "$fake" "$work/users-folder/Tavorin.exe"
    users_install=$(setpriv --reuid=65534 --regid=65534 --clear-groups \
        cmake --install "$build" --prefix "$work/users-folder" 2>&1 || echo "status $?")
    users_install=$(echo $users_install) # CMake's line breaks, as spaces
    check "a user's install from root's build folder is refused, naming the cause, and copies nothing" \
        eval '[[ "$users_install" == *"Nothing was installed: $build belongs to root,"*"status 1" ]] \
            && [ "$(listing "$work/users-folder")" = "Tavorin.exe " ]'
fi

# --- 5. Twice the size on a high-DPI screen ----------------------------------
new_folder scaled
main_size=516x354
export QT_SCALE_FACTOR=2
start_app scaled
unset QT_SCALE_FACTOR
check "with QT_SCALE_FACTOR=2 the window opens at 516 x 354" wait_for 15 has_window main
icon_sizes=$(xprop -id "$(find_window main || echo 0)" _NET_WM_ICON 2>/dev/null | sed -n 's/.*Icon (\([0-9]*\) x [0-9]*).*/\1/p' | sort -n | tr '\n' ' ')
check "the window offers its icon at 64 pixels, drawn from the SVG (it has: $icon_sizes)" \
    eval '[[ " $icon_sizes" == *" 64 "* ]]'
focus main
keys Tab Tab Tab Tab Tab Return
check "Ok ends it" ended_with 0
main_size=258x177
# A resolution that would scale the window to some seven times the screen's
# width: the whole window is on the screen, filling most of its width.
on_screen() {
    local id size
    for id in $(app_windows); do
        size=$(window_size "$id")
        [ "${size%x*}" -gt 700 ] && [ "${size%x*}" -le 800 ] && [ "${size#*x}" -le 600 ] && return 0
    done
    return 1
}
new_folder dpi
export QT_FONT_DPI=2000
start_app dpi
unset QT_FONT_DPI
check "with QT_FONT_DPI=2000 the whole window is on the 800 x 600 screen" wait_for 15 on_screen
kill "$app_pid" && wait "$app_pid" || true
app_pid=

# --- 6. The program's own folder, found by the kernel, trusted for nothing ---
# A folder whose name is not UTF-8 (from an old archive), holding a style
# plugin and a qt.conf that sends Qt to another, as does the current
# directory (Qt, unable to name the program file, would look there); the configurator started
# with its standard descriptors closed; its program file deleted while it
# runs, as an upgrade does.
odd=$'Spiele\xe4'
new_folder "$odd"
mkdir -p "$work/$odd/styles" "$work/$odd/cwd/styles" "$work/plugins/styles"
cp "$build/tests/libplanted-style.so" "$work/$odd/styles/"
cp "$build/tests/libplanted-style.so" "$work/$odd/cwd/styles/"
cp "$build/tests/libplanted-style.so" "$work/plugins/styles/"
printf '[Paths]\nPlugins=%s\n' "$work/plugins" >"$work/$odd/qt.conf"
(cd "$work/$odd/cwd" && exec env PATH="$app_path" QT_STYLE_OVERRIDE=planted PLANTED_STYLE_MARK="$work/loaded" \
    "$work/$odd/tavorin-configurator" <&- >&- 2>&-) &
app_pid=$!
check "the window opens in a folder whose name is not UTF-8" wait_for 15 has_window main
check "no plugin was loaded from the program's folder, by its qt.conf or from the current directory" \
    test ! -e "$work/loaded"
rm "$work/$odd/tavorin-configurator"
focus main
keys Down Tab Tab Tab Tab space
check "Apply saves into that folder, with the program file gone" wait_for 5 file_is "$work/$odd/Setup.ini" \
    '[Tavorin]\r\nUseCard=2\r\nUseDepth=16\r\nSyncRate=0\r\nShowHelp=1\r\nShowMode=1\r\n'
check "and nowhere else" test ! -e /Setup.ini
keys shift+Tab Return
check "Run starts the Tavorin.exe in that folder" wait_for 5 lines_in "$work/$odd/started.log" 1
check "with its standard descriptors open" test "$(cut -d'|' -f4 "$work/$odd/started.log")" = 012
# A Windows Tavorin there: Wine takes only UTF-8 names.
cp "$build/tests/fake-tavorin.exe" "$work/$odd/Tavorin.exe"
keys Return
check "Run says that Wine cannot take the folder's name" wait_for 5 has_window box
focus box
keys Return
focus main
keys Tab Tab Return
check "Ok ends it" ended_with 0

# --- 7. A Windows Tavorin under Wine -------------------------------------------
# Installed beside the configurator inside a fresh private prefix's drive_c,
# without an execute bit, as a file copied from Windows is. Wine writes
# nothing outside the test's folder.
# Wine says why it fails, but not what it leaves undone (as by default).
export HOME="$work/home" TMPDIR="$work/tmp" WINEDEBUG=fixme-all WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=;mshtml="
mkdir -p "$HOME" "$TMPDIR"
prefix="$work/prefix"
# Whether this computer runs 32-bit programs; where it does not, Debian's
# wine command cannot work with 32-bit Wine installed, and Wine's tools
# run through the 64-bit loader, as Run does.
i386=0
runs_32bit_programs || i386=$?
if [ "$i386" -ne 1 ]; then
    echo "e2e: this computer runs 32-bit programs"
    no32=
    wine_tool=()
else
    echo "e2e: this computer runs no 32-bit programs"
    no32="this computer runs no 32-bit programs"
    wine_tool=(env WINELOADER=/usr/lib/wine/wine64 /usr/lib/wine/wine64)
fi
# The registry reaches the disk when Wine's server ends.
WINEPREFIX="$prefix" timeout 300 "${wine_tool[@]}" wineboot -i >"$work/wineboot.log" 2>&1 || true
WINEPREFIX="$prefix" timeout 60 wineserver -w || true
check "Wine made a prefix" test -f "$prefix/system.reg"
# Tavorin's folder in a prefix: the configurator beside a copy of the
# Windows program $2, without an execute bit, as a file copied from Windows is.
windows_folder() {
    new_folder "$1"
    rm "$work/$1/Tavorin.exe"
    cp "$build/tests/$2" "$work/$1/Tavorin.exe"
    chmod 644 "$work/$1/Tavorin.exe"
}
# Closes the configurator's message box, and prints what the configurator
# printed so far: its messages, and what Wine said.
message_text() {
    focus box
    keys Return
    cat "$app_log"
}
# The command that runs what follows it in a mount namespace of its own,
# after the mounts $1, into the array "namespace". Another user does it as
# root of a user namespace of its own, then runs it as itself again in one
# inside that.
namespace_for() {
    if [ "$(id -u)" -eq 0 ]; then
        namespace=(unshare --mount --propagation private bash -c "$1"' && exec "$@"' -)
    else
        namespace=(unshare --user --map-root-user --mount --propagation private bash -c
            "$1"' && exec unshare --user --map-user="$1" --map-group="$2" "${@:3}"' - "$(id -u)" "$(id -g)")
    fi
}
# Runs "$@" where 32-bit Wine is hidden, as on an installation of Wine that
# runs only 64-bit programs: its 32-bit loader and the system's 32-bit
# libraries are out of sight.
without_wine32() {
    namespace_for 'mount --bind /dev/null /usr/lib/wine/wine && mount -t tmpfs none /usr/lib/i386-linux-gnu'
    "${namespace[@]}" "$@"
}
# The same, as on a computer that runs no 32-bit programs, with 32-bit Wine
# installed: Wine's 32-bit programs are replaced by one for another
# processor, which fails as they do there, with "Exec format error".
cp /bin/true "$work/arm64"
printf '\267\0' | dd of="$work/arm64" bs=1 seek=18 conv=notrunc status=none
without_32bit_programs() {
    namespace_for "mount --bind $work/arm64 /usr/lib/wine/wine && mount --bind $work/arm64 /usr/lib/wine/wineserver32"
    "${namespace[@]}" "$@"
}
wine32=
if [ -n "$no32" ]; then
    wine32=$no32
elif ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    wine32="32-bit Wine is not installed here"
elif ! without_wine32 true 2>/dev/null; then
    wine32="this user may not make a mount namespace, in which 32-bit Wine is hidden"
fi

# Applies settings (card 2, depth 24, the sync rate $2) and presses Run in
# the configurator of folder $1, then checks what the Windows Tavorin
# there read and how it was started.
run_windows_tavorin() {
    local folder="$work/$1" record
    check "the window opens inside the prefix" wait_for 15 has_window main
    focus main
    keys Down Tab Down Tab ctrl+a $(echo "$2" | sed 's/./& /g') Tab Tab space
    check "Apply writes the settings" wait_for 5 file_is "$folder/Setup.ini" \
        "[Tavorin]\r\nUseCard=2\r\nUseDepth=24\r\nSyncRate=$2\r\nShowHelp=1\r\nShowMode=1\r\n"
    popups() { xdotool search --onlyvisible --pid "$app_pid" 2>/dev/null | wc -l; }
    local before pressed opened early started
    before=$(popups)
    pressed=$(date +%s%N)
    keys shift+Tab Return Tab Tab Tab alt+Down
    # While Wine starts, the window answers: the show-help list opens.
    check "the window answers while Wine starts Tavorin" wait_for 2 eval '[ "$(popups)" -gt "$before" ]'
    opened=$(( ($(date +%s%N) - pressed) / 1000000 ))
    early=$( (cat "$folder/started.log" 2>/dev/null || true) | wc -l)
    keys Escape
    wait_for 120 lines_in "$folder/started.log" 1 || true
    started=$(( ($(date +%s%N) - pressed) / 1000000 ))
    echo "e2e: the list opened $opened ms after Run ($early Tavorin started by then); Tavorin started after $started ms"
    record=$(head -n1 "$folder/started.log" 2>/dev/null || true)
    echo "e2e: the Windows Tavorin ($3) recorded: $record"
    field() { printf '%s\n' "$record" | tr '|' '\n' | sed -n "s/^$1=//p"; }
    check "the $3 Tavorin read exactly what Apply wrote" \
        test "${record%%|*}" = "UseCard=2 UseDepth=24 SyncRate=$2 ShowHelp=1 ShowMode=1"
    check "it was started minimized (show state 2)" test "$(field show)" = 2
    check "in the configurator's working directory" test "$(field cwd)" = "C:\\${1#prefix/drive_c/}\\cwd"
    check "with no arguments" eval '[[ "$(field cmd)" =~ ^\"C:\\'"${1#prefix/drive_c/}"'\\Tavorin.exe\"\ *$ ]]'
    check "in its own prefix" test "$(readlink -f "$(field c)")" = "$(readlink -f "$prefix/drive_c")"
    focus main
    keys shift+Tab Return
    check "Ok ends it" ended_with 0
}

windows_folder prefix/drive_c/Tavorin fake-tavorin.exe
folder="$work/prefix/drive_c/Tavorin"
# Make Tavorin's start as slow as the first one in a new prefix: Wine has to
# start its server and update the prefix first.
WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
echo 0 >"$prefix/.update-timestamp"
# The environment names another prefix; Tavorin's own must win.
export WINEPREFIX="$work/elsewhere"
start_app prefix/drive_c/Tavorin
unset WINEPREFIX
run_windows_tavorin prefix/drive_c/Tavorin 75 64-bit
check "and not in the environment's" test ! -e "$work/elsewhere"

# The two failures a user can meet: no Wine, and a damaged Tavorin.exe.
app_path=/nonexistent
start_app prefix/drive_c/Tavorin
app_path=/usr/bin:/bin
check "the window opens without Wine on PATH" wait_for 15 has_window main
focus main
keys Tab Tab Tab Return
check "Run without Wine says so in a message" wait_for 5 has_window box
said=$(message_text)
check "which asks for Wine ($said)" eval '[[ "$said" == *"Wine, which runs Windows programs here, was not found"* ]]'
focus main
keys Tab Tab Return
check "Ok ends it" ended_with 0
# One cut short, as by a download that broke off, is refused before Wine
# is asked, which would show a dialog for each part it cannot load.
head -c 4096 "$build/tests/fake-tavorin.exe" >"$folder/Tavorin.exe"
start_app prefix/drive_c/Tavorin
check "the window opens beside a damaged Tavorin.exe" wait_for 15 has_window main
focus main
keys Tab Tab Tab Return
check "Run says at once that it is damaged" wait_for 5 has_window box
said=$(message_text)
check "before Wine is asked ($said)" eval '[[ "$said" == *"is damaged"* && "$said" != *"Wine said"* ]]'
focus main
keys Tab Tab Return
check "Ok ends it" ended_with 0
check "Tavorin started once in all" lines_in "$folder/started.log" 1

# One that cannot load: Wine's start ends well, and then the program fails.
windows_folder prefix/drive_c/Broken fake-tavorin-needs-library.exe
start_app prefix/drive_c/Broken
check "the window opens beside a Tavorin.exe that needs a missing library" wait_for 15 has_window main
focus main
keys Tab Tab Tab Return
check "its failure to load comes as a message" wait_for 60 has_window box
said=$(message_text)
check "that names the missing library, in Wine's own words ($said)" \
    eval '[[ "$said" == *"Wine could not start"*"Wine said:"*"tavorin-library.dll"*"not found"* ]]'
focus main
keys Tab Tab Return
check "Ok ends it" ended_with 0

# --- 8. A 32-bit Tavorin --------------------------------------------------------
windows_folder prefix/drive_c/Tavorin32 fake-tavorin32.exe
if [ -n "$wine32" ]; then
    echo "e2e: skipped the 32-bit Windows Tavorin: $wine32"
else
    start_app prefix/drive_c/Tavorin32
    run_windows_tavorin prefix/drive_c/Tavorin32 60 32-bit

    # Where Wine runs only 64-bit programs, Run says what to install.
    namespace_for 'mount --bind /dev/null /usr/lib/wine/wine && mount -t tmpfs none /usr/lib/i386-linux-gnu'
    app_wrapper=(exec "${namespace[@]}")
    start_app prefix/drive_c/Tavorin32
    app_wrapper=(exec)
    check "the window opens where Wine runs only 64-bit programs" wait_for 15 has_window main
    focus main
    keys Tab Tab Tab Return
    check "Run says so in a message" wait_for 5 has_window box
    said=$(message_text)
    check "that names the cause and the remedy ($said)" eval \
        '[[ "$said" == *"is a 32-bit Windows program, and the Wine installed here runs only 64-bit ones. Install 32-bit Wine"*"wine32:i386"* ]]'
    focus main
    keys Tab Tab Return
    check "Ok ends it" ended_with 0

    # A prefix made by such a Wine cannot run 32-bit programs; Run says so,
    # and what it advises repairs it.
    old="$work/old-prefix"
    without_wine32 env WINEPREFIX="$old" timeout 300 wineboot -i >"$work/wineboot-old.log" 2>&1 || true
    WINEPREFIX="$old" timeout 60 wineserver -w || true
    mkdir -p "$work/old-prefix/drive_c"
    windows_folder old-prefix/drive_c/Tavorin fake-tavorin32.exe
    start_app old-prefix/drive_c/Tavorin
    check "the window opens in a prefix that a 64-bit-only Wine made" wait_for 15 has_window main
    focus main
    keys Tab Tab Tab Return
    check "Run says what the prefix lacks" wait_for 5 has_window box
    said=$(message_text)
    check "and how to repair it ($said)" eval '[[ "$said" == *"was made by a Wine without 32-bit support"*"wineboot -u"* ]]'
    rm "$old/.update-timestamp"
    WINEPREFIX="$old" timeout 300 wineboot -u >>"$work/wineboot-old.log" 2>&1 || true
    focus main
    keys Return # the focus went back to Run
    check "once repaired as advised, Run starts the 32-bit Tavorin" wait_for 120 lines_in "$old/drive_c/Tavorin/started.log" 1
    focus main
    keys Tab Tab Return
    check "Ok ends it" ended_with 0
fi

# --- 9. A computer that runs no 32-bit programs ---------------------------------
# A 64-bit Tavorin still starts, and a 32-bit one is told the cause,
# without advice to install what is installed. Here for real; or as on
# such a computer: with Wine's 32-bit programs replaced by one for ARM64 in
# a mount namespace, and with every 32-bit program refused as such a
# kernel refuses it (without-i386.sh).
ways=()
if [ -n "$no32" ]; then
    ways+=(real)
else
    if without_32bit_programs true 2>/dev/null; then ways+=(loader); else
        echo "e2e: skipped Wine's 32-bit programs replaced: this user may not make a mount namespace"; fi
    if bash "$here/without-i386.sh" true 2>/dev/null; then ways+=(kernel); else
        echo "e2e: skipped a kernel without 32-bit programs: no user namespace with its own binary formats here"; fi
fi
for way in "${ways[@]}"; do
    case $way in
    real)
        app_wrapper=(exec)
        cause="this computer runs no 32-bit programs at all" ;;
    loader)
        namespace_for "mount --bind $work/arm64 /usr/lib/wine/wine && mount --bind $work/arm64 /usr/lib/wine/wineserver32"
        app_wrapper=(exec "${namespace[@]}")
        cause="is not a program this computer can run" ;;
    kernel)
        app_wrapper=(exec bash "$here/without-i386.sh")
        cause="this computer runs no 32-bit programs at all" ;;
    esac
    echo "e2e: without 32-bit programs ($way)"
    windows_folder "prefix/drive_c/Tavorin64-$way" fake-tavorin.exe
    start_app "prefix/drive_c/Tavorin64-$way"
    run_windows_tavorin "prefix/drive_c/Tavorin64-$way" 90 "64-bit, without 32-bit programs ($way),"
    start_app prefix/drive_c/Tavorin32
    check "the window opens beside a 32-bit Tavorin.exe ($way)" wait_for 15 has_window main
    focus main
    keys Tab Tab Tab Return
    check "Run says why it cannot start it" wait_for 5 has_window box
    said=$(message_text)
    echo "e2e: what Run said of a 32-bit Tavorin, without 32-bit programs ($way): $said"
    check "the cause ($cause)" eval '[[ "$said" == *"$cause"* ]]'
    check "and no advice to install 32-bit Wine" eval '[[ "$said" != *"Install 32-bit Wine"* && "$said" != *"wine32 is missing"* ]]'
    focus main
    keys Tab Tab Return
    check "Ok ends it" ended_with 0
done
app_wrapper=(exec)

echo "e2e: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
