#pragma once

// Reading a settings file without side effects, and replacing it durably:
// a change is never half-written, even when the program is killed or the
// disk fills up mid-write, and two writers never lose each other's change.
// Knows nothing of the file's format.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace durablefile {

// A change of a file's content: its bytes before `cut`, then `insert`, then
// its bytes from `resume` on.
struct Edit {
    size_t cut = 0;
    size_t resume = 0;
    std::string insert;
};

// Calls `use` with the whole content of the regular file at path and
// returns true; false, without calling it, when the file is missing, is no
// regular file or cannot be read. Never creates, locks or changes the file,
// and a FIFO or a device in its place cannot block it.
bool read(const std::string &path, const std::function<void(std::string_view)> &use);

// What to do with a file's content: an edit, or why the file must be left
// as it is.
using Plan = std::variant<Edit, std::string>;

// Changes the file at path by the edit that `plan` makes of its content
// (empty when the file does not exist yet, which creates it). An edit that
// changes no byte, or a refusal, leaves the file alone. The new content is written to a
// new file beside it, flushed, and renamed over it, keeping its permission
// bits and owner; a symbolic link stays a link and its target is replaced.
// Concurrent writers are serialised by an exclusive lock on the folder, and
// the copies that writers killed mid-write left beside the file are
// removed. A read-only file is not replaced and a missing folder is not
// created. Returns nullopt on success, otherwise the reason (without the
// path); on failure the file is unchanged.
std::optional<std::string> update(const std::string &path,
                                  const std::function<Plan(std::string_view content)> &plan);

} // namespace durablefile
