#!/usr/bin/env bash
# Runs the benchmarks of a build and prints their table: start-up time and
# memory of the configurator against a naive baseline and an empty window
# (on an Xvfb server that this script starts and stops), the profile
# operations against QSettings and a plain read, and Apply against one
# write. Writes the plot of operation time against file size as a PNG.
#
# Usage: run.sh [--smoke] <build dir> [<plot.png>]
# --smoke runs everything once, briefly, to show that it still works.
set -euo pipefail
# Numbers in one notation, whatever the user's locale: the benchmark tools
# read and write them with a decimal point.
export LC_ALL=C.UTF-8

runs=41
min_time=0.5
repetitions=5
pairs=15
# Run against the typed start, to Tavorin's window: 21 pairs cannot tell 2%
# on a quiet two-core machine, 41 can.
window_pairs=41
smoke=0
if [ "${1:-}" = --smoke ]; then
    smoke=1
    runs=1
    min_time=0.001
    repetitions=2
    pairs=1
    window_pairs=1
    shift
fi
build=$(readlink -f "$1")
source "$(dirname "$(readlink -f "$0")")/../scripts/display.sh"
source "$(dirname "$(readlink -f "$0")")/../scripts/i386.sh"
work=$(mktemp -d)
plot=${2:-$work/performance.png}

cleanup() {
    [ -d "$work/prefix" ] && WINEPREFIX="$work/prefix" TMPDIR="$work/tmp" timeout 60 wineserver -k 2>/dev/null || true
    stop_servers
    rm -rf "$work"
}
trap cleanup EXIT
# The toolkit's runtime folder, which it would otherwise leave in /tmp.
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"

# --- machine -------------------------------------------------------------------
cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n1)
echo "Machine: ${cpu:-unknown CPU}, $(nproc) cores, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo);" \
    "Linux $(uname -r); Qt $(dpkg-query -W -f='${Version}' libqt6core6 2>/dev/null || echo '(version unknown)')"
echo

# --- start-up ------------------------------------------------------------------
start_xvfb 800x600
export QT_QPA_PLATFORM=xcb

mkdir -p "$work/empty" "$work/typical"
cp "$build/tavorin-configurator" "$work/empty/"
cp "$build/tavorin-configurator" "$work/typical/"
printf '; Tavorin settings\r\n[Tavorin]\r\nUseCard=2\r\nUseDepth=24\r\nSyncRate=60\r\nShowHelp=0\r\nShowMode=1\r\n' \
    >"$work/typical/Setup.ini"
"$build/bench/bench-startup" "$runs" \
    "configurator=$work/empty/tavorin-configurator" \
    "configurator with Setup.ini=$work/typical/tavorin-configurator" \
    "baseline=$build/bench/bench-baseline" \
    "empty window=$build/bench/bench-emptywindow" >"$work/startup.tsv"

echo "Start-up: median of $runs runs each, taking turns; time from starting the process to its window being mapped"
echo
echo "| program | map time (ms) | peak memory (MiB) | time / baseline | memory / baseline | time / empty window | memory / empty window |"
echo "|---|---:|---:|---:|---:|---:|---:|"
awk -F'\t' '
    { name[NR] = $1; t[NR] = $2; m[NR] = $3; if ($1 == "baseline") { bt = $2; bm = $3 } if ($1 == "empty window") { et = $2; em = $3 } }
    END { for (i = 1; i <= NR; i++)
              printf "| %s | %.1f | %.1f | %.3f | %.3f | %.3f | %.3f |\n", name[i], t[i], m[i], t[i] / bt, m[i] / bm, t[i] / et, m[i] / em }
' "$work/startup.tsv"
echo

# --- start-up instructions -------------------------------------------------------
# Counted by callgrind, which, unlike the map time, does not depend on what
# else the machine does: everything from the start of the process until two
# seconds after its window is mapped, with no Setup.ini.
if command -v valgrind >/dev/null; then
    instructions() { # program
        local out="$work/callgrind.out" pid
        rm -f "$out"
        (cd "$work/empty" && exec valgrind --tool=callgrind --callgrind-out-file="$out" "$1" >/dev/null 2>&1) &
        pid=$!
        mapped() { xdotool search --onlyvisible --pid "$pid" --name '^Tavorin Configurator$' >/dev/null 2>&1; }
        wait_for 120 mapped || true
        sleep 2
        kill -TERM "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
        sed -n 's/^summary: //p' "$out"
    }
    configurator=$(instructions "$work/empty/tavorin-configurator")
    baseline=$(instructions "$build/bench/bench-baseline")
    echo "Start-up instructions, counted by callgrind until 2 s after the window is mapped"
    echo
    echo "| program | instructions (M) | / baseline |"
    echo "|---|---:|---:|"
    awk -v c="$configurator" -v b="$baseline" 'BEGIN {
        printf "| configurator | %.1f | %.3f |\n| baseline | %.1f | 1.000 |\n", c / 1e6, c / b, b / 1e6 }'
    echo
fi

# --- Run against Wine's own start ------------------------------------------------
# In a private prefix, with nothing written outside the benchmark's folder.
if [ -x "$build/bench/bench-launch" ] && [ -f "$build/tests/fake-tavorin.exe" ] && command -v wine >/dev/null; then
    # Wine's server keeps its socket under TMPDIR: that too in the bench's folder.
    export WINEPREFIX="$work/prefix" WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=;mshtml="
    export HOME="$work/home" TMPDIR="$work/tmp"
    mkdir -p "$HOME" "$TMPDIR"
    wine_tool=()
    status=0
    runs_32bit_programs || status=$?
    [ "$status" -ne 1 ] || wine_tool=(env WINELOADER=/usr/lib/wine/wine64 /usr/lib/wine/wine64)
    timeout 300 "${wine_tool[@]}" wineboot -i >"$work/wineboot.log" 2>&1 || true
    timeout 60 wineserver -w || true
    tavorin="$work/prefix/drive_c/Tavorin"
    mkdir -p "$tavorin"
    cp "$build/tests/fake-tavorin.exe" "$tavorin/Tavorin.exe"
    cp "$build/tests/fake-tavorin32.exe" "$tavorin/Tavorin32.exe"
    # What Wine says goes to a log of its own, shown only on a failure.
    "$build/bench/bench-launch" "$pairs" "$tavorin" "$work" >"$work/launch.tsv" \
        2>"$work/launch.log" || { echo "bench-launch failed:"; cat "$work/launch.tsv" "$work/launch.log"; exit 1; }
    unset WINEPREFIX WINEDLLOVERRIDES
    echo "Run, called directly, against the same \"wine start /min\" typed in a terminal, in the same prefix, taking"
    echo "turns: median of $pairs pairs, time until the 64-bit Windows Tavorin writes its first line to started.log"
    echo
    echo "| Wine's server | Run (ms) | terminal (ms) | Run / terminal |"
    echo "|---|---:|---:|---:|"
    for state in warm cold; do
        awk -F'\t' -v s="$state" '$1 == "pair" && $2 == s { print $3 }' "$work/launch.tsv" | sort -n >"$work/run.dat"
        awk -F'\t' -v s="$state" '$1 == "pair" && $2 == s { print $4 }' "$work/launch.tsv" | sort -n >"$work/terminal.dat"
        median() { awk '{ v[NR] = $1 } END { print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }' "$1"; }
        awk -v s="$state" -v r="$(median "$work/run.dat")" -v t="$(median "$work/terminal.dat")" \
            'BEGIN { printf "| %s | %.1f | %.1f | %.3f |\n", s == "warm" ? "running (warm)" : "stopped (cold)", r, t, r / t }'
    done
    echo
    echo "How long Run holds the window's thread, at most"
    echo
    echo "| Wine's loaders | held (ms) |"
    echo "|---|---:|"
    awk -F'\t' '$1 == "hold" { printf "| %s | %d |\n", $2, $3 }' "$work/launch.tsv"
    echo
fi

# --- Run against Wine's own start, to Tavorin's window ----------------------------------
# What the user sees: from a click on Run, in the real window, until the
# window manager takes on Tavorin's window, against the same typed in
# Tavorin's folder, with a Windows Tavorin that opens a window.
if [ -x "$build/bench/bench-window" ] && [ -f "$build/bench/tavorin-window.exe" ] && command -v wine >/dev/null \
    && command -v openbox >/dev/null; then
    export WINEPREFIX="$work/prefix" WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=;mshtml="
    export HOME="$work/home" TMPDIR="$work/tmp"
    mkdir -p "$HOME" "$TMPDIR"
    status=0
    runs_32bit_programs || status=$?
    typed=wine
    if [ "$status" -eq 1 ]; then
        typed=/usr/lib/wine/wine64
        export WINELOADER=$typed
    fi
    [ -d "$WINEPREFIX" ] || { timeout 300 "$typed" wineboot -i >"$work/wineboot.log" 2>&1 || true; }
    openbox >"$work/openbox.log" 2>&1 &
    server_pids+=($!)
    wm_up() { xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; }
    wait_for 20 wm_up || { echo "openbox did not start:"; cat "$work/openbox.log"; exit 1; }
    load_before=$(cut -d' ' -f1-3 /proc/loadavg)
    for kind in 64 32; do
        missing=
        if [ "$kind" = 32 ] && [ "$status" -eq 1 ]; then
            missing="this computer runs no 32-bit programs"
        elif [ "$kind" = 32 ] && ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
            missing="32-bit Wine (wine32:i386) is not installed here"
        fi
        if [ -n "$missing" ]; then
            echo "($kind-bit Tavorin: $missing, so that row cannot be measured here.)" >>"$work/window-missing.txt"
            continue
        fi
        folder="$WINEPREFIX/drive_c/Windowed$kind"
        mkdir -p "$folder"
        cp "$build/tavorin-configurator" "$folder/"
        cp "$build/bench/tavorin-window$([ "$kind" = 32 ] && echo 32).exe" "$folder/Tavorin.exe"
        QT_QPA_PLATFORM=xcb "$build/bench/bench-window" "$window_pairs" "$folder" "$typed" 2>"$work/window.log" \
            | sed "s/^/$kind\t/" >>"$work/window.tsv" \
            || { echo "bench-window failed:"; cat "$work/window.tsv" "$work/window.log"; exit 1; }
    done
    unset WINEPREFIX WINEDLLOVERRIDES WINELOADER
    echo "Run against the same \"wine start /min Tavorin.exe\" typed in Tavorin's folder, in the same prefix, taking"
    echo "turns: $window_pairs pairs each, from the click on Run (XTest) until the window manager (Openbox) sets WM_STATE on"
    echo "Tavorin's window; load average $load_before at the start, $(cut -d' ' -f1-3 /proc/loadavg) at the end"
    echo
    echo "| Tavorin | Wine's server | Run, median [min..max] (ms) | typed (ms) | ratio of medians | median of paired ratios |"
    echo "|---|---|---:|---:|---:|---:|"
    for kind in 64 32; do
        for state in warm cold; do
            awk -F'\t' -v k="$kind" -v s="$state" '$1 == k && $3 == s { print $4, $5, $4 / $5 }' "$work/window.tsv" \
                >"$work/window-row.dat"
            [ -s "$work/window-row.dat" ] || continue
            awk -v k="$kind" -v s="$state" '
                function median(v, n) { return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2 }
                function sorted(v, n,   i, j, t) {
                    for (i = 2; i <= n; i++) for (j = i; j > 1 && v[j - 1] > v[j]; j--) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
                }
                { r[NR] = $1; t[NR] = $2; q[NR] = $3 }
                END {
                    sorted(r, NR); sorted(t, NR); sorted(q, NR)
                    printf "| %s-bit | %s | %.0f [%.0f..%.0f] | %.0f [%.0f..%.0f] | %.3f | %.3f |\n", k, s,
                        median(r, NR), r[1], r[NR], median(t, NR), t[1], t[NR], median(r, NR) / median(t, NR), median(q, NR)
                }' "$work/window-row.dat"
        done
    done
    echo
    [ ! -f "$work/window-missing.txt" ] || { cat "$work/window-missing.txt"; echo; }
fi

# --- profile operations ----------------------------------------------------------
# Two runs, as the CSV report wants the same counters on every line.
profile_bench() { # output name, then the filter
    (cd "$work" && "$build/bench/bench-profile" --benchmark_min_time="$min_time" --benchmark_filter="$2" \
        --benchmark_repetitions="$repetitions" --benchmark_report_aggregates_only=true \
        --benchmark_out="$work/$1.csv" --benchmark_out_format=csv >"$work/$1.txt" 2>&1) \
        || { cat "$work/$1.txt"; exit 1; }
}
profile_bench profile '^(Read|ReadQSettings|ReadBytes|Write)/'
profile_bench apply '^ApplyAgainstOneWrite/'
cat "$work/apply.txt" >>"$work/profile.txt"
# name,iterations,real_time,cpu_time,time_unit,bytes_per_second,...; the
# medians of the repetitions, as: benchmark size real-time rate error cpu-time
sed -n '/^name,/,$p' "$work/profile.csv" | tail -n +2 | tr -d '"' | grep '_median,' | sed 's/_median,/,/' \
    | awk -F, '{ split($1, part, "/"); print part[1], (part[2] == "" ? "-" : part[2]), $3, ($6 == "" ? 0 : $6), ($9 == "" ? "-" : $9), $4 }' >"$work/profile.dat"
# Apply against one write, in turns: the counters apply_us, write_us, ratio.
sed -n '/^name,/,$p' "$work/apply.csv" | tr -d '"' | awk -F, '
    NR == 1 { for (i = 1; i <= NF; i++) column[$i] = i; next }
    /^ApplyAgainstOneWrite\/[0-9]+_median,/ {
        split($1, part, /[\/_]/)
        print part[2], $column["apply_us"], $column["write_us"], $column["ratio"]
    }' >"$work/apply.dat"
if grep -q ' true$' "$work/profile.dat"; then
    echo "A benchmark failed:"; cat "$work/profile.txt"; exit 1
fi

echo "Profile operations on a file with the key near its end: median of $repetitions repetitions, time per operation in microseconds (MiB/s)"
echo
echo "| file size | read | QSettings read | plain read of the bytes | write (flushed) | read / QSettings | read / plain read |"
echo "|---:|---:|---:|---:|---:|---:|---:|"
awk '
    function human(bytes) { return bytes >= 1048576 ? bytes / 1048576 " MiB" : bytes / 1024 " KiB" }
    $2 != "-" { t[$1, $2] = $3; rate[$1, $2] = $4 / 1048576 }
    $1 == "Read" { order[++n] = $2 } # registered from the smallest size up
    END {
        for (i = 1; i <= n; i++) {
            s = order[i]
            printf "| %s | %.1f (%.0f) | %.1f (%.0f) | %.1f (%.0f) | %.1f (%.0f) | %.2f | %.1f |\n", human(s),
                t["Read", s], rate["Read", s], t["ReadQSettings", s], rate["ReadQSettings", s],
                t["ReadBytes", s], rate["ReadBytes", s], t["Write", s], rate["Write", s],
                t["Read", s] / t["ReadQSettings", s], t["Read", s] / t["ReadBytes", s]
        }
    }
' "$work/profile.dat"
echo
awk '
    BEGIN {
        what[1] = "Apply, one row changed"
        what[5] = "Apply, all five rows changed"
        what[0] = "the five keys written straight, not by Apply"
        print "Apply on a typical Setup.ini against one write of a changed key, flushed to disk, taking"
        print "turns in every iteration: median of the repetitions, in microseconds"
        print ""
        print "| operation | time | one write meanwhile | ratio |"
        print "|---|---:|---:|---:|"
    }
    { row[$1] = sprintf("| %s | %.0f | %.0f | %.2f |", what[$1], $2, $3, $4) }
    END { print row[1]; print row[5]; print row[0] }
' "$work/apply.dat"

# Apply where others get in its way: once, as each run takes seconds (a
# million names to plant, or a two-second wait for the lock, each time).
among='^ApplyAmongOthers/'
[ "$smoke" = 1 ] && among='^ApplyAmongOthers/0/'
(cd "$work" && "$build/bench/bench-profile" --benchmark_filter="$among" \
    --benchmark_out="$work/among.csv" --benchmark_out_format=csv >"$work/among.txt" 2>&1) \
    || { cat "$work/among.txt"; exit 1; }
if grep -q 'error_occurred\|ERROR' "$work/among.txt"; then
    echo "A benchmark failed:"; cat "$work/among.txt"; exit 1
fi
echo
echo "Apply, all five rows changed, where another user gets in its way: mean of 5, in milliseconds"
echo
echo "| beside or on Setup.ini | Apply |"
echo "|---|---:|"
sed -n '/^name,/,$p' "$work/among.csv" | tr -d '"' | awk -F, '
    NR == 1 { for (i = 1; i <= NF; i++) column[$i] = i; next }
    {
        split($1, part, "/")
        what = part[3] == 1 ? "a reader'"'"'s lock, taken afresh before each Apply" \
             : part[2] == 0 ? "nothing" : part[2] " empty files under the program'"'"'s names"
        printf "| %s | %.1f |\n", what, $column["apply_ms"]
    }'
echo

# --- plot ------------------------------------------------------------------------
if command -v gnuplot >/dev/null; then
    for op in Read ReadQSettings ReadBytes Write; do
        awk -v op="$op" '$1 == op && $2 != "-" { print $2, $3 }' "$work/profile.dat" | sort -n >"$work/$op.dat"
    done
    gnuplot <<EOF
set terminal pngcairo size 800,500 font "DejaVu Sans,10"
set output "$plot"
set title "Profile operations: time per operation against file size (key near the end)"
set xlabel "file size (bytes)"
set ylabel "time per operation (microseconds)"
set logscale xy
set key top left
set grid
plot "$work/Read.dat" with linespoints title "read (ours)", \
     "$work/ReadQSettings.dat" with linespoints title "read through QSettings", \
     "$work/ReadBytes.dat" with linespoints title "plain read of the bytes", \
     "$work/Write.dat" with linespoints title "write (ours, flushed to disk)"
EOF
    [ -s "$plot" ] || { echo "gnuplot made no plot"; exit 1; }
    echo
    echo "Plot: $plot"
fi
