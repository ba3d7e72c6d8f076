#pragma once

// An edit of a file's content: what the profile format plans and the file
// layer carries out. Knows neither.

#include <string>
#include <variant>

namespace content {

// A change of a file's content: its bytes before `cut`, then `insert`, then
// its bytes from `resume` on.
struct Edit {
    size_t cut = 0;
    size_t resume = 0;
    std::string insert;
};

// What to do with a file's content: an edit, or why the file must be left
// as it is.
using Plan = std::variant<Edit, std::string>;

} // namespace content
