// How a save keeps Setup.ini whole, and why it trusts nothing that another
// user can put beside it or on the way to it: whatever it needs to finish
// a save lives in the file itself, which only those who may write the file
// can change. Each path below names the rules it relies on.
//
//  1. The path is walked once, a name at a time, each opened relative to
//     the folder before it without following a link. Every later step (the
//     re-read, the new file, the rename, the folder's flush, the owner of
//     a new file) goes through the descriptors of that walk, never through
//     a path: a name swapped during a save changes nothing that it does.
//  2. A symbolic link anywhere on the way is followed only where it is the
//     user's own or root's; for root, only root's. Another user's link is
//     refused, named with its owner, in any folder.
//  3. No wait outlasts the deadline, whatever others do: the file is opened
//     without blocking (a lease on it is waited for until the deadline, a
//     FIFO never opened); the lock wait is cut short by a timer whose signal
//     is handled and let through on the waiting thread, whatever the
//     program was started with; and a file larger than any save could
//     have to read is refused by its size alone, one larger than a content
//     may be after a look at its last pages, unless they are a record's.
//  4. One writer at a time changes the file in place: it holds an OFD
//     write lock on the file itself. Once its change is durable, it checks
//     that the file still has the name; where a rename took it meanwhile,
//     the save is made again on the file that has it.
//  5. One rename at a time: a new file takes Setup.ini's name only from one
//     name beside it, ".Setup.ini.tavorin-configurator-new", which a save
//     takes only where it is free, with the new file already locked. Under
//     the file's lock, the file is checked just before the rename. Without
//     it (only readers hold locks at the deadline, and readers keep what
//     they opened), the new file is swapped in, and what came back must be
//     the file that was read, byte for byte; otherwise it is swapped back
//     and the save starts afresh.
//  6. The file's bytes change in place only once a record of the change,
//     written past both the old and the new end of the content, is whole
//     and flushed. A save by rename writes the new content to a file of
//     its own, flushed before it takes the name.
//  7. A record (saverecord) is pages of the file past its content, each of
//     which names the record and checks itself, so that whichever of them
//     a power cut keeps, each tells where the content ends; its numbers
//     are checked before any arithmetic. Only someone who may write the
//     file can have put it there.
//  8. A whole record completes its save only where the file is in a state
//     that the save could have left: the bytes before the change as they
//     were, and each later byte up to the record as it was before or as it
//     was to become (or NUL, not yet on the disk). Otherwise, or where it
//     is damaged or marked finished, it only goes, with the NUL bytes
//     before it: nothing else past the content stays. To every reader its
//     pages are sections of their own after all of the file's, in the
//     file's encoding, and the bytes between are NUL, which end any value.
//     Readers read the file as the next writer leaves it; the window's
//     load, and Run before it starts Tavorin, complete it on the disk.
//  9. Nothing beside the file is read, and no folder listed. What holds the
//     name of rule 5 is a save under way, waited for while it holds its
//     lock; or a leftover, removed only where it is this user's own regular
//     file of a single link, or a second name of Setup.ini itself; anything
//     else keeps the name, and the save goes in place.
// 10. A save is reported done only when it is durable: the new content
//     flushed, and the rename or the new name flushed into the folder, or
//     the change in place flushed behind its record, and the record marked
//     finished, flushed, so that one not cut off never completes anything.
// 11. A file is given away (root creating a user's file) only when this
//     very call created it, to the owner of the folder it was walked to.

#include "settings/durablefile.h"

#include "base/descriptor.h"
#include "settings/saverecord.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <tuple>
#include <variant>
#include <vector>

#include <csignal>
#include <ctime>

#include <fcntl.h>
#include <pthread.h>
#ifndef sigev_notify_thread_id
#define sigev_notify_thread_id _sigev_un._tid
#endif
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace durablefile {
namespace {

using saverecord::Page;

// How long a writer waits for other writers to finish with the file.
constexpr auto LockWait = std::chrono::seconds(2);

// How long after that a save that was sent to the file another save had
// just renamed into place may still start afresh on it.
constexpr auto LastTries = std::chrono::seconds(1);

// How long a read waits for a program that holds a lease on the file to
// let go of it.
constexpr auto LeaseWait = std::chrono::milliseconds(100);

using Deadline = std::chrono::steady_clock::time_point;

// How long a file found empty is given to be written by an editor that had
// just emptied it.
constexpr auto EmptyFileSettles = std::chrono::milliseconds(20);

// The deadline that saves share while a shared wait is under way.
thread_local std::optional<Deadline> sharedDeadline;

// How many symbolic links one walk follows at most, as the kernel does.
constexpr int MaxLinks = 40;

// The largest file that is read (rule 3): MaxSize of content, and the
// largest record past it.
const size_t FileLimit = MaxSize + Page + saverecord::largest(MaxSize);

std::string reason(int error) { return std::strerror(error); }

std::string tooLarge(off_t size)
{
    return "it is " + std::to_string(size) + " bytes long, more than the " + std::to_string(MaxSize >> 20)
         + " MiB a settings file may have";
}

std::string lease() { return "another program holds it open under a lease and did not let go in time; try again"; }

// A path that reopens an open descriptor's file without walking a path again.
std::string reopenPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Opens the file that a path descriptor of the walk refers to, never
// blocking: a lease on it is waited for until `until` (rule 3).
int reopen(int where, int flags, Deadline until)
{
    for (;;) {
        const int fd = ::open(reopenPath(where).c_str(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd >= 0) {
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
            return fd;
        }
        if (errno != EWOULDBLOCK || std::chrono::steady_clock::now() >= until)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// Where the walk of a path ended: the folder that holds the file, the
// file's name there, and the file (a path descriptor), or none where that
// name is free.
struct Place {
    FileDescriptor folder, file;
    std::string name;
};

// Why a walk ended before the file: `link` where at a link it may not follow.
struct Refused {
    std::string why;
    bool link = false;
};

// Whether a link of `owner` may be followed (rule 2).
bool trusted(uid_t owner) { return owner == 0 || owner == ::geteuid(); }

// Walks `path` once, following the links that rule 2 allows, and returns
// where it ended, or why it could not.
std::variant<Place, Refused> walk(const std::string &path)
{
    // The names still to walk, the next one last.
    std::vector<std::string> names;
    const auto push = [&names](std::string_view text) {
        for (size_t end = text.size(); end != std::string_view::npos && end > 0;) {
            const size_t slash = text.rfind('/', end - 1);
            const size_t from = slash == std::string_view::npos ? 0 : slash + 1;
            if (end > from)
                names.emplace_back(text.substr(from, end - from));
            end = slash;
        }
    };
    push(path);
    Place place;
    place.folder.reset(::open(path.rfind('/', 0) == 0 ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    std::string walked = path.rfind('/', 0) == 0 ? "" : "."; // the folder's path, for messages
    if (path.empty() || place.folder.get() < 0)
        return Refused{reason(path.empty() ? ENOENT : errno)};
    for (int links = 0; !names.empty();) {
        place.name = std::move(names.back());
        names.pop_back();
        if (place.name == ".")
            continue;
        FileDescriptor at(::openat(place.folder.get(), place.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat st {};
        if (at.get() < 0 && errno == ENOENT && names.empty())
            return place;
        if (at.get() < 0 || ::fstat(at.get(), &st) != 0)
            return Refused{reason(errno)};
        const std::string shown = walked + "/" + place.name;
        if (S_ISLNK(st.st_mode)) {
            std::string target(PATH_MAX, '\0');
            const ssize_t n = ::readlinkat(at.get(), "", target.data(), target.size());
            if (n <= 0 || size_t(n) >= target.size())
                return Refused{reason(n < 0 ? errno : ENAMETOOLONG)};
            target.resize(size_t(n));
            if (!trusted(st.st_uid))
                return Refused{
                    "it leads through " + shown + ", a symbolic link that user " + std::to_string(st.st_uid)
                        + " made; only "
                        + (::geteuid() == 0 ? "root's own links are" : "this user's own links and root's are")
                        + " followed",
                    true};
            if (++links > MaxLinks)
                return Refused{reason(ELOOP)};
            push(target);
            if (target.front() == '/') {
                place.folder.reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
                walked.clear();
            }
            continue;
        }
        if (names.empty()) {
            place.file = std::move(at);
            return place;
        }
        if (!S_ISDIR(st.st_mode))
            return Refused{reason(ENOTDIR)};
        place.folder = std::move(at);
        walked = shown;
    }
    return Refused{"it is not a regular file"}; // the path names a folder
}

// A file's whole content, in memory that is not cleared first (every byte
// is overwritten by the read anyway).
class Content {
public:
    std::string_view view() const { return {m_data.get(), m_size}; }

    // Reads the open file from its start to its end; sizeHint is its size
    // when opened. False when it cannot, with errno EFBIG when the file has
    // grown beyond `limit`.
    bool readAll(int fd, size_t sizeHint, size_t limit = MaxSize)
    {
        size_t capacity = std::min(sizeHint, limit) + 1; // one more byte shows the end
        m_data.reset(new char[capacity]);
        m_size = 0;
        for (;;) {
            if (m_size > limit) {
                errno = EFBIG;
                return false;
            }
            if (m_size == capacity) { // the file grew while being read
                capacity = std::min(capacity * 2, limit + 1);
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

// Why a file of `size` bytes is refused by its size (rule 3): it is larger
// than any save could have to read, or larger than a content may be and
// not a content within the limit with a record past it, as its pages read
// from its end tell; nullopt where it may be read whole.
std::optional<std::string> refusedBySize(int fd, off_t size)
{
    if (size <= off_t(MaxSize))
        return std::nullopt;
    if (size > off_t(FileLimit))
        return tooLarge(size);
    char mark[2] = {};
    const Encoding encoding
        = saverecord::encodingOf({mark, size_t(std::max<ssize_t>(0, ::pread(fd, mark, sizeof mark, 0)))});
    // The pages of a record, or what is left of one, from the end back to
    // the first that is none, or to one that names where its record starts.
    std::string page(Page, '\0');
    for (off_t offset = (size - 1) / off_t(Page) * off_t(Page); offset > off_t(MaxSize) - off_t(Page);
         offset -= off_t(Page)) {
        const ssize_t n = ::pread(fd, page.data(), Page, offset);
        if (n < 0)
            return reason(errno);
        const saverecord::PageOf of
            = saverecord::pageAt(std::string_view(page).substr(0, size_t(n)), size_t(offset), encoding);
        if (of.kind == saverecord::PageOf::Other)
            return offset + n > off_t(MaxSize) ? std::optional(tooLarge(size)) : std::nullopt;
        if (of.at != 0)
            return of.at <= saverecord::startOf(MaxSize, MaxSize) ? std::nullopt : std::optional(tooLarge(size));
    }
    return std::nullopt;
}

// Writes data at offset, or at the end of what was written when offset is -1.
bool writeAll(int fd, std::string_view data, off_t offset = -1)
{
    while (!data.empty()) {
        const ssize_t n
            = offset < 0 ? ::write(fd, data.data(), data.size()) : ::pwrite(fd, data.data(), data.size(), offset);
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
bool syncFolder(int folder)
{
    FileDescriptor fd(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0)
        return errno == EACCES;
    return ::fsync(fd.get()) == 0;
}

std::string notDurable(int error)
{
    return "the system did not confirm that the change reached the disk (" + reason(error)
         + "), so a power cut may still undo it";
}

// Interrupts this thread's blocking lock request at the deadline, and every
// 10 ms after it, so that a request made just after the deadline is
// interrupted too. The signal's handler is set, and the signal let through
// on this thread for the wait, whatever the program was started with: a
// blocked or ignored signal would never end the wait (rule 3). Not armed
// where the system gives no timer.
class LockTimer {
public:
    explicit LockTimer(Deadline deadline)
    {
        const int signal = SIGRTMIN + 1;
        struct sigaction action {};
        action.sa_handler = [](int) {}; // only to interrupt the request: no SA_RESTART
        ::sigemptyset(&action.sa_mask);
        ::sigaction(signal, &action, nullptr);
        sigset_t only;
        ::sigemptyset(&only);
        ::sigaddset(&only, signal);
        m_unblocked = ::pthread_sigmask(SIG_UNBLOCK, &only, &m_mask) == 0;
        struct sigevent event {};
        event.sigev_notify = SIGEV_THREAD_ID;
        event.sigev_signo = signal;
        event.sigev_notify_thread_id = ::gettid();
        m_armed = m_unblocked && ::timer_create(CLOCK_MONOTONIC, &event, &m_timer) == 0;
        const auto left = std::max<std::chrono::nanoseconds::rep>(
            1,
            std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - std::chrono::steady_clock::now()).count());
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
        // The handler stays: a signal still on its way must not take the
        // default action, which ends the program.
        if (m_armed)
            ::timer_delete(m_timer);
        if (m_unblocked)
            ::pthread_sigmask(SIG_SETMASK, &m_mask, nullptr);
    }
    LockTimer(const LockTimer &) = delete;
    LockTimer &operator=(const LockTimer &) = delete;
    bool armed() const { return m_armed; }

private:
    timer_t m_timer{};
    sigset_t m_mask{};
    bool m_unblocked = false, m_armed = false;
};

enum class Locked { Yes, OnlyByReaders, No };

// Takes the write lock on the open file that every writer of it takes
// (rule 4). Any other lock on the file, a reader's too, holds it up. The
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

// Whether `name` in `folder` is still the file described by `read`: the
// same file, of the same size, last changed at the same moment. An editor
// that saved it meanwhile, without taking the lock, changed one of them.
bool unchanged(int folder, const std::string &name, const struct stat &read)
{
    struct stat now {};
    return ::fstatat(folder, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == read.st_dev
        && now.st_ino == read.st_ino && now.st_size == read.st_size && now.st_mtim.tv_sec == read.st_mtim.tv_sec
        && now.st_mtim.tv_nsec == read.st_mtim.tv_nsec;
}

// Whether `name` in `folder` is the file open as `file`.
bool named(int folder, const std::string &name, int file)
{
    struct stat there {
    }, st{};
    return ::fstatat(folder, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 && ::fstat(file, &st) == 0
        && there.st_dev == st.st_dev && there.st_ino == st.st_ino;
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

// Whether a file cannot be created in a folder because this user may not
// write the folder, where a text editor still saves the file in place.
bool folderClosed(int error) { return error == EACCES || error == EPERM || error == EROFS; }

// The one name from which a new file takes Setup.ini's (rule 5).
std::string commitName(const std::string &base) { return "." + base + ".tavorin-configurator-new"; }

// What the commit name held when a save wanted it.
enum class Name {
    Taken, // now by this save
    Busy, // by another save, which has ended since: the file has changed
    Kept, // by something else, which keeps it (rule 9)
    Failed, // errno says why
};

// Looks at what holds the commit name in `folder` (rule 9): a leftover of
// this user's own is removed (Name::Taken: the name is free); a save under
// way is waited for until `until`.
Name holderOf(int folder, const std::string &name, Deadline until)
{
    FileDescriptor at(::openat(folder, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (at.get() < 0)
        return errno == ENOENT ? Name::Taken : Name::Kept;
    if (::fstat(at.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return Name::Kept;
    const FileDescriptor fd(reopen(at.get(), O_RDWR, until));
    if (fd.get() < 0)
        return Name::Kept;
    if (lock(fd.get(), std::chrono::steady_clock::now()).first != Locked::Yes) {
        (void)lock(fd.get(), until);
        return Name::Busy;
    }
    return st.st_uid == ::geteuid() && st.st_nlink == 1 && named(folder, name, fd.get())
                && ::unlinkat(folder, name.c_str(), 0) == 0
             ? Name::Taken
             : Name::Kept;
}

// The new file of a save: unnamed, or holding the commit name.
struct NewFile {
    FileDescriptor fd;
    bool named = false;
};

// Gives the new file the commit name, or, where the filesystem has no
// unnamed files and so none was made, makes it under that name; locked
// either way before it has the name (rule 5).
Name takeName(int folder, const std::string &base, mode_t mode, Deadline until, NewFile &out)
{
    const std::string name = commitName(base);
    for (int tries = 0; tries < 3; ++tries) {
        if (out.fd.get() >= 0) {
            out.named
                = ::linkat(AT_FDCWD, reopenPath(out.fd.get()).c_str(), folder, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
        } else {
            out.fd.reset(::openat(folder, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
            // Another save of this user's that locked it first, in the
            // moment before this one could, took it for a leftover.
            if (out.fd.get() >= 0 && lock(out.fd.get(), std::chrono::steady_clock::now()).first != Locked::Yes) {
                out.fd.reset();
                return Name::Busy;
            }
            out.named = out.fd.get() >= 0;
        }
        if (out.named)
            return Name::Taken;
        if (errno != EEXIST)
            return Name::Failed;
        const Name holder = holderOf(folder, name, until);
        if (holder != Name::Taken)
            return holder;
    }
    return Name::Kept;
}

// Makes the new file for a save in `folder`: unnamed where the filesystem
// allows it, otherwise under the commit name. nullopt once made.
std::optional<Name> newFile(int folder, const std::string &base, mode_t mode, Deadline until, NewFile &out)
{
    out.fd.reset(::openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode));
    if (out.fd.get() >= 0)
        return lock(out.fd.get(), until).first == Locked::Yes ? std::nullopt : std::optional(Name::Failed);
    if (folderClosed(errno))
        return Name::Failed;
    const Name made = takeName(folder, base, mode, until, out);
    return made == Name::Taken ? std::nullopt : std::optional(made);
}

std::string cannotCreate(int error) { return "cannot create a file in its folder (" + reason(error) + ")"; }

constexpr const char *ReadersOnly
    = "a program that reads it holds a lock on it, and it can only be changed in place (it "
      "has more than one link, or another owner), which that lock forbids; try again once "
      "that program has let go of it";

// Saves by writing the new content to a new file beside the target, with
// the target's owner, group, mode and extended attributes (its ACL among
// them), and renaming it over the target: whoever reads the file sees the
// old content or the new, never a mix (rules 1, 4, 5, 9 and 10). `read` is
// the file as read, `old` as the edit found it. nullopt when the new file
// cannot carry all of that, a rename would split the file's hard links,
// or the folder holds no new file; the caller then writes in place.
std::optional<Outcome> replace(int file, const struct stat &st, const Place &place, std::string_view read,
                               std::string_view old, const Edit &edit, Locked locked, Deadline until)
{
    if (st.st_nlink != 1 || (::geteuid() != 0 && (st.st_uid != ::geteuid() || !inGroup(st.st_gid))))
        return std::nullopt;
    const int folder = place.folder.get();
    const std::string &base = place.name, name = commitName(base);
    NewFile out;
    // Removes the new file's name; `error` is taken before that can change errno.
    const auto abandon = [&](int error) {
        if (out.named)
            ::unlinkat(folder, name.c_str(), 0);
        return Outcome{error == 0, error == 0 ? std::nullopt : std::optional(reason(error))};
    };
    // Where the new file has no name: in place under the lock, otherwise
    // the reason; or afresh, where another save took the name meanwhile.
    const auto notNamed = [&](Name why, int error) -> std::optional<Outcome> {
        if (why == Name::Busy)
            return Outcome{true, std::nullopt};
        if (why == Name::Failed && !folderClosed(error))
            return Outcome{false, cannotCreate(error)};
        if (why == Name::Kept && locked != Locked::Yes)
            return Outcome{false, "a program that reads it holds a lock on it, and " + name
                                      + " beside it, which another save left, is in the way; try again once that "
                                        "program has let go of it"};
        return std::nullopt;
    };
    if (const std::optional<Name> why = newFile(folder, base, 0600, until, out))
        return notNamed(*why, errno);
    if ((st.st_uid != ::geteuid() || st.st_gid != ::getegid()) && ::fchown(out.fd.get(), st.st_uid, st.st_gid) != 0) {
        abandon(errno);
        return std::nullopt;
    }
    if (::fchmod(out.fd.get(), st.st_mode & 07777) != 0 || !copyAttributes(file, out.fd.get())) {
        abandon(errno);
        return std::nullopt;
    }
    if (!writeAll(out.fd.get(), old.substr(0, edit.cut)) || !writeAll(out.fd.get(), edit.insert)
        || !writeAll(out.fd.get(), old.substr(edit.resume)) || ::fsync(out.fd.get()) != 0)
        return abandon(errno);
    if (!out.named) {
        if (const Name why = takeName(folder, base, 0600, until, out); why != Name::Taken)
            return notNamed(why, errno);
    }
    // Looked at last, once the new content is on the disk, to leave an
    // editor that saves meanwhile the least time to go unseen.
    if (!unchanged(folder, base, st))
        return abandon(0);
    if (locked == Locked::Yes) {
        if (::renameat(folder, name.c_str(), folder, base.c_str()) != 0)
            return abandon(errno);
    } else {
        // Swapped in, then what came back checked: a writer that changed
        // the file in place meanwhile, its lock taken once the reader let
        // go, sees the new file take the name and saves again on it.
        if (::renameat2(folder, name.c_str(), folder, base.c_str(), RENAME_EXCHANGE) != 0) {
            if (errno != EINVAL && errno != ENOSYS)
                return abandon(errno);
            abandon(0);
            return Outcome{false, "a program that reads it holds a lock on it, and this filesystem cannot swap a new "
                                  "file in past it; try again once that program has let go of it"};
        }
        Content now;
        if (!named(folder, name, file) || !now.readAll(file, read.size(), FileLimit) || now.view() != read) {
            if (::renameat2(folder, name.c_str(), folder, base.c_str(), RENAME_EXCHANGE) != 0)
                return Outcome{false, reason(errno)};
            return abandon(0);
        }
        ::unlinkat(folder, name.c_str(), 0);
    }
    // The new file was locked before it took the name, and the old one is
    // let go as soon as it has lost it: a writer that waited for the old
    // one then finds the new one and waits for it in the kernel while this
    // one flushes the folder, so that it is served before this one can
    // start its next save, not always one file behind.
    struct flock request {};
    request.l_type = F_UNLCK;
    request.l_whence = SEEK_SET;
    (void)::fcntl(file, F_OFD_SETLK, &request);
    if (!syncFolder(folder)) // the rename itself is durable once the folder is
        return Outcome{false, notDurable(errno)};
    return Outcome{};
}

// Saves by changing the file in place, from the first changed byte on,
// which keeps everything the file has (rules 4, 6 to 8 and 10). First a
// record of the change is written past both ends of the content, and
// flushed; then the change, flushed; then the record is marked finished,
// flushed, and cut off. The next writer completes a change that was cut
// short, and removes a record that was not cut off.
Outcome changeInPlace(int file, const struct stat &st, const Place &place, std::string_view old, Edit edit)
{
    if (!unchanged(place.folder.get(), place.name, st))
        return {true, std::nullopt};
    // In UTF-16, an odd last byte is half a unit, which every reader leaves
    // out; with a record past it, it would become a character. It goes
    // first, flushed on its own: no reader sees a difference.
    if (edit.encoding != Encoding::Bytes && old.size() % 2 != 0) {
        old.remove_suffix(1);
        edit.cut = std::min(edit.cut, old.size());
        edit.resume = std::min(edit.resume, old.size());
        if (::ftruncate(file, off_t(old.size())) != 0 || ::fsync(file) != 0)
            return {false, reason(errno)};
    }
    saverecord::Record record;
    record.cut = edit.cut;
    record.oldSize = old.size();
    record.before = old.substr(edit.cut);
    record.after = edit.insert + std::string(old.substr(edit.resume));
    record.newSize = edit.cut + record.after.size();
    record.prefixSum = saverecord::checksum(old.substr(0, edit.cut));
    // A change that keeps the size leaves the bytes after it where they
    // are: neither the record nor the change's write holds them.
    if (record.oldSize == record.newSize) {
        while (record.kept < record.before.size()
               && record.before[record.before.size() - 1 - record.kept]
                      == record.after[record.after.size() - 1 - record.kept])
            ++record.kept;
        record.before.resize(record.before.size() - record.kept);
        record.after.resize(record.after.size() - record.kept);
        record.keptSum = saverecord::checksum(old.substr(record.oldSize - record.kept));
    }
    const size_t at = saverecord::startOf(record.oldSize, record.newSize);
    const std::string pages = saverecord::layout(record, edit.encoding);
    // The bytes between the content and the record are never written: on
    // the disk they are NUL, as the change leaves those it no longer needs.
    const auto state = [&](const std::string &bytes, size_t size, size_t other) {
        return bytes + std::string(other > size ? other - size : 0, '\0');
    };

    if (!writeAll(file, pages, off_t(at)) || ::fsync(file) != 0) {
        const int error = errno;
        (void)(::ftruncate(file, off_t(record.oldSize)) == 0 && ::fsync(file) == 0);
        return {false, reason(error)};
    }
    // Undone at once where possible; otherwise the next writer completes it.
    const auto undo = [&] {
        const int error = errno;
        (void)(writeAll(file, state(record.before, record.oldSize, record.newSize), off_t(record.cut))
               && ::ftruncate(file, off_t(record.oldSize)) == 0 && ::fsync(file) == 0);
        return Outcome{false, reason(error)};
    };
    if (!writeAll(file, state(record.after, record.newSize, record.oldSize), off_t(record.cut)) || ::fsync(file) != 0)
        return undo();
    // The change is durable now. Each page of the record is marked finished,
    // flushed, before it is cut off: a record that stays, the cut-off lost,
    // then only goes, and never undoes what someone changes after this save.
    bool marked = true;
    for (size_t page = at; marked && page < at + pages.size(); page += Page)
        marked = writeAll(file, {&saverecord::Finished, 1}, off_t(page + saverecord::markOffset(edit.encoding)));
    if (!marked || ::fsync(file) != 0)
        return undo();
    (void)(::ftruncate(file, off_t(record.newSize)) == 0 && ::fsync(file) == 0);
    // A save by rename that went without the lock may have taken the name
    // meanwhile: then this change is made again, on the file there (rule 4).
    return {!named(place.folder.get(), place.name, file), std::nullopt};
}

// Changes the existing file that the walk reached, waiting for other
// writers until `deadline`, and for another save under way until `until`.
Outcome change(const Place &place, const std::function<Plan(std::string_view)> &plan, Deadline deadline, Deadline until)
{
    struct stat st {};
    if (::fstat(place.file.get(), &st) != 0)
        return {false, reason(errno)};
    if (!S_ISREG(st.st_mode))
        return {false, "it is not a regular file"};
    // A file that nobody may write is read-only by intent, even to root,
    // who passes every permission check.
    if ((st.st_mode & 0222) == 0)
        return {false, "the file is read-only"};
    // A second name of the file itself, left where a first save was cut
    // short on a filesystem without unnamed files, goes (rule 9).
    struct stat left {};
    if (const std::string name = commitName(place.name);
        st.st_nlink > 1 && ::fstatat(place.folder.get(), name.c_str(), &left, AT_SYMLINK_NOFOLLOW) == 0
        && left.st_dev == st.st_dev && left.st_ino == st.st_ino && ::unlinkat(place.folder.get(), name.c_str(), 0) == 0)
        return {true, std::nullopt};
    FileDescriptor file(reopen(place.file.get(), O_RDWR, deadline));
    if (file.get() < 0)
        return {false, errno == EWOULDBLOCK ? lease() : "the file is not writable (" + reason(errno) + ")"};
    const auto [locked, whyNot] = lock(file.get(), deadline);
    if (locked == Locked::No)
        return {false, whyNot};
    // Another writer may have replaced the file while this one waited.
    if (!named(place.folder.get(), place.name, file.get()))
        return {true, std::nullopt};
    (void)holderOf(place.folder.get(), commitName(place.name), {}); // this user's leftover goes

    Content content;
    if (::fstat(file.get(), &st) != 0)
        return {false, reason(errno)};
    if (const auto refused = refusedBySize(file.get(), st.st_size))
        return {false, *refused};
    if (!content.readAll(file.get(), size_t(st.st_size), FileLimit))
        return {false, errno == EFBIG ? tooLarge(off_t(FileLimit) + 1) : reason(errno)};
    // A save that was cut short is completed, or its record removed, before
    // anything else: on the disk under the lock, otherwise only in what is
    // planned, which a rename then writes (rule 4).
    std::string completed;
    std::string_view old = content.view();
    bool onDisk = true; // whether the file holds `old`
    if (const std::optional<saverecord::Repair> repair = saverecord::unfinished(old)) {
        if (locked == Locked::Yes
            && (!writeAll(file.get(), repair->bytes, off_t(repair->at))
                || ::ftruncate(file.get(), off_t(repair->size)) != 0 || ::fsync(file.get()) != 0
                || ::fstat(file.get(), &st) != 0))
            return {false, "an unfinished save could not be completed (" + reason(errno) + ")"};
        completed = saverecord::repaired(old, *repair);
        old = completed;
        onDisk = locked == Locked::Yes;
    }
    if (old.size() > MaxSize)
        return {false, tooLarge(off_t(old.size()))};
    // An editor that saves in place empties the file, then writes it: a
    // file found empty is looked at again a moment later, so that its whole
    // content is not replaced by an edit of nothing.
    if (old.empty()) {
        std::this_thread::sleep_for(EmptyFileSettles);
        if (!unchanged(place.folder.get(), place.name, st))
            return {true, std::nullopt};
    }
    const Plan planned = plan(old);
    if (const auto *refusal = std::get_if<std::string>(&planned))
        return {false, *refusal};
    const Edit &edit = std::get<Edit>(planned);
    // A write that would change no byte leaves the file alone: nothing to
    // flush, and its time stays that of its last change.
    if (old.substr(edit.cut, edit.resume - edit.cut) == edit.insert && onDisk)
        return {};
    if (old.size() - (edit.resume - edit.cut) + edit.insert.size() > MaxSize)
        return {false, tooLarge(off_t(old.size() - (edit.resume - edit.cut) + edit.insert.size()))};
    const std::string_view read = onDisk ? old : content.view();
    if (auto replaced = replace(file.get(), st, place, read, old, edit, locked, until))
        return *replaced;
    // Without the lock, only a rename may change the file (rule 4); unless
    // another save's rename took the name meanwhile.
    if (locked != Locked::Yes)
        return named(place.folder.get(), place.name, file.get()) ? Outcome{false, ReadersOnly} : Outcome{true, {}};
    return changeInPlace(file.get(), st, place, old, edit);
}

// A file that root creates in a user's folder belongs to that user, who
// can then go on saving it. Called only for a file that this very call
// created (rule 11).
void giveToFolderOwner(int file, const struct stat &folder)
{
    if (::geteuid() == 0 && folder.st_uid != 0)
        (void)::fchown(file, folder.st_uid, folder.st_gid);
}

// Creates the file whose name the walk found free.
Outcome create(const Place &place, const std::function<Plan(std::string_view)> &plan, Deadline until)
{
    const int folder = place.folder.get();
    const std::string &base = place.name, name = commitName(base);
    struct stat folderStat {};
    if (::fstat(folder, &folderStat) != 0)
        return {false, reason(errno)};
    const Plan planned = plan({});
    if (const auto *refusal = std::get_if<std::string>(&planned))
        return {false, *refusal};
    const std::string &content = std::get<Edit>(planned).insert;

    // Written without a name, then named only if the name is still free:
    // two writers creating the file at once cannot overwrite each other,
    // and the file never has two names (rule 5).
    (void)holderOf(folder, name, {}); // this user's leftover goes
    NewFile out;
    if (const std::optional<Name> why = newFile(folder, base, 0666, until, out))
        return *why == Name::Busy ? Outcome{true, std::nullopt} : Outcome{false, cannotCreate(errno)};
    const auto forget = [&] {
        if (out.named)
            ::unlinkat(folder, name.c_str(), 0);
    };
    giveToFolderOwner(out.fd.get(), folderStat);
    if (!writeAll(out.fd.get(), content) || ::fsync(out.fd.get()) != 0) {
        const int error = errno;
        forget();
        return {false, reason(error)};
    }
    int named = 0;
    if (!out.named) {
        named = ::linkat(AT_FDCWD, reopenPath(out.fd.get()).c_str(), folder, base.c_str(), AT_SYMLINK_FOLLOW);
    } else if ((named = ::renameat2(folder, name.c_str(), folder, base.c_str(), RENAME_NOREPLACE)) == 0) {
        out.named = false; // its name is the file's now
    } else if (errno == EINVAL) {
        // A filesystem that cannot rename without replacing: a second name
        // for a moment, which the next save removes where it stays.
        named = ::linkat(folder, name.c_str(), folder, base.c_str(), 0);
    }
    const int error = errno;
    forget();
    if (named != 0)
        return error == EEXIST ? Outcome{true, std::nullopt} : Outcome{false, reason(error)};
    if (!syncFolder(folder))
        return {false, notDurable(errno)};
    return {};
}

} // namespace

namespace {

// Reads the file as read() does, and tells `use` too whether what follows
// its content is what a save in place left.
std::optional<std::string> readFile(const std::string &path,
                                    const std::function<void(std::string_view, bool unfinished)> &use)
{
    auto walked = walk(path);
    if (const auto *refused = std::get_if<Refused>(&walked))
        return refused->link ? std::optional(refused->why) : std::nullopt;
    const Place &place = std::get<Place>(walked);
    // A path descriptor tells the file's type without opening a device.
    struct stat st {};
    if (place.file.get() < 0 || ::fstat(place.file.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    if (st.st_size > off_t(FileLimit))
        return tooLarge(st.st_size);
    FileDescriptor fd(reopen(place.file.get(), O_RDONLY, std::chrono::steady_clock::now() + LeaseWait));
    if (fd.get() < 0)
        return errno == EWOULDBLOCK ? std::optional(lease()) : std::nullopt;
    if (const auto refused = refusedBySize(fd.get(), st.st_size))
        return refused;
    Content content;
    if (!content.readAll(fd.get(), size_t(st.st_size), FileLimit))
        return errno == EFBIG ? std::optional(tooLarge(off_t(FileLimit) + 1)) : std::nullopt;
    // Read as the next writer leaves it, its content alone.
    const std::optional<saverecord::Repair> repair = saverecord::unfinished(content.view());
    const std::string completed = repair ? saverecord::repaired(content.view(), *repair) : std::string();
    const std::string_view seen = repair ? std::string_view(completed) : content.view();
    if (seen.size() > MaxSize)
        return tooLarge(off_t(seen.size()));
    use(seen, bool(repair));
    return std::nullopt;
}

} // namespace

std::optional<std::string> read(const std::string &path, const std::function<void(std::string_view)> &use)
{
    try {
        return readFile(path, [&](std::string_view content, bool) { use(content); });
    } catch (const std::exception &error) {
        return std::string("it cannot be read (") + error.what() + ")";
    }
}

std::optional<std::string> finishSave(const std::string &path)
{
    bool unfinished = false;
    try {
        if (auto refused = readFile(path, [&](std::string_view, bool left) { unfinished = left; }))
            return refused;
    } catch (const std::exception &error) {
        return std::string("it cannot be read (") + error.what() + ")";
    }
    if (!unfinished)
        return std::nullopt;
    // An edit of nothing: the writer completes or removes what it finds first.
    return update(path, [](std::string_view content) -> Plan {
        return Edit{0, 0, {}, saverecord::encodingOf(content)};
    });
}

std::optional<std::string> update(const std::string &path, const std::function<Plan(std::string_view content)> &plan)
{
    try {
        // Another writer that replaces the file while this one waits for it
        // sends this one to the new file: it tries again, a little past the
        // deadline, so that a save sent on by one that went past readers
        // still has its turn. Tried once at least, even when a shared wait
        // has run out, so that every save of a series says why it failed,
        // not only the first.
        const Deadline deadline = sharedDeadline ? *sharedDeadline : std::chrono::steady_clock::now() + LockWait;
        for (bool first = true; first || std::chrono::steady_clock::now() < deadline + LastTries; first = false) {
            const auto walked = walk(path);
            if (const auto *refused = std::get_if<Refused>(&walked))
                return refused->why;
            const Place &place = std::get<Place>(walked);
            // Sent on past the deadline, a save waits for the one that sent it.
            const Deadline until = deadline + LastTries,
                           by = first || std::chrono::steady_clock::now() < deadline ? deadline : until;
            const Outcome outcome = place.file.get() >= 0 ? change(place, plan, by, until) : create(place, plan, until);
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
