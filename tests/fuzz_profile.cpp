// libFuzzer target for the profile layer: arbitrary file bytes, section,
// key and value. It writes the bytes as a Setup.ini, reads the key, writes
// the value, and checks what a user relies on:
// - a write fails only for a name or value that cannot be written, and
//   then leaves the file as it was;
// - after a successful write the key reads back as written, and every line
//   that the write did not touch is byte-identical;
// - the same write again changes nothing;
// - a read finds what a plain line-by-line reading of the format finds.
//
// An input is three length bytes (section, key, value), then the section,
// key and value, then the file's content.
#include "profile.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <unistd.h>

namespace {

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "fuzz_profile: %s\n", what);
    std::abort();
}

// A folder of its own for the file; in memory where possible, since every
// write flushes to disk.
const std::string &setupIni()
{
    static const std::string path = [] {
        std::string pattern = (::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
        pattern += "/fuzz-profile-XXXXXX";
        if (!::mkdtemp(pattern.data()))
            fail("cannot create a folder");
        return pattern + "/Setup.ini";
    }();
    return path;
}

void writeFile(const std::string &path, std::string_view bytes)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != ssize_t(bytes.size()) || ::close(fd) != 0)
        fail("cannot write the file");
}

std::string readFile(const std::string &path)
{
    std::string bytes;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        fail("cannot read the file");
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        bytes.append(buffer, size_t(n));
    ::close(fd);
    return bytes;
}

std::string_view withoutBlanks(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

size_t lineBreaks(std::string_view text)
{
    size_t count = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' || (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')))
            ++count;
    }
    return count;
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

bool sameName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

// The value of key in section, read the plainest way: split the content
// into lines, then look at each one in turn.
std::optional<std::string_view> plainFind(std::string_view content, std::string_view section, std::string_view key)
{
    section = withoutBlanks(section);
    key = withoutBlanks(key);
    if (content.substr(0, 3) == "\xEF\xBB\xBF")
        content.remove_prefix(3);
    bool inSection = false, seen = false;
    while (!content.empty()) {
        size_t end = 0;
        while (end < content.size() && content[end] != '\r' && content[end] != '\n')
            ++end;
        const std::string_view line = withoutBlanks(content.substr(0, end));
        size_t next = end;
        if (next < content.size())
            next += (content[next] == '\r' && next + 1 < content.size() && content[next + 1] == '\n') ? 2 : 1;
        content.remove_prefix(next);
        if (!line.empty() && line.front() == '[') {
            if (seen)
                return std::nullopt; // only the first section of a name counts
            const std::string_view name = withoutBlanks(line.substr(1, line.find(']') - 1));
            inSection = seen = sameName(name, section);
        } else if (inSection && !line.empty() && line.front() != ';') {
            const size_t equals = line.find('=');
            if (equals != std::string_view::npos && sameName(withoutBlanks(line.substr(0, equals)), key))
                return withoutBlanks(line.substr(equals + 1));
        }
    }
    return std::nullopt;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    const size_t lengths[3] = {data[0] % 24u, data[1] % 24u, data[2] % 40u};
    std::string_view rest(reinterpret_cast<const char *>(data + 3), size - 3);
    std::string parts[3];
    for (int i = 0; i < 3; ++i) {
        const size_t take = lengths[i] < rest.size() ? lengths[i] : rest.size();
        parts[i] = std::string(rest.substr(0, take));
        rest.remove_prefix(take);
    }
    const std::string &section = parts[0], &key = parts[1], &value = parts[2];
    const std::string content(rest);
    const std::string &path = setupIni();
    writeFile(path, content);

    // A read finds what the parser finds, and what a plain reading finds.
    const auto stored = profile::findValue(content, section, key);
    if (stored != plainFind(content, section, key))
        fail("findValue disagrees with a plain reading");
    const int expected = stored ? profile::toInt(*stored, 12345) : 12345;
    if (profile::readInt(path, section, key, 12345) != expected)
        fail("readInt disagrees with findValue");

    const auto error = profile::writeString(path, section, key, value);
    const std::string after = readFile(path);
    if (error) {
        if (!profile::checkWrite(section, key, value))
            fail("a write of usable names and value failed");
        if (after != content)
            fail("a refused write changed the file");
        return 0;
    }

    const auto readBack = profile::findValue(after, section, key);
    if (!readBack || *readBack != withoutBlanks(value))
        fail("the key does not read back as written");

    // The old and new bytes differ in one place only: there, the old holds
    // part of one line at most (the key's old line), and the new holds only
    // the key's line, and a section header and a line break when added.
    size_t prefix = 0;
    while (prefix < content.size() && prefix < after.size() && content[prefix] == after[prefix])
        ++prefix;
    size_t suffix = 0;
    while (suffix < content.size() - prefix && suffix < after.size() - prefix
           && content[content.size() - 1 - suffix] == after[after.size() - 1 - suffix])
        ++suffix;
    const std::string_view removed = std::string_view(content).substr(prefix, content.size() - prefix - suffix);
    const std::string_view added = std::string_view(after).substr(prefix, after.size() - prefix - suffix);
    if (removed.find_first_of("\r\n") != std::string_view::npos)
        fail("the write changed more than the key's line");
    if (lineBreaks(added) > 3)
        fail("the write added more than a section and a key");

    if (profile::writeString(path, section, key, value) || readFile(path) != after)
        fail("the same write again changed the file");
    return 0;
}
