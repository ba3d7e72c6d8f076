#pragma once

// An edit of a file's content: what the profile format plans and the file
// layer carries out. Knows neither.

#include <string>
#include <variant>

namespace content {

// How the file's text is stored: as bytes (ASCII, UTF-8 or a code page),
// or as UTF-16 in either byte order. What the file layer adds to a file
// for a while, it writes in the same encoding.
enum class Encoding { Bytes, Utf16LE, Utf16BE };

// A change of a file's content: its bytes before `cut`, then `insert`, then
// its bytes from `resume` on.
struct Edit {
    size_t cut = 0;
    size_t resume = 0;
    std::string insert;
    Encoding encoding = Encoding::Bytes;
};

// What to do with a file's content: an edit, or why the file must be left
// as it is.
using Plan = std::variant<Edit, std::string>;

} // namespace content
