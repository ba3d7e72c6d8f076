#include "durablefile.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace durablefile {
namespace {

// A file's whole content, in memory that is not cleared first (a settings
// file may be large, and every byte is overwritten by the read anyway).
class Content {
public:
    std::string_view view() const { return {m_data.get(), m_size}; }

    // Reads the open file to its end; sizeHint is its size when opened.
    bool readAll(int fd, size_t sizeHint)
    {
        size_t capacity = sizeHint + 1; // room for one more byte shows the end
        m_data.reset(new char[capacity]);
        m_size = 0;
        for (;;) {
            if (m_size == capacity) { // the file grew while being read
                capacity *= 2;
                std::unique_ptr<char[]> larger(new char[capacity]);
                std::memcpy(larger.get(), m_data.get(), m_size);
                m_data = std::move(larger);
            }
            const ssize_t n = ::read(fd, m_data.get() + m_size, capacity - m_size);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return false;
            if (n == 0)
                return true;
            m_size += size_t(n);
        }
    }

private:
    std::unique_ptr<char[]> m_data;
    size_t m_size = 0;
};

bool writeAll(int fd, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        data.remove_prefix(size_t(n));
    }
    return true;
}

std::string directoryOf(const std::string &path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The file that a write must replace: path itself, or the file that its
// chain of symbolic links ends at (which may not exist yet).
bool resolveLinks(const std::string &path, std::string &target, int &error)
{
    target = path;
    for (int depth = 0; depth < 40; ++depth) {
        struct stat st {};
        if (::lstat(target.c_str(), &st) != 0) {
            error = errno;
            return error == ENOENT;
        }
        if (!S_ISLNK(st.st_mode))
            return true;
        std::string link(size_t(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
        const ssize_t n = ::readlink(target.c_str(), link.data(), link.size());
        if (n < 0 || size_t(n) >= link.size()) {
            error = n < 0 ? errno : ENAMETOOLONG;
            return false;
        }
        link.resize(size_t(n));
        target = (link.front() == '/') ? link : directoryOf(target) + "/" + link;
    }
    error = ELOOP;
    return false;
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : m_fd(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    int get() const { return m_fd; }
    void reset(int fd = -1)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }
    int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }

private:
    int m_fd;
};

// Creates a new, empty file beside `target` with a name of its own; the
// process's umask applies to `mode`.
int createTemporary(const std::string &target, mode_t mode, std::string &name)
{
    const std::string dir = directoryOf(target);
    const std::string base = target.substr(target.rfind('/') + 1);
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
        name = dir + "/." + base + "." + std::to_string(::getpid()) + "."
             + std::to_string((uint64_t(ticks) ^ ++counter) % 1000000007u);
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

// The process id in the name of a temporary file made by createTemporary()
// for `base` (".<base>.<pid>.<number>"), or 0 when the name is not one.
pid_t writerOf(std::string_view name, std::string_view base)
{
    const std::string prefix = "." + std::string(base) + ".";
    if (name.substr(0, prefix.size()) != prefix)
        return 0;
    name.remove_prefix(prefix.size());
    const size_t dot = name.find('.');
    if (dot == 0 || dot == std::string_view::npos || dot + 1 == name.size())
        return 0;
    const auto digitsOnly = [](std::string_view s) {
        return s.find_first_not_of("0123456789") == std::string_view::npos;
    };
    if (!digitsOnly(name.substr(0, dot)) || !digitsOnly(name.substr(dot + 1)) || dot > 9)
        return 0;
    return pid_t(std::stol(std::string(name.substr(0, dot))));
}

// Removes the temporary files that writers of `base` left in the folder when
// they were killed mid-write. Called with the folder locked, when no live
// writer has one in progress; a file whose writer still runs is kept all
// the same.
void removeLeftovers(int dirFd, std::string_view base)
{
    const int listFd = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listFd < 0)
        return;
    DIR *dir = ::fdopendir(listFd);
    if (!dir) {
        ::close(listFd);
        return;
    }
    while (const dirent *entry = ::readdir(dir)) {
        const pid_t writer = writerOf(entry->d_name, base);
        if (writer > 0 && writer != ::getpid() && ::kill(writer, 0) != 0 && errno == ESRCH)
            (void)::unlinkat(dirFd, entry->d_name, 0);
    }
    ::closedir(dir);
}

} // namespace

bool read(const std::string &path, const std::function<void(std::string_view)> &use)
{
    // Non-blocking, so that a FIFO in the file's place cannot hang the read.
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0)
        return false;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    Content content;
    if (!content.readAll(fd.get(), size_t(st.st_size)))
        return false;
    use(content.view());
    return true;
}

std::optional<std::string> update(const std::string &path,
                                  const std::function<Plan(std::string_view content)> &plan)
{
    std::string target;
    int error = 0;
    if (!resolveLinks(path, target, error))
        return std::string(std::strerror(error));
    const std::string dir = directoryOf(target);

    // The lock is on the directory, not the file: the file is replaced by a
    // new inode on every write, so a lock on it would not be seen by a
    // writer that opens the new one.
    FileDescriptor dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd.get() < 0 && errno != EACCES)
        return "the folder " + dir + " cannot be opened (" + std::strerror(errno) + ")";
    if (dirFd.get() >= 0) {
        while (::flock(dirFd.get(), LOCK_EX) != 0) {
            if (errno != EINTR)
                return std::string("cannot lock the folder (") + std::strerror(errno) + ")";
        }
    }

    Content content;
    struct stat st {};
    bool exists = false;
    {
        FileDescriptor fd(::open(target.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
        if (fd.get() < 0 && errno != ENOENT)
            return std::string(std::strerror(errno));
        if (fd.get() >= 0) {
            exists = true;
            if (::fstat(fd.get(), &st) != 0)
                return std::string(std::strerror(errno));
            if (!S_ISREG(st.st_mode))
                return std::string("it is not a regular file");
            // Replacing the file would bypass its read-only bits, so ask first
            // whether it could be written in place. A file that nobody may
            // write is read-only by intent, even to root, who passes every
            // permission check.
            if ((st.st_mode & 0222) == 0)
                return std::string("the file is read-only");
            if (::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0)
                return std::string("the file is not writable (") + std::strerror(errno) + ")";
            if (!content.readAll(fd.get(), size_t(st.st_size)))
                return std::string(std::strerror(errno));
        }
    }

    if (dirFd.get() >= 0)
        removeLeftovers(dirFd.get(), target.substr(target.rfind('/') + 1));

    const Plan planned = plan(content.view());
    if (const auto *refusal = std::get_if<std::string>(&planned))
        return *refusal;
    const Edit &edit = std::get<Edit>(planned);
    const std::string_view old = content.view();
    // A write that would change no byte leaves the file alone: nothing to
    // flush, and its time stays that of its last change.
    if (exists && old.substr(edit.cut, edit.resume - edit.cut) == edit.insert)
        return std::nullopt;

    std::string temporary;
    FileDescriptor out(createTemporary(target, exists ? (st.st_mode & 07777) : 0666, temporary));
    if (out.get() < 0)
        return "cannot create a file in " + dir + " (" + std::strerror(errno) + ")";
    // Removes the temporary file; `reason` is taken before that can change errno.
    const auto abandon = [&](int reason) {
        out.reset();
        ::unlink(temporary.c_str());
        return std::string(std::strerror(reason));
    };
    if (exists) {
        // Keep the file's owner and mode when someone else, such as root,
        // saves it; a user who may not give a file away keeps it instead.
        if ((st.st_uid != ::geteuid() || st.st_gid != ::getegid())
            && ::fchown(out.get(), st.st_uid, st.st_gid) != 0) {
            (void)::fchown(out.get(), uid_t(-1), st.st_gid);
        }
        if (::fchmod(out.get(), st.st_mode & 07777) != 0)
            return abandon(errno);
    }
    if (!writeAll(out.get(), old.substr(0, edit.cut)) || !writeAll(out.get(), edit.insert)
        || !writeAll(out.get(), old.substr(edit.resume)) || ::fsync(out.get()) != 0)
        return abandon(errno);
    if (::close(out.release()) != 0 || ::rename(temporary.c_str(), target.c_str()) != 0)
        return abandon(errno);
    if (dirFd.get() >= 0)
        (void)::fsync(dirFd.get()); // the rename itself is durable once the folder is
    return std::nullopt;
}

} // namespace durablefile
