// How a save keeps Setup.ini whole and trusts nothing that another user
// can put beside it. Each path below names the rules it relies on.
//
//  1. One writer at a time: every writer holds an OFD write lock on the
//     file itself while it changes it, and handles what lies beside the
//     file only under that lock.
//  2. The file's bytes change only once what is needed to undo or redo
//     the change is whole and flushed: the new content in a file of its
//     own (renamed over the file), or a journal of the bytes before and
//     after the change, flushed and with its name flushed into the folder
//     (a change in place).
//  3. A journal is used only when it could not have been planted: a
//     regular file, not a link, of a user who may write the file anyway
//     (the file's owner, this user, root, or a member of a group that may
//     write it, shown by the journal's group), for this very file (device
//     and inode), with sizes and offsets within MaxSize, checked before
//     any arithmetic, and a checksum over all it holds.
//  4. A journal is applied only to a file in a state that its cut-short
//     save could have left: the bytes before the change as they were, and
//     each later byte as it was before or as it was to become. Equal to the
//     content before, the file was never touched; equal to the content
//     after, the save completed; anything else was changed by someone else
//     since, and is left alone.
//  5. Whatever a writer puts beside the file has a name with a random part,
//     made with O_EXCL: nobody can take it first, and nothing planted there
//     blocks a save. A writer removes only leftovers of this program (its
//     names) made by a user who may write the file.
//  6. A save is reported done only when it is durable: the new content
//     flushed, and a rename or a new name flushed into the folder. A
//     journal's removal need not be: by rule 4 a journal left behind can
//     never undo a completed save.
//  7. A file is given away (root creating a user's file) only when this
//     very call created it.
//  8. A symbolic link in the place of the file is followed only where no
//     one else could have planted it against the user: a link of the
//     user's own, or one to an existing file of the link's owner; in any
//     folder, for every user, root too.

#include "settings/durablefile.h"

#include "system/descriptor.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include <csignal>
#include <ctime>

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#ifndef sigev_notify_thread_id
#define sigev_notify_thread_id _sigev_un._tid
#endif
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace durablefile {
namespace {

// How long a writer waits for other writers to finish with the file.
constexpr auto LockWait = std::chrono::seconds(2);

using Deadline = std::chrono::steady_clock::time_point;

// How long a file found empty is given to be written by an editor that had
// just emptied it.
constexpr auto EmptyFileSettles = std::chrono::milliseconds(20);

// The deadline that saves share while a shared wait is under way.
thread_local std::optional<Deadline> sharedDeadline;

// The files that a writer keeps beside the file while it works, named so
// that no user's file is taken for one: the new content before it is
// renamed over the file, and the journal of a change made in place. Each
// has a random part after these (rule 5).
constexpr std::string_view NewSuffix = ".tavorin-configurator-new";
constexpr std::string_view JournalSuffix = ".tavorin-configurator-journal";
constexpr std::string_view JournalHeader = "tavorin-configurator journal 2\n";

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

// Makes the folder's entries (a new name, a removed one) durable. False,
// with errno, when the system does not confirm it. A folder that this user
// may not read (mode 0333, say) cannot be opened to be flushed: there the
// system flushes it in its own time, as for any program that saves there.
bool syncFolder(const std::string &folder)
{
    FileDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0)
        return errno == EACCES;
    return ::fsync(fd.get()) == 0;
}

std::string notDurable(int error)
{
    return "the system did not confirm that the change reached the disk (" + reason(error)
         + "), so a power cut may still undo it";
}

// A name part that nobody can guess, for the files beside the target.
std::string randomPart()
{
    unsigned char bytes[8] = {};
    if (::getrandom(bytes, sizeof bytes, 0) != ssize_t(sizeof bytes)) {
        const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
        std::memcpy(bytes, &now, std::min(sizeof now, sizeof bytes));
        bytes[0] ^= uint8_t(::getpid());
    }
    char text[2 * sizeof bytes + 2] = ".";
    for (size_t i = 0; i < sizeof bytes; ++i)
        std::snprintf(text + 1 + 2 * i, 3, "%02x", bytes[i]);
    return text;
}

// Interrupts this thread's blocking lock request at the deadline, and every
// 10 ms after it, so that a request made just after the deadline is
// interrupted too. Not armed where the system gives no timer.
class LockTimer {
public:
    explicit LockTimer(Deadline deadline)
    {
        static const int signal = [] {
            struct sigaction action {};
            action.sa_handler = [](int) {}; // only to interrupt the request: no SA_RESTART
            ::sigemptyset(&action.sa_mask);
            ::sigaction(SIGRTMIN + 1, &action, nullptr);
            return SIGRTMIN + 1;
        }();
        struct sigevent event {};
        event.sigev_notify = SIGEV_THREAD_ID;
        event.sigev_signo = signal;
        event.sigev_notify_thread_id = ::gettid();
        m_armed = ::timer_create(CLOCK_MONOTONIC, &event, &m_timer) == 0;
        const auto left = std::max<std::chrono::nanoseconds::rep>(
            1, std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - std::chrono::steady_clock::now()).count());
        struct itimerspec when {};
        when.it_value = {time_t(left / 1000000000), long(left % 1000000000)};
        when.it_interval = {0, 10000000};
        if (m_armed && ::timer_settime(m_timer, 0, &when, nullptr) != 0) {
            ::timer_delete(m_timer);
            m_armed = false;
        }
    }
    ~LockTimer()
    {
        if (m_armed)
            ::timer_delete(m_timer);
    }
    LockTimer(const LockTimer &) = delete;
    LockTimer &operator=(const LockTimer &) = delete;
    bool armed() const { return m_armed; }

private:
    timer_t m_timer {};
    bool m_armed = false;
};

enum class Locked { Yes, OnlyByReaders, No };

// Takes the write lock on the open file that every writer of it takes
// (rule 1). Any other lock on the file, a reader's too, holds it up. The
// request waits in the kernel, which wakes a waiting writer the moment the
// lock is free, so that a writer that saves again and again cannot keep
// it from one that waits; the wait ends at the deadline. Then, where only
// readers' locks stand in the way, says so: a save by rename needs no lock
// against readers, who keep what they opened.
std::pair<Locked, std::string> lock(int file, Deadline deadline)
{
    struct flock request {};
    request.l_type = F_WRLCK;
    request.l_whence = SEEK_SET;
    if (::fcntl(file, F_OFD_SETLK, &request) == 0)
        return {Locked::Yes, {}};
    std::optional<LockTimer> timer;
    if (std::chrono::steady_clock::now() < deadline)
        timer.emplace(deadline);
    for (;;) {
        if (errno != EAGAIN && errno != EACCES && errno != EINTR)
            return {Locked::No, "it cannot be locked against other writers (" + reason(errno) + ")"};
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        if (timer->armed() ? ::fcntl(file, F_OFD_SETLKW, &request) == 0 : ::fcntl(file, F_OFD_SETLK, &request) == 0)
            return {Locked::Yes, {}};
        if (!timer->armed())
            std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    struct flock writers {};
    writers.l_type = F_RDLCK; // held up only by a write lock
    writers.l_whence = SEEK_SET;
    if (::fcntl(file, F_OFD_GETLK, &writers) == 0 && writers.l_type == F_UNLCK)
        return {Locked::OnlyByReaders, {}};
    return {Locked::No, "another program holds a lock on it (it may be saving it); try again in a moment"};
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

constexpr uint64_t ChecksumStart = 14695981039346656037ull;

// FNV-1a, continued from `hash` where data follows other data.
uint64_t checksum(std::string_view data, uint64_t hash = ChecksumStart)
{
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

// Whether a file beside the target (`beside`, in `folder`) was made by a
// user who may write the target anyway (rules 3 and 5): a regular file of
// the target's owner, this user or root; or of a member of the target's
// group where that group may write it. A writer gives what it makes the
// target's group, which only a member can give, unless a folder that
// anyone may write gives it its own group (setgid). Anything else may
// have been planted by another user.
bool madeByAWriter(const struct stat &beside, const struct stat &target, const struct stat &folder)
{
    if (!S_ISREG(beside.st_mode))
        return false;
    if (beside.st_uid == target.st_uid || beside.st_uid == ::geteuid() || beside.st_uid == 0)
        return true;
    const bool groupGivenByFolder = (folder.st_mode & S_ISGID) && folder.st_gid == target.st_gid
                                 && (folder.st_mode & S_IWOTH);
    return (target.st_mode & S_IWGRP) && beside.st_gid == target.st_gid && !groupGivenByFolder;
}

// A journal, as changeInPlace writes it:
//   tavorin-configurator journal 2
//   <device> <inode> <offset> <checksum of the bytes before offset, hex> <length before> <length after>
//   <the file's bytes from offset on, before the change><the same, after it>
//   end <checksum of all from the second line to here, hex>
struct Journal {
    unsigned long long device = 0, inode = 0, offset = 0, prefixSum = 0;
    std::string_view before, after;
};

std::optional<Journal> parseJournal(std::string_view text)
{
    if (text.substr(0, JournalHeader.size()) != JournalHeader)
        return std::nullopt;
    const size_t line = JournalHeader.size(), body = text.find('\n', line) + 1;
    if (body == 0 || body - line > 200)
        return std::nullopt;
    const std::string numbers(text.substr(line, body - line));
    Journal journal;
    unsigned long long before = 0, after = 0;
    int used = 0;
    if (std::sscanf(numbers.c_str(), "%llu %llu %llu %llx %llu %llu\n%n", &journal.device, &journal.inode,
                    &journal.offset, &journal.prefixSum, &before, &after, &used) != 6
        || size_t(used) != numbers.size())
        return std::nullopt;
    // Checked one by one before they are added: nothing can overflow.
    if (journal.offset > MaxSize || before > MaxSize - journal.offset || after > MaxSize - journal.offset
        || text.size() - body < before + after)
        return std::nullopt;
    journal.before = text.substr(body, before);
    journal.after = text.substr(body + before, after);
    const size_t end = body + before + after;
    char trailer[40];
    std::snprintf(trailer, sizeof trailer, "\nend %llx\n", (unsigned long long)checksum(text.substr(line, end - line)));
    if (text.substr(end) != trailer)
        return std::nullopt;
    return journal;
}

// Whether `content` is in a state that the journal's save, cut short, could
// have left, in which it must be put back (rule 4).
bool tornBy(std::string_view content, const Journal &journal)
{
    if (content.size() < journal.offset || checksum(content.substr(0, journal.offset)) != journal.prefixSum)
        return false;
    const std::string_view tail = content.substr(journal.offset);
    // A cut-short save writes the new bytes over the old ones, then cuts
    // the file to its new length: the file is never shorter than both.
    if (tail == journal.before || tail == journal.after
        || tail.size() > std::max(journal.before.size(), journal.after.size())
        || tail.size() < std::min(journal.before.size(), journal.after.size()))
        return false;
    for (size_t i = 0; i < tail.size(); ++i) {
        // A byte not yet on the disk when the power went reads as NUL.
        if (!(i < journal.before.size() && tail[i] == journal.before[i])
            && !(i < journal.after.size() && tail[i] == journal.after[i]) && tail[i] != '\0')
            return false;
    }
    return true;
}

// What writers that were stopped left beside the file: the new files of
// those that were to rename, and the journals of those that changed the
// file in place. Under the lock (rule 1), it removes the new files, and
// for a journal of this file puts back what its save had begun to change,
// then removes it. What another user may have planted is set aside: left
// where it is and not used (rules 3 and 5).
std::optional<std::string> clearLeftovers(int file, const struct stat &st, const std::string &target)
{
    const std::string folder = folderOf(target), own = "." + baseOf(target);
    const std::string newPrefix = own + std::string(NewSuffix), journalPrefix = own + std::string(JournalSuffix);
    struct stat folderStat {};
    if (::stat(folder.c_str(), &folderStat) != 0)
        return std::nullopt; // nothing can lie beside the file where the folder cannot be looked at
    std::vector<std::string> names;
    if (DIR *dir = ::opendir(folder.c_str())) {
        while (const struct dirent *entry = ::readdir(dir)) {
            const std::string_view name = entry->d_name;
            if (name.substr(0, newPrefix.size()) == newPrefix || name.substr(0, journalPrefix.size()) == journalPrefix)
                names.emplace_back(name);
        }
        ::closedir(dir);
    }
    bool removed = false;
    for (const std::string &name : names) {
        const std::string path = folder + "/" + name;
        FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        struct stat beside {};
        if (fd.get() < 0 || ::fstat(fd.get(), &beside) != 0 || !madeByAWriter(beside, st, folderStat))
            continue;
        if (name.compare(0, journalPrefix.size(), journalPrefix) == 0) {
            // No journal of ours is larger than twice the largest file.
            Content text;
            if (beside.st_size > off_t(2 * MaxSize + 4096) || !text.readAll(fd.get(), size_t(beside.st_size)))
                continue;
            const std::optional<Journal> journal = parseJournal(text.view());
            if (journal && journal->device == st.st_dev && journal->inode == st.st_ino) {
                Content content;
                if (!content.readAll(file, size_t(st.st_size)))
                    return "it cannot be read (" + reason(errno) + ")";
                if (tornBy(content.view(), *journal)
                    && (!writeAll(file, journal->before, off_t(journal->offset))
                        || ::ftruncate(file, off_t(journal->offset + journal->before.size())) != 0
                        || ::fsync(file) != 0))
                    return "an unfinished save could not be undone (" + reason(errno) + ")";
            }
        }
        // Incomplete, done, stale or undone: no longer needed (rule 6).
        removed = ::unlink(path.c_str()) == 0 || removed;
    }
    if (removed)
        (void)syncFolder(folder);
    return std::nullopt;
}

// Whether a file cannot be created in a folder because this user may not
// write the folder, where a text editor still saves the file in place.
bool folderClosed(int error) { return error == EACCES || error == EPERM || error == EROFS; }

// Saves by writing the new content to a new file beside the target, with
// the target's owner, group, mode and extended attributes (its ACL among
// them), and renaming it over the target: whoever reads the file sees the
// old content or the new, never a mix (rules 2, 5 and 6). nullopt when the
// new file cannot carry all of that, a rename would split the file's hard
// links, or the folder holds no new file; the caller then writes in place.
std::optional<Outcome> replace(int file, const struct stat &st, const std::string &target, std::string_view old,
                               const Edit &edit)
{
    if (st.st_nlink != 1 || (::geteuid() != 0 && (st.st_uid != ::geteuid() || !inGroup(st.st_gid))))
        return std::nullopt;
    const std::string folder = folderOf(target);
    const std::string temporary = folder + "/." + baseOf(target) + std::string(NewSuffix) + randomPart();
    FileDescriptor out(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (out.get() < 0 && folderClosed(errno))
        return std::nullopt;
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
    // Looked at last, once the new content is on the disk, to leave an
    // editor that saves meanwhile the least time to go unseen.
    if (!unchanged(target, st)) {
        abandon(0);
        return Outcome{true, std::nullopt};
    }
    // The new file is locked before it takes the name, and the old one let
    // go as soon as it has lost it: a writer that waited for the old one
    // then finds the new one and waits for it in the kernel while this one
    // flushes the folder, so that it is served before this one can start
    // its next save, not always one file behind.
    struct flock request {};
    request.l_type = F_WRLCK;
    request.l_whence = SEEK_SET;
    const FileDescriptor held(::open(temporary.c_str(), O_RDWR | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    if (held.get() < 0 || ::fcntl(held.get(), F_OFD_SETLK, &request) != 0)
        return abandon(errno);
    if (::rename(temporary.c_str(), target.c_str()) != 0)
        return abandon(errno);
    request.l_type = F_UNLCK;
    (void)::fcntl(file, F_OFD_SETLK, &request);
    if (!syncFolder(folder)) // the rename itself is durable once the folder is
        return Outcome{false, notDurable(errno)};
    return Outcome{};
}

// Writes a journal of the change at `journal` (rule 2): what the file holds
// from the edit on, before and after it. Readable by whoever may read the
// file, which it is part of. Returns 0, or why it could not, as an errno.
int writeJournal(const std::string &journal, const struct stat &st, std::string_view old, std::string_view after,
                 const Edit &edit)
{
    FileDescriptor out(::open(journal.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (out.get() < 0)
        return errno;
    (void)::fchown(out.get(), uid_t(-1), st.st_gid);
    const std::string_view before = old.substr(edit.cut);
    char numbers[200];
    std::snprintf(numbers, sizeof numbers, "%llu %llu %llu %llx %llu %llu\n", (unsigned long long)st.st_dev,
                  (unsigned long long)st.st_ino, (unsigned long long)edit.cut,
                  (unsigned long long)checksum(old.substr(0, edit.cut)), (unsigned long long)before.size(),
                  (unsigned long long)after.size());
    char trailer[40];
    std::snprintf(trailer, sizeof trailer, "\nend %llx\n",
                  (unsigned long long)checksum(after, checksum(before, checksum(numbers))));
    if (::fchmod(out.get(), st.st_mode & 0666) != 0 || !writeAll(out.get(), JournalHeader)
        || !writeAll(out.get(), numbers) || !writeAll(out.get(), before) || !writeAll(out.get(), after)
        || !writeAll(out.get(), trailer) || ::fsync(out.get()) != 0 || ::close(out.release()) != 0)
        return errno;
    return 0;
}

// Saves by changing the file in place, from the first changed byte on,
// which keeps everything the file has. Crash-safe by a journal (rules 2
// to 6), flushed with its name before the file's first byte changes and
// removed once the file is flushed; the next writer puts back a change
// that was cut short. A folder that this user may not write holds no
// journal: there the file is changed in place as a text editor changes
// it, and a crash mid-write can leave it torn.
Outcome changeInPlace(int file, const struct stat &st, const std::string &target, std::string_view old,
                      const Edit &edit)
{
    const std::string folder = folderOf(target);
    const std::string journal = folder + "/." + baseOf(target) + std::string(JournalSuffix) + randomPart();
    const std::string after = edit.insert + std::string(old.substr(edit.resume));
    bool journaled = true;
    if (const int error = writeJournal(journal, st, old, after, edit)) {
        ::unlink(journal.c_str());
        if (!folderClosed(error))
            return {false, "cannot write a journal in " + folder + " (" + reason(error) + ")"};
        journaled = false;
    } else if (!syncFolder(folder)) {
        const int code = errno;
        ::unlink(journal.c_str());
        return {false, "cannot write a journal in " + folder + " (" + reason(code) + ")"};
    }
    const auto forget = [&] {
        if (journaled)
            ::unlink(journal.c_str()); // need not be durable (rule 6)
    };
    if (!unchanged(target, st)) {
        forget();
        return {true, std::nullopt};
    }
    const off_t from = off_t(edit.cut);
    if (!writeAll(file, after, from) || ::ftruncate(file, from + off_t(after.size())) != 0 || ::fsync(file) != 0) {
        const int error = errno;
        // Undone at once where possible; otherwise the journal stays for the next writer.
        if (writeAll(file, old.substr(edit.cut), from) && ::ftruncate(file, off_t(old.size())) == 0
            && ::fsync(file) == 0)
            forget();
        return {false, reason(error)};
    }
    forget();
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
    const auto [locked, whyNot] = lock(file.get(), deadline);
    if (locked == Locked::No)
        return {false, whyNot};
    // Another writer may have replaced the file while this one waited.
    struct stat now {};
    if (::stat(target.c_str(), &now) != 0 || now.st_dev != st.st_dev || now.st_ino != st.st_ino)
        return {true, std::nullopt};
    if (::fstat(file.get(), &st) != 0)
        return {false, reason(errno)};
    // What lies beside the file is handled only under the lock (rule 1).
    if (locked == Locked::Yes) {
        if (auto error = clearLeftovers(file.get(), st, target))
            return {false, error};
    }

    Content content;
    if (::fstat(file.get(), &st) != 0 || !content.readAll(file.get(), size_t(st.st_size)))
        return {false, errno == EFBIG ? tooLarge(off_t(MaxSize) + 1) : reason(errno)};
    // An editor that saves in place empties the file, then writes it: a
    // file found empty is looked at again a moment later, so that its whole
    // content is not replaced by an edit of nothing.
    if (content.view().empty()) {
        std::this_thread::sleep_for(EmptyFileSettles);
        if (!unchanged(target, st))
            return {true, std::nullopt};
    }
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
    // Without the lock, only a rename may change the file (rule 1).
    if (locked != Locked::Yes)
        return {false, "a program that reads it holds a lock on it, and it can only be changed in place (it has "
                       "more than one link, or another owner), which that lock forbids; try again once that program "
                       "has let go of it"};
    return changeInPlace(file.get(), st, target, old, edit);
}

// A file that root creates in a user's folder belongs to that user, who
// can then go on saving it. Called only for a file that this very call
// created (rule 7).
void giveToFolderOwner(int file, const struct stat &folder)
{
    if (::geteuid() == 0 && folder.st_uid != 0)
        (void)::fchown(file, folder.st_uid, folder.st_gid);
}

// Creates the file that the link at `path`, whose target does not exist,
// names: the kernel has let this user follow the link. Only a file that
// this call creates, empty, is given away; then the caller starts afresh.
Outcome createThroughLink(const std::string &path)
{
    std::string target(PATH_MAX, '\0');
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    if (n <= 0 || size_t(n) >= target.size())
        return {false, reason(n < 0 ? errno : ENAMETOOLONG)};
    target.resize(size_t(n));
    if (target.front() != '/')
        target = folderOf(path) + "/" + target;
    FileDescriptor made(::open(target.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666));
    if (made.get() < 0)
        return errno == EEXIST ? Outcome{true, std::nullopt} : Outcome{false, reason(errno)};
    struct stat folderStat {};
    if (::stat(folderOf(nameOf(made.get())).c_str(), &folderStat) == 0)
        giveToFolderOwner(made.get(), folderStat);
    return {true, std::nullopt};
}

// Creates the file at path, which does not exist yet.
Outcome create(const std::string &path, const std::function<Plan(std::string_view)> &plan)
{
    struct stat link {};
    if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode))
        return createThroughLink(path);
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
    if (out.get() < 0) { // a filesystem without unnamed files: a name no one can take first (rule 5)
        unnamed = "." + name + std::string(NewSuffix) + randomPart();
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
    // A writer that found the file meanwhile may have taken the unnamed
    // file for a leftover: start afresh, as when the name was taken.
    if (named != 0)
        return error == EEXIST || error == ENOENT ? Outcome{true, std::nullopt} : Outcome{false, reason(error)};
    if (!syncFolder(folder))
        return {false, notDurable(errno)};
    return {};
}

// Why the link at `path`, Setup.ini itself, is not followed (rule 8);
// nullopt where it is no link, or may be followed: a link of this user's
// own, or one to an existing file of the link's own owner, `where` being
// the file that opening the path reached (-1 for none). So no link that
// another user planted leads a save to a file that user may not change,
// in any folder, whoever saves, root too.
std::optional<std::string> plantedLink(const std::string &path, int where)
{
    struct stat link {}, target {};
    if (::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode) || link.st_uid == ::geteuid())
        return std::nullopt;
    const bool reached = where >= 0 && ::fstat(where, &target) == 0;
    if (reached && target.st_uid == link.st_uid)
        return std::nullopt;
    std::string to(PATH_MAX, '\0');
    const ssize_t n = ::readlink(path.c_str(), to.data(), to.size() - 1);
    to.resize(n > 0 ? size_t(n) : 0);
    return "it is a symbolic link to " + to + " that user " + std::to_string(link.st_uid) + " made, and it leads "
         + (reached ? "to a file of user " + std::to_string(target.st_uid) : std::string("to no file"))
         + ": a link of another user is followed only to that user's own file";
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
        // Tried once at least, even when a shared wait has run out, so that
        // every save of a series says why it failed, not only the first.
        const Deadline deadline = sharedDeadline ? *sharedDeadline : std::chrono::steady_clock::now() + LockWait;
        for (bool first = true; first || std::chrono::steady_clock::now() < deadline; first = false) {
            FileDescriptor where(::open(path.c_str(), O_PATH | O_CLOEXEC));
            const int opened = errno;
            // Looked at once the path is opened: what it reached is what is checked.
            if (auto refused = plantedLink(path, where.get()))
                return refused;
            errno = opened;
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

bool beginSharedWait()
{
    if (sharedDeadline)
        return false;
    sharedDeadline = std::chrono::steady_clock::now() + LockWait;
    return true;
}

void endSharedWait() { sharedDeadline.reset(); }

} // namespace durablefile
