#include "settings/profile.h"

#include <cstdint>
#include <cstring>

namespace profile {
namespace {

using content::Edit;

constexpr std::string_view Utf8Mark = "\xEF\xBB\xBF";

// White space, as the profile functions trim it from names and values.
bool isWhite(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\x1a'; }

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && isWhite(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isWhite(text.back()))
        text.remove_suffix(1);
    return text;
}

// A NUL ends the name or value that it is in.
std::string_view untilNul(std::string_view text)
{
    const size_t nul = text.find('\0');
    return nul == std::string_view::npos ? text : text.substr(0, nul);
}

// A section or key name as the functions compare it.
std::string_view nameOf(std::string_view text) { return untilNul(trimmed(text)); }

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

// Case folding of ASCII letters only, as the functions fold: the user's
// locale must not change which key a name finds.
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

bool isContinuation(char c) { return (uint8_t(c) & 0xC0) == 0x80; }

// The characters of UTF-8 text as Windows counts them: UTF-16 units.
size_t unitsOf(char lead) { return isContinuation(lead) ? 0 : uint8_t(lead) >= 0xF0 ? 2 : 1; }

void appendUtf8(std::string &out, uint32_t c)
{
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

// UTF-16 text as UTF-8. A lone surrogate becomes three bytes of its own, so
// that every unit converts back to exactly what it was; an odd last byte is
// left out.
std::string fromUtf16(std::string_view bytes, bool bigEndian)
{
    const auto unit = [&](size_t i) {
        const uint32_t first = uint8_t(bytes[2 * i]), second = uint8_t(bytes[2 * i + 1]);
        return bigEndian ? (first << 8 | second) : (second << 8 | first);
    };
    std::string out;
    out.reserve(bytes.size());
    const size_t units = bytes.size() / 2;
    for (size_t i = 0; i < units; ++i) {
        uint32_t c = unit(i);
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < units) {
            const uint32_t low = unit(i + 1);
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        appendUtf8(out, c);
    }
    return out;
}

// The character of UTF-8 text that starts at text[i], and its length in
// bytes; a length of 0 where no character starts. Lone surrogates, as
// fromUtf16() writes them, count as characters.
std::pair<uint32_t, size_t> characterAt(std::string_view text, size_t i)
{
    const uint8_t lead = uint8_t(text[i]);
    const size_t length = lead < 0x80                 ? 1
                        : lead >= 0xC2 && lead < 0xE0 ? 2
                        : lead >= 0xE0 && lead < 0xF0 ? 3
                        : lead >= 0xF0 && lead < 0xF5 ? 4
                                                      : 0;
    if (length == 0 || i + length > text.size())
        return {0, 0};
    uint32_t c = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
        if (!isContinuation(text[i + k]))
            return {0, 0};
        c = (c << 6) | (uint8_t(text[i + k]) & 0x3F);
    }
    // The shortest form only: a longer one could hide a line break.
    const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < smallest[length] || c > 0x10FFFF)
        return {0, 0};
    return {c, length};
}

bool isUtf8(std::string_view text)
{
    for (size_t i = 0; i < text.size();) {
        const size_t length = characterAt(text, i).second;
        if (length == 0)
            return false;
        i += length;
    }
    return true;
}

// UTF-8 text as UTF-16.
std::string toUtf16(std::string_view text, bool bigEndian)
{
    std::string out;
    const auto put = [&](uint32_t unit) {
        const char high = char(unit >> 8), low = char(unit & 0xFF);
        out += bigEndian ? high : low;
        out += bigEndian ? low : high;
    };
    for (size_t i = 0; i < text.size();) {
        auto [c, length] = characterAt(text, i);
        if (length == 0) {
            c = 0xFFFD;
            length = 1;
        }
        if (c >= 0x10000) {
            put(0xD800 + ((c - 0x10000) >> 10));
            put(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            put(c);
        }
        i += length;
    }
    return out;
}

// The size of the byte-order mark that content starts with: UTF-16 in
// either byte order, or UTF-8.
size_t markSize(std::string_view content)
{
    if (content.substr(0, 2) == "\xFF\xFE" || content.substr(0, 2) == "\xFE\xFF")
        return 2;
    return content.substr(0, Utf8Mark.size()) == Utf8Mark ? Utf8Mark.size() : 0;
}

// A file's text as the parser reads it: the bytes after a UTF-8 mark, or a
// UTF-16 file's text converted to UTF-8. Offsets into the text convert back
// to offsets into the file, and new text to the file's encoding.
class Text {
public:
    explicit Text(std::string_view content)
        : m_content(content)
        , m_mark(markSize(content))
    {
        m_utf16 = m_mark == 2;
        m_unicode = m_mark == Utf8Mark.size();
        m_bigEndian = m_utf16 && content[0] == '\xFE';
        if (m_utf16)
            m_converted = fromUtf16(content.substr(2), m_bigEndian);
    }

    bool isUtf16() const { return m_utf16; }

    content::Encoding encoding() const
    {
        if (!m_utf16)
            return content::Encoding::Bytes;
        return m_bigEndian ? content::Encoding::Utf16BE : content::Encoding::Utf16LE;
    }

    std::string_view view() const { return m_utf16 ? std::string_view(m_converted) : m_content.substr(m_mark); }

    // The number of characters in part of the text: the functions read a
    // file with a mark as Unicode, any other byte by byte.
    size_t length(std::string_view part) const
    {
        if (!m_utf16 && !m_unicode)
            return part.size();
        size_t units = 0;
        for (const char c : part)
            units += unitsOf(c);
        return units;
    }

    // The first `count` characters of part of the text.
    std::string_view first(std::string_view part, size_t count) const
    {
        if (!m_utf16 && !m_unicode)
            return part.substr(0, count);
        size_t units = 0, end = 0;
        for (; end < part.size(); ++end) {
            units += unitsOf(part[end]);
            if (units > count)
                break;
        }
        return part.substr(0, end);
    }

    // Part of the text without its last character.
    std::string_view withoutLast(std::string_view part) const
    {
        if (m_utf16 || m_unicode) {
            while (!part.empty() && isContinuation(part.back()))
                part.remove_suffix(1);
        }
        if (!part.empty())
            part.remove_suffix(1);
        return part;
    }

    // The offset in the file's content of offset `at` in the text.
    size_t contentOffset(size_t at) const { return m_mark + (m_utf16 ? 2 * length(view().substr(0, at)) : at); }

    // Text in the file's encoding.
    std::string encoded(std::string_view text) const
    {
        return m_utf16 ? toUtf16(text, m_bigEndian) : std::string(text);
    }

private:
    std::string_view m_content;
    std::string m_converted;
    size_t m_mark = 0;
    bool m_utf16 = false;
    bool m_bigEndian = false;
    bool m_unicode = false; // a UTF-8 file with its mark
};

// One line of the text, as offsets into it.
struct Line {
    size_t begin = 0; // first byte of the line
    size_t end = 0; // one past its last byte before the line break
    size_t next = 0; // first byte of the following line
};

// Walks the lines of a file's text; CRLF, LF and lone CR all end a line.
// The next LF and the next CR are each found with memchr and remembered, so
// that a walk costs one pass over the bytes whichever line breaks they use.
class LineReader {
public:
    explicit LineReader(std::string_view text)
        : m_content(text)
    {
        m_nextLF = find('\n', 0);
        m_nextCR = find('\r', 0);
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

    // Moves to the next line whose first non-white byte is '[' (perhaps a
    // section header) and reads it like next(); false when there is none. It jumps
    // from one '[' to the next, so the lines in between cost nothing.
    bool nextHeader(Line &line)
    {
        for (size_t bracket = find('[', m_pos); bracket < m_content.size(); bracket = find('[', bracket + 1)) {
            size_t start = bracket;
            while (start > m_pos && isWhite(m_content[start - 1]))
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

enum class Kind { Blank, Section, Entry };

struct Parsed {
    Kind kind = Kind::Blank;
    std::string_view name; // section or key name, as compared
    std::string_view value; // an entry's value, trimmed
    bool hasValue = false; // whether the entry has '='
};

Parsed parse(std::string_view line)
{
    Parsed parsed;
    line = trimmed(line);
    if (line.empty())
        return parsed;
    if (line.front() == '[') {
        // The name ends at the last ']'; anything after it is ignored. A
        // line without one is no header but an entry.
        const size_t close = line.rfind(']');
        if (close != 0 && close != std::string_view::npos) {
            parsed.kind = Kind::Section;
            parsed.name = nameOf(line.substr(1, close - 1));
            return parsed;
        }
    }
    parsed.kind = Kind::Entry;
    const size_t equals = line.find('=');
    parsed.name = nameOf(line.substr(0, equals));
    if (equals != std::string_view::npos) {
        parsed.hasValue = true;
        parsed.value = trimmed(line.substr(equals + 1));
    }
    return parsed;
}

// Where key stands in the first section named `section`, and where it
// would be added when the section lacks it: after the section's last entry
// with '=', else after its header (or, in the nameless section, before the
// first line).
struct Location {
    bool sectionFound = false;
    bool keyFound = false;
    bool hasAnchor = false;
    Line line; // the key's line, or the line to add it after
    Parsed key; // the key's entry
};

Location locate(std::string_view text, std::string_view section, std::string_view key)
{
    section = nameOf(section);
    key = nameOf(key);
    Location where;
    // The lines before the first header form the first section named "".
    bool inSection = where.sectionFound = section.empty();
    LineReader reader(text);
    Line line;
    // Outside the section only section headers matter.
    while (inSection ? reader.next(line) : reader.nextHeader(line)) {
        const Parsed parsed = parse(text.substr(line.begin, line.end - line.begin));
        if (parsed.kind == Kind::Section) {
            // Only the first section of a name counts.
            if (inSection)
                break;
            inSection = where.sectionFound = where.hasAnchor = sameName(parsed.name, section);
            where.line = line;
        } else if (inSection && parsed.kind == Kind::Entry) {
            if (sameName(parsed.name, key)) {
                where.keyFound = true;
                where.line = line;
                where.key = parsed;
                break;
            }
            if (parsed.hasValue) {
                where.hasAnchor = true;
                where.line = line;
            }
        }
    }
    return where;
}

std::string_view lineEndingOf(std::string_view text)
{
    const size_t i = text.find_first_of("\r\n");
    if (i == std::string_view::npos)
        return "\r\n";
    if (text[i] == '\n')
        return "\n";
    return (i + 1 < text.size() && text[i + 1] == '\n') ? "\r\n" : "\r";
}

// The number that a value text converts to, as GetPrivateProfileIntA
// converts it.
int toInt(const Text &text, std::string_view value, int defaultValue)
{
    value = untilNul(value);
    // Only 29 characters are read. Of a quoted value, the outer quotes are
    // removed, and when the value would all but fit, one character too
    // many: the functions' own count, kept as Tavorin sees it.
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
        const std::string_view inner = value.substr(1);
        value = text.first(inner, 29);
        if (text.length(inner) <= 30)
            value = text.withoutLast(value);
    } else {
        value = text.first(value, 29);
    }
    if (value.empty())
        return defaultValue;

    size_t i = 0;
    while (i < value.size() && uint8_t(value[i]) <= 0x20) // every control character
        ++i;
    bool negative = false;
    if (i < value.size() && (value[i] == '+' || value[i] == '-'))
        negative = value[i++] == '-';
    uint32_t base = 10;
    if (i + 1 < value.size() && value[i] == '0') {
        const char prefix = value[i + 1];
        base = prefix == 'x' ? 16 : prefix == 'o' ? 8 : prefix == 'b' ? 2 : 10;
        if (base != 10)
            i += 2;
    }
    // Unsigned arithmetic wraps modulo 2^32, as the stored number must.
    uint32_t number = 0;
    for (; i < value.size(); ++i) {
        const char c = value[i];
        const uint32_t digit = (c >= '0' && c <= '9') ? uint32_t(c - '0')
                             : (c >= 'a' && c <= 'f') ? uint32_t(c - 'a' + 10)
                             : (c >= 'A' && c <= 'F') ? uint32_t(c - 'A' + 10)
                                                      : 99;
        if (digit >= base)
            break;
        number = number * base + digit;
    }
    if (negative)
        number = 0u - number;
    return int32_t(number);
}

} // namespace

int intValue(std::string_view content, std::string_view section, std::string_view key, int defaultValue)
{
    const Text text(content);
    const Location where = locate(text.view(), section, key);
    return where.keyFound && where.key.hasValue ? toInt(text, where.key.value, defaultValue) : defaultValue;
}

content::Plan edit(std::string_view content, std::string_view section, std::string_view key, std::string_view value)
{
    const Text text(content);
    if (text.isUtf16()) {
        for (const std::string_view part : {section, key, value}) {
            if (!isUtf8(part))
                return "the file is UTF-16, which cannot hold the text \"" + std::string(part) + "\"";
        }
    }
    const std::string_view lines = text.view();
    const std::string_view eol = lineEndingOf(lines);
    const Location where = locate(lines, section, key);
    size_t cut = lines.size(), resume = lines.size();
    std::string insert;
    if (where.keyFound) {
        cut = where.line.begin;
        resume = where.line.end;
        insert.append(where.key.name).append("=").append(value);
    } else if (where.sectionFound) {
        cut = resume = where.hasAnchor ? where.line.next : 0;
        if (where.hasAnchor && where.line.next == where.line.end) // an unterminated last line
            insert.append(eol);
        // New names are written as they are compared, so that the next
        // write of the same key finds the same line.
        insert.append(nameOf(key)).append("=").append(value).append(eol);
    } else {
        if (!lines.empty() && lines.back() != '\n' && lines.back() != '\r')
            insert.append(eol);
        insert.append("[").append(nameOf(section)).append("]").append(eol);
        insert.append(nameOf(key)).append("=").append(value).append(eol);
    }
    Edit change{text.contentOffset(cut), text.contentOffset(resume), text.encoded(insert), text.encoding()};
    // A key first in a file without a mark must not begin with one: the
    // whole file would then read as another encoding.
    if (change.cut == 0 && markSize(change.insert) != 0)
        return "the key \"" + std::string(key) + "\" would begin the file with a byte-order mark";
    return change;
}

std::optional<std::string> checkWrite(std::string_view section, std::string_view key, std::string_view value)
{
    const auto breaksLine
        = [](std::string_view s) { return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos; };
    if (breaksLine(section) || section.find(']') != std::string_view::npos)
        return "the section name \"" + std::string(untilNul(section)) + "\" contains a line break, a NUL or ']'";
    const std::string_view name = trimmed(key);
    if (breaksLine(key) || name.empty() || key.find('=') != std::string_view::npos || name.front() == '['
        || name.front() == ';')
        return "\"" + std::string(untilNul(key)) + "\" is not a usable key name";
    if (value.find_first_of("\r\n") != std::string_view::npos)
        return "the value of " + std::string(key) + " contains a line break";
    if (value.find('\0') != std::string_view::npos)
        return "the value of " + std::string(key) + " contains a NUL character";
    return std::nullopt;
}

} // namespace profile
