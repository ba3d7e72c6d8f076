// How a save keeps Setup.ini whole, and why it trusts nothing that another
// user can put beside it: whatever it needs to finish a save lives in the
// file itself, which only those who may write the file can change. Each
// path below names the rules it relies on.
//
//  1. One writer at a time changes the file in place: it holds an OFD
//     write lock on the file itself. A save by rename may go without it
//     only where readers alone hold locks at the deadline, since a rename
//     leaves readers what they opened and is re-checked just before.
//  2. The file's bytes change in place only once a record of the change,
//     written past both the old and the new end of the content, is whole
//     and flushed. A save by rename writes the new content to a file of
//     its own, flushed before it takes the name.
//  3. A record is whole only as this program writes it: at the offset it
//     names, reaching to the end of the file, with sizes and offsets within
//     the limits, checked before any arithmetic, and a checksum over all
//     it holds. Only someone who may write the file can have put it there.
//  4. A whole record completes its save only where the file is in a state
//     that the save could have left: the bytes before the change as they
//     were, and each later byte up to the record as it was before or as it
//     was to become (or NUL, not yet on the disk). Otherwise only the
//     record is removed. A record cut short is removed, with the filler
//     before it.
//  5. To every reader, the record and its filler are at most a section of
//     their own after all of the file's sections, in the file's encoding:
//     line breaks, then a section header, then lines that start with ';'.
//  6. Nothing beside the file is ever read. Its new file has no name until
//     it is complete, or, where the filesystem cannot do that, this user's
//     own name, which the same user's next save removes only when it is
//     that user's own regular file of a single link; a name held by
//     anything else is left alone, and a random one is used instead. No
//     folder is ever listed.
//  7. A save is reported done only when it is durable: the new content
//     flushed, and the rename or the new name flushed into the folder, or
//     the change in place flushed behind its record.
//  8. A file is given away (root creating a user's file) only when this
//     very call created it.
//  9. A symbolic link in the place of the file is followed only where no
//     one else could have planted it against the user: a link of the
//     user's own, or one to an existing file of the link's owner; in any
//     folder, for every user, root too.

#include "settings/durablefile.h"

#include "base/descriptor.h"

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
#include <vector>

#include <csignal>
#include <ctime>

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

// The new file of a save by rename, where it needs a name before it takes
// the file's (rule 6): ".Setup.ini" then this, then this user's id, or a
// random part where that name is held by something else.
constexpr std::string_view NewSuffix = ".tavorin-configurator-new";

// The section that a record of an unfinished change in place begins (rule 5).
constexpr std::string_view RecordSection = "\n[tavorin-configurator unfinished save]\n";

// The largest file that a writer reads: MaxSize of content and a record
// past it, whose lines of hexadecimal take some 4.2 bytes for each byte of
// the content before and after the change, twice that in UTF-16.
constexpr size_t FileLimit = 10 * MaxSize + (size_t(1) << 16);

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
        if (m_armed)
            ::timer_delete(m_timer);
    }
    LockTimer(const LockTimer &) = delete;
    LockTimer &operator=(const LockTimer &) = delete;
    bool armed() const { return m_armed; }

private:
    timer_t m_timer{};
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

// ASCII text in the file's encoding.
std::string encode(std::string_view ascii, Encoding encoding)
{
    if (encoding == Encoding::Bytes)
        return std::string(ascii);
    std::string text;
    text.reserve(2 * ascii.size());
    for (const char c : ascii) {
        text += encoding == Encoding::Utf16LE ? c : '\0';
        text += encoding == Encoding::Utf16LE ? '\0' : c;
    }
    return text;
}

// The ASCII text that bytes in the file's encoding hold; nullopt where they
// hold something else. A last half unit, cut short, is left out.
std::optional<std::string> decode(std::string_view bytes, Encoding encoding)
{
    if (encoding == Encoding::Bytes)
        return std::string(bytes);
    std::string text;
    text.reserve(bytes.size() / 2);
    const size_t low = encoding == Encoding::Utf16LE ? 0 : 1;
    for (size_t at = 0; at + 1 < bytes.size(); at += 2) {
        if (bytes[at + 1 - low] != '\0' || uint8_t(bytes[at + low]) > 0x7F)
            return std::nullopt;
        text += bytes[at + low];
    }
    return text;
}

size_t unitOf(Encoding encoding) { return encoding == Encoding::Bytes ? 1 : 2; }

// `size` bytes of line breaks in the file's encoding, which end the line
// they follow and add nothing to any section (rule 5). In UTF-16, an odd
// size starts with a NUL byte that completes the half unit before it.
std::string filler(size_t size, Encoding encoding)
{
    const size_t unit = unitOf(encoding);
    return std::string(size % unit, '\0') + encode(std::string(size / unit, '\n'), encoding);
}

// A record of a change in place (rules 2 to 5), kept in the file itself at
// offset `at`, past both the old and the new end of its content. In ASCII,
// in the file's encoding:
//   (line break)[tavorin-configurator unfinished save]
//   ;v1 at=<at> cut=<cut> old=<old size> new=<new size> prefix=<checksum of the bytes before cut>
//   ;old <hexadecimal of 64 bytes of the content from cut on, before the change>   (as many as needed)
//   ;new <the same, after the change>
//   ;end <checksum of all the record's text before this line>
// The record's first two lines never cross a 4 KiB page boundary, so that
// a write cut short at one (the kernel stops a killed writer's write at a
// page) keeps them whole.
struct Record {
    size_t at = 0, cut = 0, oldSize = 0, newSize = 0;
    uint64_t prefixSum = 0;
    std::string before, after; // the content from cut on, before and after the change
};

constexpr size_t RecordBytesALine = 64, Page = 4096;

std::string headOf(const Record &record)
{
    char line[160];
    std::snprintf(line, sizeof line, ";v1 at=%zu cut=%zu old=%zu new=%zu prefix=%016llx\n", record.at, record.cut,
                  record.oldSize, record.newSize, (unsigned long long)record.prefixSum);
    return std::string(RecordSection) + line;
}

std::string recordText(const Record &record)
{
    std::string text = headOf(record);
    static const char digits[] = "0123456789abcdef";
    for (const auto &[tag, bytes] : {std::pair{";old ", &record.before}, std::pair{";new ", &record.after}}) {
        for (size_t at = 0; at < bytes->size(); at += RecordBytesALine) {
            text += tag;
            for (const char c : std::string_view(*bytes).substr(at, RecordBytesALine))
                text.append({digits[uint8_t(c) >> 4], digits[uint8_t(c) & 15]});
            text += '\n';
        }
    }
    char end[40];
    std::snprintf(end, sizeof end, ";end %016llx\n", (unsigned long long)checksum(text));
    return text + end;
}

// The numbers of a record's second line, where `text` starts with its
// first; nullopt unless they are whole and within the limits (rule 3).
std::optional<Record> parseHead(std::string_view text, size_t &next)
{
    if (text.substr(0, RecordSection.size()) != RecordSection)
        return std::nullopt;
    const size_t from = RecordSection.size(), end = text.find('\n', from);
    if (end == std::string_view::npos || end - from > 150)
        return std::nullopt;
    const std::string line(text.substr(from, end + 1 - from));
    Record record;
    unsigned long long prefix = 0;
    int used = 0;
    if (std::sscanf(line.c_str(), ";v1 at=%zu cut=%zu old=%zu new=%zu prefix=%16llx\n%n", &record.at, &record.cut,
                    &record.oldSize, &record.newSize, &prefix, &used)
            != 5
        || size_t(used) != line.size()
        || line != headOf({record.at, record.cut, record.oldSize, record.newSize, prefix, {}, {}}).substr(from))
        return std::nullopt;
    record.prefixSum = prefix;
    if (record.oldSize > MaxSize || record.newSize > MaxSize || record.cut > std::min(record.oldSize, record.newSize)
        || record.at < std::max(record.oldSize, record.newSize) || record.at > MaxSize + 2 * Page)
        return std::nullopt;
    next = end + 1;
    return record;
}

int hexDigit(char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1; }

// The record that `text` holds from its first line to its end; nullopt
// unless it is whole (rule 3).
std::optional<Record> parseRecord(std::string_view text)
{
    size_t at = 0;
    std::optional<Record> record = parseHead(text, at);
    if (!record)
        return std::nullopt;
    for (const auto &[tag, bytes, size] : {std::tuple{std::string_view(";old "), &record->before, record->oldSize},
                                           std::tuple{std::string_view(";new "), &record->after, record->newSize}}) {
        bytes->reserve(size - record->cut);
        while (bytes->size() < size - record->cut) {
            const size_t end = text.find('\n', at);
            if (text.substr(at, tag.size()) != tag || end == std::string_view::npos
                || end - at - tag.size() != 2 * std::min(RecordBytesALine, size - record->cut - bytes->size()))
                return std::nullopt;
            for (size_t i = at + tag.size(); i < end; i += 2) {
                const int high = hexDigit(text[i]), low = hexDigit(text[i + 1]);
                if (high < 0 || low < 0)
                    return std::nullopt;
                *bytes += char(high << 4 | low);
            }
            at = end + 1;
        }
    }
    char end[40];
    std::snprintf(end, sizeof end, ";end %016llx\n", (unsigned long long)checksum(text.substr(0, at)));
    if (text.substr(at) != end)
        return std::nullopt;
    return record;
}

// Whether what follows a record's first line can only be a record cut
// short: lines that start with ';' and hold what a record's lines hold, or
// NUL bytes not yet written. Anything else was put there by someone.
bool recordShaped(std::string_view text)
{
    bool lineStart = true;
    for (const char c : text.substr(RecordSection.size())) {
        if (c != '\0'
            && (lineStart ? c != ';'
                          : !(c == ' ' || c == '=' || c == '\n' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z'))))
            return false;
        lineStart = c == '\n';
    }
    return true;
}

// What the next writer does with an unfinished save: writes `bytes` at
// `at`, then cuts the file to `size`.
struct Repair {
    size_t at = 0;
    std::string bytes;
    size_t size = 0;
};

// The repair that a record at the end of the content calls for (rules 3
// and 4); nullopt where the content ends in no record.
std::optional<Repair> unfinishedSave(std::string_view content)
{
    for (const Encoding encoding : {Encoding::Bytes, Encoding::Utf16LE, Encoding::Utf16BE}) {
        const size_t start = content.rfind(encode(RecordSection, encoding));
        if (start == std::string_view::npos || start % unitOf(encoding) != 0)
            continue;
        const std::optional<std::string> text = decode(content.substr(start), encoding);
        if (!text)
            return std::nullopt;
        if (const std::optional<Record> record = parseRecord(*text)) {
            const auto state = [&](std::string_view bytes, size_t size) {
                return std::string(bytes) + filler(record->at - size, encoding);
            };
            const std::string before = state(record->before, record->oldSize),
                              after = state(record->after, record->newSize);
            bool couldBeLeft = record->at == start && checksum(content.substr(0, record->cut)) == record->prefixSum;
            for (size_t i = record->cut; couldBeLeft && i < start; ++i) {
                const char c = content[i];
                couldBeLeft = c == before[i - record->cut] || c == after[i - record->cut] || c == '\0';
            }
            if (!couldBeLeft)
                return Repair{start, {}, start};
            return Repair{record->cut, record->after, record->newSize};
        }
        if (!recordShaped(*text))
            return std::nullopt;
        // Cut short: the record goes, and with it the filler that its head
        // says lies before it. Where the head itself was cut short, so was
        // the first write of the save, which wrote the record before the
        // filler: what lies between the content and the record is then
        // the NUL bytes of a gap never written.
        size_t next = 0, from = start;
        if (const std::optional<Record> head = parseHead(*text, next); head && head->at == start) {
            const std::string joined = filler(start - head->oldSize, encoding);
            bool filled = true;
            for (size_t i = head->oldSize; filled && i < start; ++i)
                filled = content[i] == joined[i - head->oldSize] || content[i] == '\0';
            if (filled)
                from = head->oldSize;
        } else if (!head) {
            while (from > 0 && start - from < Page + RecordSection.size() && content[from - 1] == '\0')
                --from;
        }
        return Repair{from, {}, from};
    }
    return std::nullopt;
}

// The content as a repair leaves it.
std::string repaired(std::string_view content, const Repair &repair)
{
    std::string result(content);
    result.replace(repair.at, repair.bytes.size(), repair.bytes);
    result.resize(repair.size);
    return result;
}

// Whether a file cannot be created in a folder because this user may not
// write the folder, where a text editor still saves the file in place.
bool folderClosed(int error) { return error == EACCES || error == EPERM || error == EROFS; }

// The name under which this user's save keeps its new file beside the
// file `base`, where it needs one (rule 6).
std::string ownName(const std::string &base)
{
    return "." + base + std::string(NewSuffix) + "." + std::to_string(::geteuid());
}

// Removes this user's own new file, left under its own name by a save
// that was stopped, from `folder` (a path descriptor): only a regular file
// of this user's with a single link (rule 6).
void removeOwnLeftover(int folder, const std::string &base)
{
    const std::string name = ownName(base);
    struct stat st {};
    if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)
        && st.st_uid == ::geteuid() && st.st_nlink == 1)
        ::unlinkat(folder, name.c_str(), 0);
}

// A new file in `folder` (a path descriptor) for the file `base`, open for
// reading and writing: unnamed where the filesystem allows it, otherwise
// under this user's own name or a random one (rule 6). `name` is empty
// while it has none.
struct NewFile {
    FileDescriptor fd;
    std::string name;
};

void newFile(int folder, const std::string &base, mode_t mode, NewFile &made)
{
    made.fd.reset(::openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode));
    if (made.fd.get() >= 0 || folderClosed(errno))
        return;
    for (const std::string &name : {ownName(base), "." + base + std::string(NewSuffix) + randomPart()}) {
        made.name = name;
        made.fd.reset(::openat(folder, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (made.fd.get() >= 0 || errno != EEXIST)
            break;
    }
}

// Gives an unnamed new file a name beside the file, as newFile() would
// have. False, with errno, when it cannot.
bool nameNewFile(int folder, const std::string &base, NewFile &made)
{
    if (!made.name.empty())
        return true;
    for (const std::string &name : {ownName(base), "." + base + std::string(NewSuffix) + randomPart()}) {
        if (::linkat(AT_FDCWD, reopenPath(made.fd.get()).c_str(), folder, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            made.name = name;
            return true;
        }
        if (errno != EEXIST)
            return false;
    }
    return false;
}

// Saves by writing the new content to a new file beside the target, with
// the target's owner, group, mode and extended attributes (its ACL among
// them), and renaming it over the target: whoever reads the file sees the
// old content or the new, never a mix (rules 1, 2, 6 and 7). nullopt when
// the new file cannot carry all of that, a rename would split the file's
// hard links, or the folder holds no new file; the caller then writes in
// place.
std::optional<Outcome> replace(int file, const struct stat &st, const std::string &target, std::string_view old,
                               const Edit &edit)
{
    if (st.st_nlink != 1 || (::geteuid() != 0 && (st.st_uid != ::geteuid() || !inGroup(st.st_gid))))
        return std::nullopt;
    const std::string folder = folderOf(target), base = baseOf(target);
    const FileDescriptor where(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (where.get() < 0)
        return Outcome{false, "cannot create a file in " + folder + " (" + reason(errno) + ")"};
    NewFile out;
    newFile(where.get(), base, 0600, out);
    if (out.fd.get() < 0 && folderClosed(errno))
        return std::nullopt;
    if (out.fd.get() < 0)
        return Outcome{false, "cannot create a file in " + folder + " (" + reason(errno) + ")"};
    // Removes the new file's name; `error` is taken before that can change errno.
    const auto abandon = [&](int error) {
        if (!out.name.empty())
            ::unlinkat(where.get(), out.name.c_str(), 0);
        return Outcome{false, reason(error)};
    };
    if ((st.st_uid != ::geteuid() || st.st_gid != ::getegid()) && ::fchown(out.fd.get(), st.st_uid, st.st_gid) != 0) {
        abandon(errno);
        return std::nullopt;
    }
    if (::fchmod(out.fd.get(), st.st_mode & 07777) != 0 || !copyAttributes(file, out.fd.get())) {
        abandon(errno);
        return std::nullopt;
    }
    if (!writeAll(out.fd.get(), old.substr(0, edit.cut)) || !writeAll(out.fd.get(), edit.insert)
        || !writeAll(out.fd.get(), old.substr(edit.resume)) || ::fsync(out.fd.get()) != 0
        || !nameNewFile(where.get(), base, out))
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
    if (::fcntl(out.fd.get(), F_OFD_SETLK, &request) != 0)
        return abandon(errno);
    if (::renameat(where.get(), out.name.c_str(), where.get(), base.c_str()) != 0) {
        // Another save of this user's, without the lock, took the name for
        // a leftover: start afresh.
        if (errno == ENOENT)
            return Outcome{true, std::nullopt};
        return abandon(errno);
    }
    request.l_type = F_UNLCK;
    (void)::fcntl(file, F_OFD_SETLK, &request);
    if (!syncFolder(folder)) // the rename itself is durable once the folder is
        return Outcome{false, notDurable(errno)};
    return Outcome{};
}

// Saves by changing the file in place, from the first changed byte on,
// which keeps everything the file has (rules 1 to 5 and 7). First a record
// of the change, past both ends of the content, joined to the content by
// filler, is written and flushed; then the change, flushed; then the
// record is cut off. The next writer completes a change that was cut short.
Outcome changeInPlace(int file, const struct stat &st, const std::string &target, std::string_view old,
                      const Edit &edit)
{
    Record record;
    record.cut = edit.cut;
    record.oldSize = old.size();
    record.before = old.substr(edit.cut);
    record.after = edit.insert + std::string(old.substr(edit.resume));
    record.newSize = edit.cut + record.after.size();
    record.prefixSum = checksum(old.substr(0, edit.cut));
    const size_t unit = unitOf(edit.encoding), end = std::max(record.oldSize, record.newSize);
    record.at = (end + unit - 1) / unit * unit;
    if (record.at % Page + encode(headOf(record), edit.encoding).size() > Page)
        record.at = (record.at / Page + 1) * Page;
    const std::string text = encode(recordText(record), edit.encoding);
    if (!unchanged(target, st))
        return {true, std::nullopt};

    // The record first, then the filler before it: a write cut short leaves
    // the record's head, which tells how much filler to remove.
    if (!writeAll(file, text, off_t(record.at))
        || !writeAll(file, filler(record.at - record.oldSize, edit.encoding), off_t(record.oldSize))
        || ::fsync(file) != 0) {
        const int error = errno;
        (void)(::ftruncate(file, off_t(record.oldSize)) == 0 && ::fsync(file) == 0);
        return {false, reason(error)};
    }
    if (!writeAll(file, record.after + filler(record.at - record.newSize, edit.encoding), off_t(record.cut))
        || ::fsync(file) != 0) {
        const int error = errno;
        // Undone at once where possible; otherwise the next writer completes it.
        (void)(writeAll(file, record.before + filler(record.at - record.oldSize, edit.encoding), off_t(record.cut))
               && ::ftruncate(file, off_t(record.oldSize)) == 0 && ::fsync(file) == 0);
        return {false, reason(error)};
    }
    // The change is durable now, and reads the same with the record as
    // without it: where the record cannot be cut off here, the next writer
    // does it.
    (void)(::ftruncate(file, off_t(record.newSize)) == 0 && ::fsync(file) == 0);
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
    if (st.st_size > off_t(FileLimit))
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
    if (const FileDescriptor folder(::open(folderOf(target).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        folder.get() >= 0)
        removeOwnLeftover(folder.get(), baseOf(target));

    Content content;
    if (::fstat(file.get(), &st) != 0 || !content.readAll(file.get(), size_t(st.st_size), FileLimit))
        return {false, errno == EFBIG ? tooLarge(off_t(FileLimit) + 1) : reason(errno)};
    // A save that was cut short is completed, or its record removed, before
    // anything else: on the disk under the lock, otherwise only in what is
    // planned, which a rename then writes (rule 1).
    std::string completed;
    std::string_view old = content.view();
    bool onDisk = true; // whether the file holds `old`
    if (const std::optional<Repair> repair = unfinishedSave(old)) {
        if (locked == Locked::Yes
            && (!writeAll(file.get(), repair->bytes, off_t(repair->at))
                || ::ftruncate(file.get(), off_t(repair->size)) != 0 || ::fsync(file.get()) != 0
                || ::fstat(file.get(), &st) != 0))
            return {false, "an unfinished save could not be completed (" + reason(errno) + ")"};
        completed = repaired(old, *repair);
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
        if (!unchanged(target, st))
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
// created (rule 8).
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
    removeOwnLeftover(where.get(), name);
    NewFile out;
    newFile(where.get(), name, 0666, out);
    if (out.fd.get() < 0)
        return {false, "cannot create a file in " + folder + " (" + reason(errno) + ")"};
    const auto forget = [&] {
        if (!out.name.empty())
            ::unlinkat(where.get(), out.name.c_str(), 0);
    };
    giveToFolderOwner(out.fd.get(), folderStat);
    if (!writeAll(out.fd.get(), content) || ::fsync(out.fd.get()) != 0) {
        const int error = errno;
        forget();
        return {false, reason(error)};
    }
    const int named = out.name.empty() ? ::linkat(AT_FDCWD, reopenPath(out.fd.get()).c_str(), where.get(), name.c_str(),
                                                  AT_SYMLINK_FOLLOW)
                                       : ::linkat(where.get(), out.name.c_str(), where.get(), name.c_str(), 0);
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

// Why the link at `path`, Setup.ini itself, is not followed (rule 9);
// nullopt where it is no link, or may be followed: a link of this user's
// own, or one to an existing file of the link's own owner, `where` being
// the file that opening the path reached (-1 for none). So no link that
// another user planted leads a save to a file that user may not change,
// in any folder, whoever saves, root too.
std::optional<std::string> plantedLink(const std::string &path, int where)
{
    struct stat link {
    }, target{};
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
