// libFuzzer target for the profile format: arbitrary file bytes, section,
// key and value. It reads the key from the bytes and makes the edit that a
// write of the value makes, in memory, and checks what a user relies on:
// - a write fails only for a name or value that cannot be written (or not
//   into this content: not text into UTF-16, a mark at its start);
// - after a successful write the key reads back as written, and every line
//   that the write did not touch is byte-identical;
// - the same write again changes nothing;
// - a read finds what a plain line-by-line reading of the format finds.
//
// An input is three length bytes (section, key, value), then the section,
// key and value, then the file's content. The file layer itself is tested
// by tst_profile and tst_reliability.
#include "settings/profile.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace {

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "fuzz_profile: %s\n", what);
    std::abort();
}

// What a write of value under key in section makes of content, or why it
// is refused: the check and the edit that a write to the file makes, in
// memory.
struct Written {
    std::string after;
    std::optional<std::string> error;
};

Written write(const std::string &content, std::string_view section, std::string_view key, std::string_view value)
{
    if (auto error = profile::checkWrite(section, key, value))
        return {content, error};
    const content::Plan plan = profile::edit(content, section, key, value);
    if (const auto *refusal = std::get_if<std::string>(&plan))
        return {content, *refusal};
    const content::Edit &edit = std::get<content::Edit>(plan);
    if (edit.cut > edit.resume || edit.resume > content.size())
        fail("the edit lies outside the content");
    return {content.substr(0, edit.cut) + edit.insert + content.substr(edit.resume), std::nullopt};
}

bool isWhite(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\x1a'; }

std::string_view withoutBlanks(std::string_view text)
{
    while (!text.empty() && isWhite(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isWhite(text.back()))
        text.remove_suffix(1);
    return text;
}

std::string_view name(std::string_view text)
{
    text = withoutBlanks(text);
    return text.substr(0, text.find('\0'));
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

// Where key stands in section, found the plainest way: split the content
// into lines, then look at each one in turn. The value text of its entry,
// or nullopt when the section or the key is absent or the key has no value.
std::optional<std::string_view> plainFind(std::string_view content, std::string_view section, std::string_view key)
{
    section = name(section);
    key = name(key);
    // Lines before the first header form the first section named "".
    bool inSection = section.empty(), seen = inSection;
    while (!content.empty()) {
        size_t end = 0;
        while (end < content.size() && content[end] != '\r' && content[end] != '\n')
            ++end;
        const std::string_view line = withoutBlanks(content.substr(0, end));
        size_t next = end;
        if (next < content.size())
            next += (content[next] == '\r' && next + 1 < content.size() && content[next + 1] == '\n') ? 2 : 1;
        content.remove_prefix(next);
        if (line.empty())
            continue;
        const size_t close = line.rfind(']');
        if (line.front() == '[' && close != 0 && close != std::string_view::npos) {
            if (seen)
                return std::nullopt; // only the first section of a name counts
            inSection = seen = sameName(name(line.substr(1, close - 1)), section);
        } else if (inSection) {
            const size_t equals = line.find('=');
            if (sameName(name(line.substr(0, equals)), key)) {
                if (equals == std::string_view::npos)
                    return std::nullopt;
                return withoutBlanks(line.substr(equals + 1));
            }
        }
    }
    return std::nullopt;
}

bool isUtf16(std::string_view content)
{
    return content.substr(0, 2) == "\xFF\xFE" || content.substr(0, 2) == "\xFE\xFF";
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
    // A read of the file finds what the parser finds in its content, and
    // where the key stands is what a plain reading finds: its value, alone
    // in a file of the same kind, reads as the same number.
    const int found = profile::intValue(content, section, key, 12345);
    const bool utf16 = isUtf16(content);
    const std::string mark = content.substr(0, 3) == "\xEF\xBB\xBF" ? content.substr(0, 3) : std::string();
    if (!utf16) {
        const auto stored = plainFind(std::string_view(content).substr(mark.size()), section, key);
        const int expected
            = stored ? profile::intValue(mark + "[S]\nK=" + std::string(*stored) + "\n", "S", "K", 12345) : 12345;
        if (found != expected)
            fail("intValue disagrees with a plain reading");
    }

    const auto [after, error] = write(content, section, key, value);
    if (error) {
        // Refused for the file at hand: a UTF-16 file holds only text, and
        // a key at the start of a file must not read as a byte-order mark.
        const bool unfit = (utf16 && error->find("UTF-16, which cannot hold") != std::string::npos)
                        || error->find("byte-order mark") != std::string::npos;
        if (!profile::checkWrite(section, key, value) && !unfit)
            fail("a write of usable names and value failed");
        if (after != content)
            fail("a refused write changed the file");
        return 0;
    }

    if (utf16) {
        if (write(after, section, key, value).after != after)
            fail("the same write again changed the file");
        return 0;
    }
    const auto readBack = plainFind(std::string_view(after).substr(mark.size()), section, key);
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

    if (write(after, section, key, value).after != after)
        fail("the same write again changed the file");
    return 0;
}
