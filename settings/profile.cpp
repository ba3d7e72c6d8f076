#include "profile.h"

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

namespace profile {
namespace {

constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

// Case folding of ASCII letters only: the user's locale must not change
// which key a name finds.
bool sameName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (asciiLower(a[i]) != asciiLower(b[i]))
            return false;
    }
    return true;
}

// One line of the file, as offsets into its content.
struct Line {
    size_t begin = 0; // first byte of the line
    size_t end = 0;   // one past its last byte before the line break
    size_t next = 0;  // first byte of the following line
};

enum class Kind { Section, Key, Other };

struct Parsed {
    Kind kind = Kind::Other;
    std::string_view name;  // section or key name, blanks removed
    std::string_view value; // key value, blanks removed
};

// Walks the lines of a file's content; CRLF, LF and lone CR all end a line.
// The next LF and the next CR are each found with memchr and remembered, so
// that a walk costs one pass over the bytes whichever line breaks they use.
class LineReader {
public:
    explicit LineReader(std::string_view content) : m_content(content)
    {
        if (content.substr(0, byteOrderMark.size()) == byteOrderMark)
            m_pos = byteOrderMark.size();
        m_nextLF = find('\n', m_pos);
        m_nextCR = find('\r', m_pos);
    }

    bool next(Line &line)
    {
        if (m_pos >= m_content.size())
            return false;
        if (m_nextLF < m_pos)
            m_nextLF = find('\n', m_pos);
        if (m_nextCR < m_pos)
            m_nextCR = find('\r', m_pos);
        const size_t end = m_nextLF < m_nextCR ? m_nextLF : m_nextCR;
        line.begin = m_pos;
        line.end = end;
        if (end == m_content.size())
            line.next = end;
        else if (m_content[end] == '\r' && end + 1 == m_nextLF && m_nextLF < m_content.size())
            line.next = end + 2;
        else
            line.next = end + 1;
        m_pos = line.next;
        return true;
    }

    // Moves to the next line whose first non-blank byte is '[' (a section
    // header) and reads it like next(); false when there is none. It jumps
    // from one '[' to the next, so the lines in between cost nothing.
    bool nextHeader(Line &line)
    {
        for (size_t bracket = find('[', m_pos); bracket < m_content.size(); bracket = find('[', bracket + 1)) {
            size_t start = bracket;
            while (start > m_pos && isBlank(m_content[start - 1]))
                --start;
            // m_pos is always where a line starts.
            if (start == m_pos || m_content[start - 1] == '\n' || m_content[start - 1] == '\r') {
                m_pos = start;
                return next(line);
            }
        }
        m_pos = m_content.size();
        return false;
    }

private:
    // The position of the first c at or after from, or the content's size.
    size_t find(char c, size_t from) const
    {
        if (from >= m_content.size())
            return m_content.size();
        const void *hit = std::memchr(m_content.data() + from, c, m_content.size() - from);
        return hit ? size_t(static_cast<const char *>(hit) - m_content.data()) : m_content.size();
    }

    std::string_view m_content;
    size_t m_pos = 0;
    size_t m_nextLF = 0;
    size_t m_nextCR = 0;
};

Parsed parse(std::string_view text)
{
    Parsed parsed;
    size_t start = 0;
    while (start < text.size() && isBlank(text[start]))
        ++start;
    text.remove_prefix(start);
    if (text.empty() || text.front() == ';')
        return parsed;
    if (text.front() == '[') {
        // The name ends at the first ']'; anything after it is ignored.
        parsed.kind = Kind::Section;
        parsed.name = trimmed(text.substr(1, text.find(']') - 1));
        return parsed;
    }
    const size_t equals = text.find('=');
    if (equals == std::string_view::npos)
        return parsed;
    parsed.kind = Kind::Key;
    parsed.name = trimmed(text.substr(0, equals));
    parsed.value = trimmed(text.substr(equals + 1));
    return parsed;
}

// Where key stands in the first section named `section`: its line, or,
// when the section lacks it, the line after which it would be added (the
// section's last key line, else its header).
struct Location {
    bool sectionFound = false;
    bool keyFound = false;
    Line line;
    std::string_view name;  // the key as spelled in the file
    std::string_view value; // its value, blanks removed
};

Location locate(std::string_view content, std::string_view section, std::string_view key)
{
    section = trimmed(section);
    key = trimmed(key);
    Location where;
    LineReader reader(content);
    Line line;
    // Outside the section only section headers matter.
    while (where.sectionFound ? reader.next(line) : reader.nextHeader(line)) {
        const Parsed parsed = parse(content.substr(line.begin, line.end - line.begin));
        if (parsed.kind == Kind::Section) {
            // Only the first section of a name counts.
            if (where.sectionFound)
                break;
            where.sectionFound = sameName(parsed.name, section);
            where.line = line;
        } else if (where.sectionFound && parsed.kind == Kind::Key) {
            where.line = line;
            if (sameName(parsed.name, key)) {
                where.keyFound = true;
                where.name = parsed.name;
                where.value = parsed.value;
                break;
            }
        }
    }
    return where;
}

std::string_view lineEndingOf(std::string_view content)
{
    const size_t i = content.find_first_of("\r\n");
    if (i == std::string_view::npos)
        return "\r\n";
    if (content[i] == '\n')
        return "\n";
    return (i + 1 < content.size() && content[i + 1] == '\n') ? "\r\n" : "\r";
}

// The smallest edit that sets key in section to value: the content up to
// cut, then insert, then the content from resume on.
struct Edit {
    size_t cut = 0;
    size_t resume = 0;
    std::string insert;
};

Edit planEdit(std::string_view content, std::string_view section, std::string_view key,
              std::string_view value)
{
    const std::string_view eol = lineEndingOf(content);
    const Location where = locate(content, section, key);
    Edit edit;
    if (where.keyFound) {
        edit.cut = where.line.begin;
        edit.resume = where.line.end;
        edit.insert.append(where.name).append("=").append(value);
        return edit;
    }

    // New names are written as they are matched, without blanks around
    // them, so that the next write of the same key finds the same line.
    std::string newLine(trimmed(key));
    newLine.append("=").append(value);
    if (where.sectionFound) {
        const Line &anchor = where.line;
        edit.cut = edit.resume = anchor.next;
        if (anchor.next == anchor.end) // the anchor is an unterminated last line
            edit.insert.append(eol);
        edit.insert.append(newLine).append(eol);
        return edit;
    }

    edit.cut = edit.resume = content.size();
    const bool onlyMark = content == byteOrderMark;
    if (!content.empty() && !onlyMark && content.back() != '\n' && content.back() != '\r')
        edit.insert.append(eol);
    edit.insert.append("[").append(trimmed(section)).append("]").append(eol);
    edit.insert.append(newLine).append(eol);
    return edit;
}

std::string failure(const std::string &path, const std::string &reason)
{
    return "Cannot save " + path + ": " + reason;
}

std::string systemFailure(const std::string &path, int error)
{
    return failure(path, std::strerror(error));
}

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

int toInt(std::string_view text, int defaultValue)
{
    text = trimmed(text);
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
        text = text.substr(1, text.size() - 2);
    if (text.empty())
        return defaultValue;
    size_t i = 0;
    while (i < text.size() && isBlank(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    // Unsigned arithmetic wraps modulo 2^32, as the stored number must.
    uint32_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = value * 10u + uint32_t(text[i] - '0');
    if (negative)
        value = 0u - value;
    return int32_t(value);
}

std::optional<std::string_view> findValue(std::string_view content,
                                          std::string_view section,
                                          std::string_view key)
{
    const Location where = locate(content, section, key);
    return where.keyFound ? std::optional(where.value) : std::nullopt;
}

std::string withValue(std::string_view content, std::string_view section,
                      std::string_view key, std::string_view value)
{
    const Edit edit = planEdit(content, section, key, value);
    std::string out(content.substr(0, edit.cut));
    out.append(edit.insert).append(content.substr(edit.resume));
    return out;
}

std::optional<std::string> checkWrite(std::string_view section,
                                      std::string_view key,
                                      std::string_view value)
{
    const auto hasLineBreak = [](std::string_view s) {
        return s.find_first_of("\r\n") != std::string_view::npos;
    };
    if (hasLineBreak(section) || section.find(']') != std::string_view::npos)
        return "the section name \"" + std::string(section) + "\" contains a line break or ']'";
    const std::string_view name = trimmed(key);
    if (hasLineBreak(key) || name.empty() || key.find('=') != std::string_view::npos
        || name.front() == '[' || name.front() == ';')
        return "\"" + std::string(key) + "\" is not a usable key name";
    if (hasLineBreak(value))
        return "the value of " + std::string(key) + " contains a line break";
    return std::nullopt;
}

int readInt(const std::string &path, std::string_view section,
            std::string_view key, int defaultValue)
{
    // Non-blocking, so that a FIFO in the file's place cannot hang the read.
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0)
        return defaultValue;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return defaultValue;
    Content content;
    if (!content.readAll(fd.get(), size_t(st.st_size)))
        return defaultValue;
    const auto value = findValue(content.view(), section, key);
    return value ? toInt(*value, defaultValue) : defaultValue;
}

std::optional<std::string> writeString(const std::string &path,
                                       std::string_view section,
                                       std::string_view key,
                                       std::string_view value)
{
    if (auto refusal = checkWrite(section, key, value))
        return failure(path, *refusal);

    std::string target;
    int error = 0;
    if (!resolveLinks(path, target, error))
        return systemFailure(path, error);
    const std::string dir = directoryOf(target);

    // The lock is on the directory, not the file: the file is replaced by a
    // new inode on every write, so a lock on it would not be seen by a
    // writer that opens the new one.
    FileDescriptor dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd.get() < 0 && errno != EACCES)
        return failure(path, "the folder " + dir + " cannot be opened (" + std::strerror(errno) + ")");
    if (dirFd.get() >= 0) {
        while (::flock(dirFd.get(), LOCK_EX) != 0) {
            if (errno != EINTR)
                return failure(path, std::string("cannot lock the folder (") + std::strerror(errno) + ")");
        }
    }

    Content content;
    struct stat st {};
    bool exists = false;
    {
        FileDescriptor fd(::open(target.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
        if (fd.get() < 0 && errno != ENOENT)
            return systemFailure(path, errno);
        if (fd.get() >= 0) {
            exists = true;
            if (::fstat(fd.get(), &st) != 0)
                return systemFailure(path, errno);
            if (!S_ISREG(st.st_mode))
                return failure(path, "it is not a regular file");
            // Replacing the file would bypass its read-only bits, so ask first
            // whether it could be written in place. A file that nobody may
            // write is read-only by intent, even to root, who passes every
            // permission check.
            if ((st.st_mode & 0222) == 0)
                return failure(path, "the file is read-only");
            if (::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0)
                return failure(path, std::string("the file is not writable (") + std::strerror(errno) + ")");
            if (!content.readAll(fd.get(), size_t(st.st_size)))
                return systemFailure(path, errno);
        }
    }

    if (dirFd.get() >= 0)
        removeLeftovers(dirFd.get(), target.substr(target.rfind('/') + 1));

    const Edit edit = planEdit(content.view(), section, key, value);
    const std::string_view old = content.view();
    // A write that would change no byte leaves the file alone: nothing to
    // flush, and its time stays that of its last change.
    if (exists && old.substr(edit.cut, edit.resume - edit.cut) == edit.insert)
        return std::nullopt;

    std::string temporary;
    FileDescriptor out(createTemporary(target, exists ? (st.st_mode & 07777) : 0666, temporary));
    if (out.get() < 0)
        return failure(path, "cannot create a file in " + dir + " (" + std::strerror(errno) + ")");
    // Removes the temporary file; `reason` is taken before that can change errno.
    const auto abandon = [&](int reason) {
        out.reset();
        ::unlink(temporary.c_str());
        return systemFailure(path, reason);
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

} // namespace profile
