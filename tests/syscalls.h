#pragma once

// The file system calls of the durable file layer, seen through the
// linker's --wrap (see tests/CMakeLists.txt): while `recording`, each call
// is written down as "<call> <where>", and the one numbered `stopAt` (from
// 1) fails with `stopError`; or, where stopError is 0, it writes half of
// its bytes (a write) and ends the process on the spot, as a kill would,
// and where it is -1, it ends the process before it is made. A call whose
// name starts with `pauseAt` waits `pauseMs` first. The bytes read are
// counted.
// Include it in one source file of a test executable only.

#include <cerrno>
#include <cstdarg>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace syscalls {

inline bool recording = false;
inline std::vector<std::string> calls;
inline size_t stopAt = 0;
inline int stopError = 0;
// Where false, a filesystem without unnamed files (O_TMPFILE).
inline bool unnamed = true;
inline std::string pauseAt;
inline unsigned pauseMs = 0;
inline size_t reads = 0;
// While recording, what each pwrite, ftruncate and fsync of a file did, in
// order: what a power cut may keep a part of.
struct Change {
    enum { Write, Truncate, Flush } what;
    off_t at = 0; // the offset written, or the size cut to
    std::string bytes;
};
inline std::vector<Change> changes;

inline void start(size_t at = 0, int error = 0)
{
    calls.clear();
    changes.clear();
    reads = 0;
    stopAt = at;
    stopError = error;
    recording = true;
}

// "dir" or "file", for a descriptor.
inline std::string kind(int fd)
{
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) ? "dir" : "file";
}

// Writes the call down; true where it is the one to fail (errno set).
// A write that is to stop the process passes half of its bytes in *size.
inline bool stops(const std::string &call, size_t *size = nullptr)
{
    if (!recording)
        return false;
    calls.push_back(call);
    if (!pauseAt.empty() && call.rfind(pauseAt, 0) == 0)
        ::usleep(pauseMs * 1000);
    if (calls.size() != stopAt)
        return false;
    if (stopError < 0)
        ::_exit(0);
    if (stopError != 0) {
        errno = stopError;
        return true;
    }
    if (size == nullptr)
        ::_exit(0);
    *size /= 2;
    return false;
}

} // namespace syscalls

extern "C" {
ssize_t __real_pwrite(int, const void *, size_t, off_t);
ssize_t __real_write(int, const void *, size_t);
int __real_fsync(int);
int __real_ftruncate(int, off_t);
int __real_renameat(int, const char *, int, const char *);
int __real_renameat2(int, const char *, int, const char *, unsigned);
ssize_t __real_pread(int, void *, size_t, off_t);
int __real_linkat(int, const char *, int, const char *, int);
int __real_openat(int, const char *, int, ...);
void *__real_opendir(const char *);

ssize_t __wrap_pwrite(int fd, const void *data, size_t size, off_t offset)
{
    const size_t whole = size;
    if (syscalls::stops("pwrite " + std::to_string(offset), &size))
        return -1;
    const ssize_t n = __real_pwrite(fd, data, size, offset);
    if (syscalls::recording && n > 0)
        syscalls::changes.push_back(
            {syscalls::Change::Write, offset, std::string(static_cast<const char *>(data), size_t(n))});
    if (syscalls::recording && size != whole && syscalls::calls.size() == syscalls::stopAt)
        ::_exit(0);
    return n;
}

ssize_t __wrap_write(int fd, const void *data, size_t size)
{
    const size_t whole = size;
    if (syscalls::stops("write " + syscalls::kind(fd), &size))
        return -1;
    const ssize_t n = __real_write(fd, data, size);
    if (syscalls::recording && size != whole && syscalls::calls.size() == syscalls::stopAt)
        ::_exit(0);
    return n;
}

int __wrap_fsync(int fd)
{
    const std::string kind = syscalls::kind(fd);
    if (syscalls::stops("fsync " + kind))
        return -1;
    if (syscalls::recording && kind == "file")
        syscalls::changes.push_back({syscalls::Change::Flush});
    return __real_fsync(fd);
}

int __wrap_ftruncate(int fd, off_t size)
{
    if (syscalls::stops("ftruncate " + std::to_string(size)))
        return -1;
    if (syscalls::recording)
        syscalls::changes.push_back({syscalls::Change::Truncate, size});
    return __real_ftruncate(fd, size);
}

int __wrap_renameat(int from, const char *name, int to, const char *newName)
{
    return syscalls::stops("renameat") ? -1 : __real_renameat(from, name, to, newName);
}

int __wrap_renameat2(int from, const char *name, int to, const char *newName, unsigned flags)
{
    return syscalls::stops("renameat2") ? -1 : __real_renameat2(from, name, to, newName, flags);
}

ssize_t __wrap_pread(int fd, void *data, size_t size, off_t offset)
{
    const ssize_t n = __real_pread(fd, data, size, offset);
    if (syscalls::recording && n > 0)
        syscalls::reads += size_t(n);
    return n;
}

int __wrap_linkat(int from, const char *name, int to, const char *newName, int flags)
{
    return syscalls::stops("linkat") ? -1 : __real_linkat(from, name, to, newName, flags);
}

int __wrap_openat(int folder, const char *name, int flags, ...)
{
    mode_t mode = 0;
    if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list rest;
        va_start(rest, flags);
        mode = mode_t(va_arg(rest, int));
        va_end(rest);
    }
    if ((flags & O_TMPFILE) == O_TMPFILE && !syscalls::unnamed) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return __real_openat(folder, name, flags, mode);
}

void *__wrap_opendir(const char *name)
{
    if (syscalls::recording)
        syscalls::calls.push_back("opendir");
    return __real_opendir(name);
}
}
