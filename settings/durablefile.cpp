#include "durablefile.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace durablefile {
namespace {

// How long a writer waits for other writers to finish with the file.
constexpr auto LockWait = std::chrono::seconds(2);

using Deadline = std::chrono::steady_clock::time_point;

// The files that a writer keeps beside the file while it works, named so
// that no user's file is taken for one: the new content before it is
// renamed over the file, and the journal of a change made in place.
constexpr std::string_view NewSuffix = ".tavorin-configurator-new";
constexpr std::string_view JournalSuffix = ".tavorin-configurator-journal";
constexpr std::string_view JournalHeader = "tavorin-configurator journal 1\n";

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

std::string reason(int error) { return std::strerror(error); }

std::string tooLarge(off_t size)
{
    return "it is " + std::to_string(size) + " bytes long, more than the " + std::to_string(MaxSize >> 20)
         + " MiB a settings file may have";
}

// A path that reopens an open descriptor's file without walking a path again.
std::string reopenPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// The path of the file that an open descriptor refers to, as the kernel
// names it; empty when it cannot.
std::string nameOf(int fd)
{
    std::string name(PATH_MAX, '\0');
    const ssize_t n = ::readlink(reopenPath(fd).c_str(), name.data(), name.size());
    if (n <= 0 || size_t(n) >= name.size() || name[0] != '/')
        return {};
    name.resize(size_t(n));
    return name;
}

std::string folderOf(const std::string &path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseOf(const std::string &path) { return path.substr(path.rfind('/') + 1); }

// A file's whole content, in memory that is not cleared first (every byte
// is overwritten by the read anyway).
class Content {
public:
    std::string_view view() const { return {m_data.get(), m_size}; }

    // Reads the open file from its start to its end; sizeHint is its size
    // when opened. False when it cannot, with errno EFBIG when the file has
    // grown beyond MaxSize.
    bool readAll(int fd, size_t sizeHint)
    {
        size_t capacity = std::min(sizeHint, MaxSize) + 1; // one more byte shows the end
        m_data.reset(new char[capacity]);
        m_size = 0;
        for (;;) {
            if (m_size > MaxSize) {
                errno = EFBIG;
                return false;
            }
            if (m_size == capacity) { // the file grew while being read
                capacity = std::min(capacity * 2, MaxSize + 1);
                std::unique_ptr<char[]> larger(new char[capacity]);
                std::memcpy(larger.get(), m_data.get(), m_size);
                m_data = std::move(larger);
            }
            const ssize_t n = ::pread(fd, m_data.get() + m_size, capacity - m_size, off_t(m_size));
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

// Writes data at offset, or at the end of what was written when offset is -1.
bool writeAll(int fd, std::string_view data, off_t offset = -1)
{
    while (!data.empty()) {
        const ssize_t n = offset < 0 ? ::write(fd, data.data(), data.size()) : ::pwrite(fd, data.data(), data.size(), offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        data.remove_prefix(size_t(n));
        if (offset >= 0)
            offset += n;
    }
    return true;
}

// Makes the folder's entries (a new name, a removed one) durable.
void syncFolder(const std::string &folder)
{
    FileDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() >= 0)
        (void)::fsync(fd.get());
}

// Takes the write lock on the open file that every writer of it takes.
// Only a program that may write the file can take such a lock, so a reader
// cannot hold writers up; and the wait ends at the deadline. It asks often:
// a writer saving again and again lets go of the file only briefly.
std::optional<std::string> lock(int file, Deadline deadline)
{
    struct flock request {};
    request.l_type = F_WRLCK;
    request.l_whence = SEEK_SET;
    while (::fcntl(file, F_OFD_SETLK, &request) != 0) {
        if (errno != EAGAIN && errno != EACCES && errno != EINTR)
            return "it cannot be locked against other writers (" + reason(errno) + ")";
        if (std::chrono::steady_clock::now() >= deadline)
            return std::string("another program is saving it; try again in a moment");
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return std::nullopt;
}

// Whether the file at path is still the one described by `read`: the same
// file, of the same size, last changed at the same moment. An editor that
// saved it meanwhile, without taking the lock, changed one of them.
bool unchanged(const std::string &path, const struct stat &read)
{
    struct stat now {};
    return ::stat(path.c_str(), &now) == 0 && now.st_dev == read.st_dev && now.st_ino == read.st_ino
        && now.st_size == read.st_size && now.st_mtim.tv_sec == read.st_mtim.tv_sec
        && now.st_mtim.tv_nsec == read.st_mtim.tv_nsec;
}

uint64_t checksum(std::string_view data)
{
    uint64_t hash = 14695981039346656037ull; // FNV-1a
    for (const char c : data)
        hash = (hash ^ uint8_t(c)) * 1099511628211ull;
    return hash;
}

// The extended attributes of a file, the ACL among them, as names.
std::optional<std::string> attributeNames(int fd)
{
    for (;;) {
        const ssize_t size = ::flistxattr(fd, nullptr, 0);
        if (size < 0)
            return errno == ENOTSUP ? std::optional<std::string>(std::string()) : std::nullopt;
        std::string names(size_t(size), '\0');
        const ssize_t got = ::flistxattr(fd, names.data(), names.size());
        if (got >= 0) {
            names.resize(size_t(got));
            return names;
        }
        if (errno != ERANGE) // grown meanwhile: ask again
            return std::nullopt;
    }
}

// Gives `to` exactly the extended attributes of `from`. False when that
// cannot be done, as for attributes that only the system may set.
bool copyAttributes(int from, int to)
{
    const auto names = attributeNames(from), present = attributeNames(to);
    if (!names || !present)
        return false;
    for (size_t at = 0; at < names->size(); at = names->find('\0', at) + 1) {
        const char *name = names->c_str() + at;
        const ssize_t size = ::fgetxattr(from, name, nullptr, 0);
        std::string value(size_t(size > 0 ? size : 0), '\0');
        if (size < 0 || ::fgetxattr(from, name, value.data(), value.size()) != size
            || ::fsetxattr(to, name, value.data(), value.size(), 0) != 0)
            return false;
    }
    // A folder's default ACL gives a new file one of its own.
    for (size_t at = 0; at < present->size(); at = present->find('\0', at) + 1) {
        const std::string name = present->c_str() + at;
        if (names->find(name + '\0') == std::string::npos && ::fremovexattr(to, name.c_str()) != 0)
            return false;
    }
    return true;
}

bool inGroup(gid_t group)
{
    if (group == ::getegid())
        return true;
    const int count = ::getgroups(0, nullptr);
    std::unique_ptr<gid_t[]> groups(new gid_t[size_t(count > 0 ? count : 1)]);
    const int got = ::getgroups(count, groups.get());
    for (int i = 0; i < got; ++i) {
        if (groups[size_t(i)] == group)
            return true;
    }
    return false;
}

struct Outcome {
    bool again = false; // the file changed under the writer: start afresh
    std::optional<std::string> error;
};

// Puts back what a writer that stopped while changing the file in place
// (killed, or the machine lost power) had begun to change, from its
// journal, and removes the journal. A journal that is not whole was left
// before the file was touched, and one of another file is stale: both are
// only removed.
std::optional<std::string> rollBack(int file, const struct stat &st, const std::string &journal)
{
    std::string text;
    {
        FileDescriptor fd(::open(journal.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (fd.get() < 0 && errno == ENOENT)
            return std::nullopt;
        if (fd.get() < 0 && errno != ELOOP) // a link in its place is no journal of ours
            return "the journal " + journal + " of an unfinished save cannot be read (" + reason(errno) + ")";
        struct stat js {};
        Content content;
        if (fd.get() >= 0 && (::fstat(fd.get(), &js) != 0 || !S_ISREG(js.st_mode) || !content.readAll(fd.get(), size_t(js.st_size))))
            return "the journal " + journal + " of an unfinished save cannot be read (" + reason(errno) + ")";
        text = std::string(content.view());
    }
    unsigned long long dev = 0, ino = 0, offset = 0, size = 0, length = 0, sum = 0;
    const size_t header = text.find('\n', JournalHeader.size());
    const bool whole = text.compare(0, JournalHeader.size(), JournalHeader) == 0 && header != std::string::npos
                    && std::sscanf(text.c_str() + JournalHeader.size(), "%llu %llu %llu %llu %llu", &dev, &ino,
                                   &offset, &size, &length) == 5
                    && text.size() >= header + 1 + length
                    && std::sscanf(text.c_str() + header + 1 + length, "\nend %llx\n", &sum) == 1;
    const std::string_view saved = whole ? std::string_view(text).substr(header + 1, length) : std::string_view();
    if (whole && checksum(saved) == sum && dev == st.st_dev && ino == st.st_ino) {
        if (!writeAll(file, saved, off_t(offset)) || ::ftruncate(file, off_t(size)) != 0 || ::fsync(file) != 0)
            return "an unfinished save could not be undone (" + reason(errno) + ")";
    }
    if (::unlink(journal.c_str()) != 0 && errno != ENOENT)
        return "the journal " + journal + " of an unfinished save cannot be removed (" + reason(errno) + ")";
    syncFolder(folderOf(journal));
    return std::nullopt;
}

// Saves by writing the new content to a new file beside the target, with
// the target's owner, group, mode and extended attributes (its ACL among
// them), and renaming it over the target: whoever reads the file sees the
// old content or the new, never a mix. nullopt when the new file cannot
// carry all of that, or a rename would split the file's hard links; the
// caller then writes in place.
std::optional<Outcome> replace(int file, const struct stat &st, const std::string &target, std::string_view old,
                               const Edit &edit)
{
    if (st.st_nlink != 1 || (::geteuid() != 0 && (st.st_uid != ::geteuid() || !inGroup(st.st_gid))))
        return std::nullopt;
    const std::string folder = folderOf(target);
    const std::string temporary = folder + "/." + baseOf(target) + std::string(NewSuffix);
    FileDescriptor out(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (out.get() < 0)
        return Outcome{false, "cannot create a file in " + folder + " (" + reason(errno) + ")"};
    // Removes the new file; `error` is taken before that can change errno.
    const auto abandon = [&](int error) {
        out.reset();
        ::unlink(temporary.c_str());
        return Outcome{false, reason(error)};
    };
    if ((st.st_uid != ::geteuid() || st.st_gid != ::getegid()) && ::fchown(out.get(), st.st_uid, st.st_gid) != 0) {
        abandon(errno);
        return std::nullopt;
    }
    if (::fchmod(out.get(), st.st_mode & 07777) != 0 || !copyAttributes(file, out.get())) {
        abandon(errno);
        return std::nullopt;
    }
    if (!writeAll(out.get(), old.substr(0, edit.cut)) || !writeAll(out.get(), edit.insert)
        || !writeAll(out.get(), old.substr(edit.resume)) || ::fsync(out.get()) != 0 || ::close(out.release()) != 0)
        return abandon(errno);
    if (!unchanged(target, st)) {
        abandon(0);
        return Outcome{true, std::nullopt};
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0)
        return abandon(errno);
    syncFolder(folder); // the rename itself is durable once the folder is
    return Outcome{};
}

// Saves by changing the file in place, from the first changed byte on,
// which keeps everything the file has. Crash-safe by a journal: the bytes
// that will change are written beside the file and flushed first, and the
// journal is removed once the file is flushed; a journal left behind is
// rolled back by the next writer (rollBack).
Outcome changeInPlace(int file, const struct stat &st, const std::string &target, std::string_view old,
                      const Edit &edit)
{
    const std::string folder = folderOf(target);
    const std::string hidden = folder + "/." + baseOf(target);
    const std::string journal = hidden + std::string(JournalSuffix), staged = hidden + std::string(NewSuffix);
    const std::string_view saved = old.substr(edit.cut);
    {
        // Written whole under another name first, then renamed: a journal is
        // there complete, and readable by whoever may read the file (it holds
        // its bytes), so that any other writer can roll it back.
        FileDescriptor out(::open(staged.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (out.get() < 0)
            return {false, "cannot create a file in " + folder + " (" + reason(errno) + ")"};
        (void)::fchown(out.get(), uid_t(-1), st.st_gid);
        char head[160];
        std::snprintf(head, sizeof head, "%llu %llu %llu %llu %llu\n", (unsigned long long)st.st_dev,
                      (unsigned long long)st.st_ino, (unsigned long long)edit.cut, (unsigned long long)old.size(),
                      (unsigned long long)saved.size());
        char tail[40];
        std::snprintf(tail, sizeof tail, "\nend %llx\n", (unsigned long long)checksum(saved));
        if (::fchmod(out.get(), st.st_mode & 0666) != 0 || !writeAll(out.get(), JournalHeader)
            || !writeAll(out.get(), head) || !writeAll(out.get(), saved) || !writeAll(out.get(), tail)
            || ::fsync(out.get()) != 0 || ::close(out.release()) != 0 || ::rename(staged.c_str(), journal.c_str()) != 0) {
            const int error = errno;
            ::unlink(staged.c_str());
            return {false, reason(error)};
        }
    }
    syncFolder(folder);
    if (!unchanged(target, st)) {
        ::unlink(journal.c_str());
        return {true, std::nullopt};
    }
    const off_t from = off_t(edit.cut);
    if (!writeAll(file, edit.insert, from) || !writeAll(file, old.substr(edit.resume), from + off_t(edit.insert.size()))
        || ::ftruncate(file, off_t(old.size() - (edit.resume - edit.cut) + edit.insert.size())) != 0
        || ::fsync(file) != 0) {
        const int error = errno;
        // Undone at once where possible; otherwise the journal stays for the next writer.
        if (writeAll(file, saved, from) && ::ftruncate(file, off_t(old.size())) == 0 && ::fsync(file) == 0)
            ::unlink(journal.c_str());
        return {false, reason(error)};
    }
    ::unlink(journal.c_str());
    syncFolder(folder);
    return {};
}

// Changes the existing file that `where` (a path descriptor) refers to.
Outcome change(int where, const std::function<Plan(std::string_view)> &plan, Deadline deadline)
{
    struct stat st {};
    if (::fstat(where, &st) != 0)
        return {false, reason(errno)};
    if (!S_ISREG(st.st_mode))
        return {false, "it is not a regular file"};
    // A file that nobody may write is read-only by intent, even to root,
    // who passes every permission check.
    if ((st.st_mode & 0222) == 0)
        return {false, "the file is read-only"};
    if (st.st_size > off_t(MaxSize))
        return {false, tooLarge(st.st_size)};
    const std::string target = nameOf(where);
    if (target.empty())
        return {false, "the system does not tell where it is (is /proc mounted?)"};
    FileDescriptor file(::open(reopenPath(where).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (file.get() < 0)
        return {false, "the file is not writable (" + reason(errno) + ")"};
    if (auto error = lock(file.get(), deadline))
        return {false, error};
    // Another writer may have replaced the file while this one waited.
    struct stat now {};
    if (::stat(target.c_str(), &now) != 0 || now.st_dev != st.st_dev || now.st_ino != st.st_ino)
        return {true, std::nullopt};

    // With the lock held, what lies beside the file is left by writers
    // that were stopped: a new file never renamed, a journal to roll back.
    const std::string hidden = folderOf(target) + "/." + baseOf(target);
    ::unlink((hidden + std::string(NewSuffix)).c_str());
    if (auto error = rollBack(file.get(), st, hidden + std::string(JournalSuffix)))
        return {false, error};

    Content content;
    if (::fstat(file.get(), &st) != 0 || !content.readAll(file.get(), size_t(st.st_size)))
        return {false, errno == EFBIG ? tooLarge(off_t(MaxSize) + 1) : reason(errno)};
    const Plan planned = plan(content.view());
    if (const auto *refusal = std::get_if<std::string>(&planned))
        return {false, *refusal};
    const Edit &edit = std::get<Edit>(planned);
    const std::string_view old = content.view();
    // A write that would change no byte leaves the file alone: nothing to
    // flush, and its time stays that of its last change.
    if (old.substr(edit.cut, edit.resume - edit.cut) == edit.insert)
        return {};
    if (old.size() - (edit.resume - edit.cut) + edit.insert.size() > MaxSize)
        return {false, tooLarge(off_t(old.size() + edit.insert.size()))};
    if (auto replaced = replace(file.get(), st, target, old, edit))
        return *replaced;
    return changeInPlace(file.get(), st, target, old, edit);
}

// A file that root creates in a user's folder belongs to that user, who
// can then go on saving it.
void giveToFolderOwner(int file, const struct stat &folder)
{
    if (::geteuid() == 0 && folder.st_uid != 0)
        (void)::fchown(file, folder.st_uid, folder.st_gid);
}

// Creates the file at path, which does not exist yet.
Outcome create(const std::string &path, const std::function<Plan(std::string_view)> &plan)
{
    struct stat link {};
    if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        // A link to a file that does not exist: the kernel creates it, where
        // and if it lets this user follow the link. Empty, it reads as the
        // missing file did.
        FileDescriptor made(::open(path.c_str(), O_RDONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666));
        if (made.get() < 0)
            return {false, reason(errno)};
        struct stat folderStat {};
        if (::stat(folderOf(nameOf(made.get())).c_str(), &folderStat) == 0)
            giveToFolderOwner(made.get(), folderStat);
        return {true, std::nullopt};
    }
    const std::string folder = folderOf(path), name = baseOf(path);
    FileDescriptor where(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat folderStat {};
    if (where.get() < 0 || ::fstat(where.get(), &folderStat) != 0)
        return {false, reason(errno)};
    const Plan planned = plan({});
    if (const auto *refusal = std::get_if<std::string>(&planned))
        return {false, *refusal};
    const std::string &content = std::get<Edit>(planned).insert;

    // Written without a name, then named only if the name is still free:
    // two writers creating the file at once cannot overwrite each other.
    FileDescriptor out(::openat(where.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
    std::string unnamed;
    if (out.get() < 0) { // a filesystem without unnamed files
        unnamed = "." + name + std::string(NewSuffix) + "." + std::to_string(::getpid());
        out.reset(::openat(where.get(), unnamed.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    }
    if (out.get() < 0)
        return {false, "cannot create a file in " + folder + " (" + reason(errno) + ")"};
    const auto forget = [&] {
        if (!unnamed.empty())
            ::unlinkat(where.get(), unnamed.c_str(), 0);
    };
    giveToFolderOwner(out.get(), folderStat);
    if (!writeAll(out.get(), content) || ::fsync(out.get()) != 0) {
        const int error = errno;
        forget();
        return {false, reason(error)};
    }
    const int named = unnamed.empty() ? ::linkat(AT_FDCWD, reopenPath(out.get()).c_str(), where.get(), name.c_str(),
                                                 AT_SYMLINK_FOLLOW)
                                      : ::linkat(where.get(), unnamed.c_str(), where.get(), name.c_str(), 0);
    const int error = errno;
    forget();
    if (named != 0)
        return error == EEXIST ? Outcome{true, std::nullopt} : Outcome{false, reason(error)};
    syncFolder(folder);
    return {};
}

} // namespace

std::optional<std::string> read(const std::string &path, const std::function<void(std::string_view)> &use)
{
    try {
        // The kernel resolves the path, links and all, within its limits; a
        // path descriptor tells the file's type without opening a device.
        FileDescriptor where(::open(path.c_str(), O_PATH | O_CLOEXEC));
        struct stat st {};
        if (where.get() < 0 || ::fstat(where.get(), &st) != 0 || !S_ISREG(st.st_mode))
            return std::nullopt;
        if (st.st_size > off_t(MaxSize))
            return tooLarge(st.st_size);
        FileDescriptor fd(::open(reopenPath(where.get()).c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
        Content content;
        if (fd.get() < 0)
            return std::nullopt;
        if (!content.readAll(fd.get(), size_t(st.st_size)))
            return errno == EFBIG ? std::optional(tooLarge(off_t(MaxSize) + 1)) : std::nullopt;
        use(content.view());
        return std::nullopt;
    } catch (const std::exception &error) {
        return std::string("it cannot be read (") + error.what() + ")";
    }
}

std::optional<std::string> update(const std::string &path, const std::function<Plan(std::string_view content)> &plan)
{
    try {
        // Another writer that replaces the file while this one waits for it
        // sends this one to the new file: it tries again until the deadline.
        const Deadline deadline = std::chrono::steady_clock::now() + LockWait;
        while (std::chrono::steady_clock::now() < deadline) {
            FileDescriptor where(::open(path.c_str(), O_PATH | O_CLOEXEC));
            struct stat link {};
            Outcome outcome;
            if (where.get() >= 0)
                outcome = change(where.get(), plan, deadline);
            else if (errno == ENOENT)
                outcome = create(path, plan);
            else if (errno == EACCES && ::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode))
                return std::string("it is a link that the system does not let this user follow");
            else
                return reason(errno);
            if (!outcome.again)
                return outcome.error;
        }
        return std::string("other programs kept changing it; try again in a moment");
    } catch (const std::exception &error) {
        return std::string("it cannot be saved (") + error.what() + ")";
    }
}

} // namespace durablefile
