# Sourced by scripts/setup and the end-to-end test: whether this computer
# runs 32-bit x86 programs. Some Linux kernels are built or started without
# them (ia32_emulation=off, WSL 1, some virtual machines); there every
# 32-bit program fails with "Exec format error", 32-bit Wine among them.

# Succeeds where this computer runs 32-bit programs, fails (status 1) where
# it does not, and returns 2 where no folder lets a program run to tell.
# It installs nothing: it writes a 96-byte static i386 program that exits
# with 42, beside a copy of /bin/true that shows whether the folder lets
# programs run at all (a folder for temporary files may be mounted noexec).
runs_32bit_programs() {
    local base dir status
    for base in "${TMPDIR:-/tmp}" /tmp /dev/shm "${XDG_RUNTIME_DIR:-/nonexistent}" "$HOME" "$PWD"; do
        dir=$(mktemp -d "$base/i386-check.XXXXXX" 2>/dev/null) || continue
        printf '\177ELF\1\1\1\0\0\0\0\0\0\0\0\0\2\0\3\0\1\0\0\0\124\200\4\10\64\0\0\0\0\0\0\0\0\0\0\0\64\0\40\0\1\0\0\0\0\0\0\0' >"$dir/i386"
        printf '\1\0\0\0\0\0\0\0\0\200\4\10\0\200\4\10\140\0\0\0\140\0\0\0\5\0\0\0\0\20\0\0\270\1\0\0\0\273\52\0\0\0\315\200' >>"$dir/i386"
        cp /bin/true "$dir/true" && chmod 755 "$dir/i386" "$dir/true"
        if "$dir/true" 2>/dev/null; then
            status=0
            "$dir/i386" 2>/dev/null || status=$?
            rm -rf "$dir"
            [ "$status" -eq 42 ]
            return
        fi
        rm -rf "$dir"
    done
    return 2
}
