#include "settings/saverecord.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <tuple>
#include <vector>

namespace saverecord {
namespace {

constexpr std::string_view Header = "\n[tavorin-configurator unfinished save]\n";

// The bytes of the content that one line of a record holds, and the
// longest such line: ";o " and two digits a byte and a line break.
constexpr size_t BytesALine = 64, LineChars = 3 + 2 * BytesALine + 1;

// A page's second line, but for its mark and its own checksum: fixed in
// width, so that every page has room for as many lines as any other.
constexpr const char *Fields
    = "v2 page=%06zu/%06zu at=%010zu cut=%010zu old=%010zu new=%010zu kept=%010zu prefix=%016llx keptsum=%016llx";
constexpr size_t FieldsChars = 8 + 6 + 1 + 6 + 4 + 10 + 3 * (5 + 10) + 6 + 10 + 8 + 16 + 9 + 16;
// ";w " fields " sum=<16>\n"
constexpr size_t HeadChars = Header.size() + 3 + FieldsChars + 5 + 16 + 1;

// No offset or size of a record reaches this: the numbers are checked
// against it before any arithmetic.
constexpr size_t Largest = size_t(1) << 40;

size_t unitOf(Encoding encoding) { return encoding == Encoding::Bytes ? 1 : 2; }
size_t charsAPage(Encoding encoding) { return Page / unitOf(encoding); }
size_t linesAPage(Encoding encoding) { return (charsAPage(encoding) - HeadChars) / LineChars; }

size_t linesFor(size_t bytes) { return (bytes + BytesALine - 1) / BytesALine; }

// The number of pages of a record of these numbers (checked before).
size_t pagesFor(const Record &numbers, Encoding encoding)
{
    const size_t lines = linesFor(numbers.oldSize - numbers.cut - numbers.kept)
                       + linesFor(numbers.newSize - numbers.cut - numbers.kept),
                 each = linesAPage(encoding);
    return std::max<size_t>(1, (lines + each - 1) / each);
}

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

// The ASCII text (NUL among it) that bytes in the file's encoding hold;
// nullopt where they hold anything else. A last half unit is left out.
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

std::string fields(size_t page, size_t pages, size_t at, const Record &record)
{
    char text[FieldsChars + 64]; // a number too large makes it longer, and no record's
    std::snprintf(text, sizeof text, Fields, page, pages, at, record.cut, record.oldSize, record.newSize, record.kept,
                  (unsigned long long)record.prefixSum, (unsigned long long)record.keptSum);
    return text;
}

std::string hex(uint64_t value)
{
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", (unsigned long long)value);
    return text;
}

// A page's text: its head, then its lines, then line breaks to its end.
std::string pageText(const std::string &numbers, std::string_view lines, size_t chars)
{
    std::string body(lines);
    body.resize(chars - HeadChars, '\n');
    return std::string(Header) + ";w " + numbers + " sum=" + hex(checksum(numbers + body)) + "\n" + body;
}

// What the head of a page names.
struct Head {
    size_t page = 0, pages = 0, at = 0;
    Record record;
    bool finished = false;
};

// The head at the start of a page's text; nullopt unless it is whole and
// its numbers fit each other.
std::optional<Head> headOf(std::string_view text, Encoding encoding)
{
    if (text.size() < HeadChars || text.substr(0, Header.size()) != Header || text[Header.size()] != ';'
        || (text[Header.size() + 1] != 'w' && text[Header.size() + 1] != Finished) || text[Header.size() + 2] != ' '
        || text[HeadChars - 1] != '\n')
        return std::nullopt;
    const std::string numbers(text.substr(Header.size() + 3, FieldsChars));
    Head head;
    unsigned long long prefix = 0, kept = 0;
    if (std::sscanf(numbers.c_str(), Fields, &head.page, &head.pages, &head.at, &head.record.cut, &head.record.oldSize,
                    &head.record.newSize, &head.record.kept, &prefix, &kept)
        != 9)
        return std::nullopt;
    head.record.prefixSum = prefix;
    head.record.keptSum = kept;
    const Record &r = head.record;
    if (head.at >= Largest || r.oldSize >= Largest || r.newSize >= Largest || head.page >= head.pages
        || r.cut > std::min(r.oldSize, r.newSize) || head.at != startOf(r.oldSize, r.newSize)
        || (r.kept != 0 && (r.oldSize != r.newSize || r.kept > r.oldSize - r.cut))
        || head.pages != pagesFor(r, encoding) || fields(head.page, head.pages, head.at, r) != numbers
        || text.substr(Header.size() + 3 + FieldsChars, 5) != " sum=")
        return std::nullopt;
    head.finished = text[Header.size() + 1] == Finished;
    return head;
}

// Whether the text can only be part of a record that a cut damaged: NUL
// where it was lost, and otherwise only what a record's lines hold.
bool recordShaped(std::string_view text)
{
    static constexpr std::string_view Allowed = "\n;[]-/= 0123456789abcdefghijklmnopqrstuvwxyz";
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return c == '\0' || Allowed.find(c) != std::string_view::npos; });
}

// The end of the last byte before `end` that is not NUL (a unit, in UTF-16).
size_t lastWritten(std::string_view file, size_t end, Encoding encoding)
{
    const size_t unit = unitOf(encoding);
    size_t at = end / unit * unit;
    while (at >= unit && file.substr(at - unit, unit).find_first_not_of('\0') == std::string_view::npos)
        at -= unit;
    return at;
}

// The whole record whose pages the file ends in, from `at`; nullopt where
// a page is not whole.
std::optional<Record> wholeRecord(std::string_view file, size_t at, Encoding encoding)
{
    std::string lines;
    Record record;
    for (size_t offset = at; offset < file.size(); offset += Page) {
        const std::string_view page = file.substr(offset, Page);
        const std::optional<std::string> text = decode(page, encoding);
        const std::optional<Head> head = text ? headOf(*text, encoding) : std::nullopt;
        if (!head || pageAt(page, offset, encoding).kind != PageOf::Whole)
            return std::nullopt;
        record = head->record;
        lines += text->substr(HeadChars);
    }
    // Each page's lines, then its line breaks: the lines are those that
    // start with ';'.
    const auto hexOf = [](char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1; };
    size_t from = 0;
    for (const auto &[tag, bytes, size] :
         {std::tuple{std::string_view(";o "), &record.before, record.oldSize - record.kept},
          std::tuple{std::string_view(";n "), &record.after, record.newSize - record.kept}}) {
        while (bytes->size() < size - record.cut) {
            from = lines.find(';', from);
            const size_t end = lines.find('\n', from);
            const size_t want = std::min(BytesALine, size - record.cut - bytes->size());
            if (from == std::string::npos || end == std::string::npos || lines.compare(from, 3, tag) != 0
                || end - from - 3 != 2 * want)
                return std::nullopt;
            for (size_t i = from + 3; i < end; i += 2) {
                const int high = hexOf(lines[i]), low = hexOf(lines[i + 1]);
                if (high < 0 || low < 0)
                    return std::nullopt;
                *bytes += char(high << 4 | low);
            }
            from = end;
        }
    }
    return record;
}

} // namespace

Encoding encodingOf(std::string_view content)
{
    if (content.substr(0, 2) == "\xFF\xFE")
        return Encoding::Utf16LE;
    if (content.substr(0, 2) == "\xFE\xFF")
        return Encoding::Utf16BE;
    return Encoding::Bytes;
}

uint64_t checksum(std::string_view data, uint64_t from)
{
    for (const char c : data)
        from = (from ^ uint8_t(c)) * 1099511628211ull;
    return from;
}

size_t startOf(size_t oldSize, size_t newSize)
{
    return std::max(Page, (std::max(oldSize, newSize) + Page - 1) / Page * Page);
}

std::string layout(const Record &record, Encoding encoding)
{
    static const char digits[] = "0123456789abcdef";
    const size_t at = startOf(record.oldSize, record.newSize), each = linesAPage(encoding),
                 pages = pagesFor(record, encoding);
    // The lines in order: those of the content before the change, then after.
    size_t inBefore = 0, inAfter = 0;
    const auto line = [&](std::string &to) {
        const bool old = inBefore < record.before.size();
        const std::string &bytes = old ? record.before : record.after;
        size_t &from = old ? inBefore : inAfter;
        to += old ? ";o " : ";n ";
        for (const char c : std::string_view(bytes).substr(from, BytesALine))
            to.append({digits[uint8_t(c) >> 4], digits[uint8_t(c) & 15]});
        to += '\n';
        from = std::min(bytes.size(), from + BytesALine);
    };
    std::string text;
    text.reserve(pages * Page);
    std::string own;
    for (size_t page = 0; page < pages; ++page) {
        own.clear();
        for (size_t lines = 0; lines < each && (inBefore < record.before.size() || inAfter < record.after.size());
             ++lines)
            line(own);
        text += encode(pageText(fields(page, pages, at, record), own, charsAPage(encoding)), encoding);
    }
    return text;
}

size_t largest(size_t size) { return pagesFor({0, size, size, 0, 0, 0, {}, {}}, Encoding::Utf16LE) * Page; }

size_t markOffset(Encoding encoding)
{
    return (Header.size() + 1) * unitOf(encoding) + (encoding == Encoding::Utf16BE ? 1 : 0);
}

PageOf pageAt(std::string_view page, size_t offset, Encoding encoding)
{
    const std::optional<std::string> text = decode(page, encoding);
    if (!text)
        return {};
    if (const std::optional<Head> head = headOf(*text, encoding); head && offset == head->at + head->page * Page) {
        const std::string numbers = text->substr(Header.size() + 3, FieldsChars);
        const bool whole
            = page.size() == Page
           && text->substr(HeadChars - 17, 16) == hex(checksum(numbers + std::string(text->substr(HeadChars))));
        return {whole ? PageOf::Whole : PageOf::Damaged, head->at, head->record, head->finished};
    }
    // A page whose head was lost: NUL where it was never written, from its
    // start or from within its head, and otherwise only what a record holds.
    const size_t lost = text->find('\0');
    if (lost != std::string::npos
        && (lost == 0 || (lost >= Header.size() && text->compare(0, Header.size(), Header) == 0))
        && recordShaped(*text))
        return {PageOf::Damaged, 0, {}, false};
    return {};
}

std::optional<Repair> unfinished(std::string_view file)
{
    const Encoding encoding = encodingOf(file);
    if (file.empty())
        return std::nullopt;
    // An editor that wrote the file in place since, record and all, may
    // have moved the record: its last head tells by how much, and such a
    // record only goes.
    ptrdiff_t moved = 0;
    if (const size_t last = file.rfind(encode(Header, encoding));
        last != std::string_view::npos && last % unitOf(encoding) == 0) {
        const auto text = decode(file.substr(last, HeadChars * unitOf(encoding)), encoding);
        if (const auto head = text ? headOf(*text, encoding) : std::nullopt)
            moved = ptrdiff_t(last) - ptrdiff_t(head->at + head->page * Page);
    }
    const size_t base = size_t((moved % ptrdiff_t(Page) + ptrdiff_t(Page)) % ptrdiff_t(Page));
    if (file.size() <= base)
        return std::nullopt;
    // The pages at the end that a record or what is left of it fills, and
    // what those that name their record name, where they agree.
    size_t first = file.size();
    std::optional<PageOf> named;
    bool finished = false; // on any page
    for (size_t offset = base + (file.size() - 1 - base) / Page * Page;; offset -= Page) {
        const PageOf page = ptrdiff_t(offset) >= moved
                              ? pageAt(file.substr(offset, Page), size_t(ptrdiff_t(offset) - moved), encoding)
                              : PageOf{};
        const auto same = [&](const PageOf &other) {
            return other.at == page.at && other.numbers.cut == page.numbers.cut
                && other.numbers.oldSize == page.numbers.oldSize && other.numbers.newSize == page.numbers.newSize
                && other.numbers.kept == page.numbers.kept && other.numbers.prefixSum == page.numbers.prefixSum
                && other.numbers.keptSum == page.numbers.keptSum;
        };
        if (page.kind == PageOf::Other || (page.at != 0 && named && !same(*named)))
            break;
        first = offset;
        finished = finished || page.finished;
        if (page.at != 0 && !named)
            named = page;
        if (offset < Page)
            break;
    }
    if (first == file.size() || (named && size_t(ptrdiff_t(named->at) + moved) < first))
        return std::nullopt;
    if (!named) {
        // No page's head is left: only pages of a record, which always ends
        // at a page boundary, and the NUL bytes before them.
        if (file.size() % Page != 0 || moved != 0)
            return std::nullopt;
        const size_t end = lastWritten(file, first, encoding);
        return Repair{end, {}, end};
    }
    const size_t at = size_t(ptrdiff_t(named->at) + moved);
    const Record &numbers = named->numbers;
    const size_t pages = pagesFor(numbers, encoding);
    if (file.size() > at + pages * Page)
        return std::nullopt;
    const size_t written = lastWritten(file, at, encoding);
    const auto goes = [&](size_t size) {
        const size_t end = moved != 0 ? written : std::max(size, written);
        return Repair{end, {}, end};
    };
    const auto whole = file.size() == at + pages * Page && moved == 0 ? wholeRecord(file, at, encoding) : std::nullopt;
    // A record marked finished goes with the NUL bytes before it, whatever
    // became of the content since.
    if (finished)
        return Repair{written, {}, written};
    if (!whole) // the change starts only once the record is whole
        return goes(numbers.oldSize);
    const Record &record = *whole;
    // Each byte from the cut to the record as it was, or as it was to
    // become, or not yet on the disk; those kept as they were.
    const size_t keptFrom = record.oldSize - record.kept;
    bool couldBeLeft = checksum(file.substr(0, record.cut)) == record.prefixSum
                    && (record.kept == 0 || checksum(file.substr(keptFrom, record.kept)) == record.keptSum);
    for (size_t i = record.cut; couldBeLeft && i < at; ++i) {
        if (record.kept != 0 && i == keptFrom) {
            i = record.oldSize - 1;
            continue;
        }
        const size_t k = i - record.cut;
        const char c = file[i];
        couldBeLeft = c == '\0' || (k < record.before.size() && c == record.before[k])
                   || (k < record.after.size() && c == record.after[k]);
    }
    if (!couldBeLeft)
        return goes(std::min(record.oldSize, record.newSize));
    return Repair{record.cut, record.after, record.newSize};
}

std::string repaired(std::string_view file, const Repair &repair)
{
    std::string result(file.substr(0, std::max(repair.at + repair.bytes.size(), repair.size)));
    result.replace(repair.at, repair.bytes.size(), repair.bytes);
    result.resize(repair.size);
    return result;
}

} // namespace saverecord
