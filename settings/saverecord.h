#pragma once

// The record of a save in place: what a writer puts into Setup.ini past
// its content before it changes a byte of it, so that the next writer can
// complete a change that was cut short, or remove what is left of it. Pure
// functions of bytes, as the profile format is; writing, flushing and
// cutting off the record is durablefile's.
//
// A record is whole pages of the file (4 KiB each), from the first page
// boundary at or past both the old and the new end of the content. The
// bytes between the content and the record are never written: they read
// as NUL, which ends a name or value for every reader. Each page names the
// record (its start, its number of pages, the change's offset and sizes, a
// checksum of the content before the change) and carries a checksum of its
// own, so that whichever pages a power cut keeps, each one tells on its
// own where the content ends. To readers each page is a section of its own
// after all of the file's, "[tavorin-configurator unfinished save]", whose
// lines start with ';', in the file's encoding:
//   (line break)[tavorin-configurator unfinished save]
//   ;w v2 page=<k>/<pages> at=<start> cut=<cut> old=<old size> new=<new size> kept=<kept>
//      prefix=<checksum> keptsum=<checksum> sum=<checksum>                      (on one line)
//   ;o <hexadecimal of 64 bytes of the content from cut on, before the change>   (as many as needed)
//   ;n <the same, after the change>
//   (line breaks to the end of the page)
// The 'w' becomes 'd' on every page where the change is on the disk but
// the record could not be cut off: such a record only goes, it never
// rewrites a byte.

#include "settings/edit.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace saverecord {

using content::Encoding;

constexpr size_t Page = 4096;

// The encoding of a file's content, as its first bytes tell.
Encoding encodingOf(std::string_view content);

// FNV-1a, continued from `from` where data follows other data.
constexpr uint64_t ChecksumStart = 14695981039346656037ull;
uint64_t checksum(std::string_view data, uint64_t from = ChecksumStart);

// A change of the content from `cut` on. Where both contents are of one
// size, the bytes at their end that the change leaves as they are, `kept`
// of them, are left out of before and after.
struct Record {
    size_t cut = 0, oldSize = 0, newSize = 0, kept = 0;
    uint64_t prefixSum = 0, keptSum = 0; // of the content before cut, and of those kept
    std::string before, after; // the content from cut on, before and after the change
};

// Where a record of a change between contents of these sizes starts.
size_t startOf(size_t oldSize, size_t newSize);

// The record's pages, in the encoding, to be written at startOf().
std::string layout(const Record &record, Encoding encoding);

// The size of the largest record of a content of `size` bytes at most.
size_t largest(size_t size);

// Where, in each page of a record, the byte is that marks it finished,
// and that byte.
size_t markOffset(Encoding encoding);
constexpr char Finished = 'd';

// What a page of the file (Page bytes at `offset`, or fewer at its end)
// holds: a whole page of a record, a page of one that a cut damaged, or
// something else. `at` is where the record starts, where the page says.
struct PageOf {
    enum Kind { Other, Whole, Damaged } kind = Other;
    size_t at = 0; // where the page names its record; 0 otherwise
    Record numbers; // what it names (without the bytes)
    bool finished = false;
};
PageOf pageAt(std::string_view page, size_t offset, Encoding encoding);

// What the next writer does with what a save left past the content: writes
// `bytes` at `at`, then cuts the file to `size`.
struct Repair {
    size_t at = 0;
    std::string bytes;
    size_t size = 0;
};

// The repair that the end of a file calls for: a whole record completes
// its change where the file is in a state that the change could have left,
// and otherwise only goes; a damaged one goes with the NUL bytes before
// it. nullopt where the file ends in no record, nor what is left of one.
std::optional<Repair> unfinished(std::string_view file);

// The file as a repair leaves it.
std::string repaired(std::string_view file, const Repair &repair);

} // namespace saverecord
