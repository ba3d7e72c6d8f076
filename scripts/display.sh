# Sourced by the scripts that show the window on a display server of their
# own: the end-to-end and Wayland tests, the benchmarks and the screenshot.
# A server is started with its files in the caller's folder $work, listens
# on nothing outside it but the abstract socket that X clients try first,
# and is stopped by its process id with stop_servers, which the caller's
# exit trap must call.

server_pids=()
passed=0
failed=0

# For the tests: a description, then a command that must succeed. Counts
# and prints the outcome.
check() {
    local what=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
        echo "ok: $what"
    else
        failed=$((failed + 1))
        echo "FAILED: $what"
    fi
}

# Waits, at most $1 seconds, until the command after it succeeds.
wait_for() {
    local limit=$(($1 * 20))
    shift
    for ((i = 0; i < limit; i++)); do
        "$@" && return 0
        sleep 0.05
    done
    return 1
}

# Starts an Xvfb server with a screen of $1 (say 800x600) and sets DISPLAY.
# -noreset: by default the server resets when its last client leaves, and
# hangs up on a client that connects during the reset. -ac: the clients may
# run as other users.
start_xvfb() {
    Xvfb -displayfd 3 -screen 0 "${1}x24" -nolisten tcp -nolisten unix -ac -noreset \
        3>"$work/display" 2>"$work/xvfb.log" &
    server_pids+=($!)
    wait_for 20 test -s "$work/display" || { echo "Xvfb did not start:"; cat "$work/xvfb.log"; return 1; }
    export DISPLAY=":$(head -n1 "$work/display")"
}

# Starts a headless weston, with its socket in a runtime folder of its own
# under $work, and sets XDG_RUNTIME_DIR and WAYLAND_DISPLAY.
start_weston() {
    export XDG_RUNTIME_DIR="$work/runtime"
    mkdir -p -m 700 "$XDG_RUNTIME_DIR"
    weston --backend=headless-backend.so --socket=wayland-test --idle-time=0 >"$work/weston.log" 2>&1 &
    server_pids+=($!)
    wait_for 20 test -S "$XDG_RUNTIME_DIR/wayland-test" || { echo "weston did not start:"; cat "$work/weston.log"; return 1; }
    export WAYLAND_DISPLAY=wayland-test
}

stop_servers() {
    local pid
    for pid in "${server_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${server_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    server_pids=()
}
