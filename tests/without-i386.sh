#!/usr/bin/env bash
# Runs a command as on a computer whose Linux kernel runs no 32-bit
# programs: every 32-bit ELF program, static or not, fails to start with
# "Exec format error", as there. It takes a user namespace of its own, and
# in it a private table of binary formats (Linux 6.7 and later) whose one
# entry hands every 32-bit ELF program to a program for another processor,
# which the kernel cannot run. Nothing outside the command changes.
#
# Root keeps every user id (the namespace maps them all to themselves);
# another user runs the command as itself. The command keeps this process's
# id, so that its windows can be found by it.
#
# Usage: without-i386.sh command [args...]
# Exits 125 where this kernel or user cannot make such a namespace.
set -euo pipefail
script=$(readlink -f "$0")

# In the namespace, as its root: the table, then the command.
if [ "${1:-}" = --inside ]; then
    foreign=$2
    shift 2
    registered=0
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null \
        && printf ':i386:M::\\x7fELF\\x01::%s:F' "$foreign" >/proc/sys/fs/binfmt_misc/register || registered=$?
    rm -f "$foreign" # registered with F, the program is open already
    [ "$registered" -eq 0 ] || exit 125
    exec "$@"
fi
# Root's namespace, until its ids are mapped: a program started before
# that has none of its capabilities, so it starts the next step again.
if [ "${1:-}" = --mapped ]; then
    mapped() { [ -n "$(cat /proc/self/uid_map)" ]; }
    for _ in $(seq 100); do mapped && break; sleep 0.05; done
    mapped || exit 125
    shift
    exec bash "$script" --inside "$@"
fi

# /bin/true with its machine made ARM64's.
foreign=$(mktemp)
cp /bin/true "$foreign"
chmod 755 "$foreign"
printf '\267\0' | dd of="$foreign" bs=1 seek=18 conv=notrunc status=none
if [ "$(id -u)" -eq 0 ]; then
    # Maps every id to itself, once the namespace exists.
    (
        for _ in $(seq 100); do
            [ "$(readlink /proc/$$/ns/user)" != "$(readlink /proc/self/ns/user)" ] && break
            sleep 0.05
        done
        echo "0 0 4294967295" >/proc/$$/uid_map && echo "0 0 4294967295" >/proc/$$/gid_map
    ) &
    exec unshare --user --mount --propagation private bash "$script" --mapped "$foreign" "$@"
fi
exec unshare --user --map-root-user --mount --propagation private bash "$script" --inside "$foreign" \
    unshare --user --map-user="$(id -u)" --map-group="$(id -g)" "$@"
