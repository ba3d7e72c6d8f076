#pragma once

// Setup.ini itself: the profile format (profile) applied to the file, read
// and changed durably (durablefile). The one place where format and file
// meet; without the toolkit.

#include <optional>
#include <string>
#include <string_view>

namespace profilefile {

// Reads key in section of the file at path as profile::intValue() does; defaultValue
// when the file is absent or not a readable regular file. Never creates,
// locks or changes the file.
int readInt(const std::string &path, std::string_view section, std::string_view key, int defaultValue);

// Why the file at path cannot be used, naming it ("<path> cannot be used:
// ..."), when it exists but is refused (see durablefile::read); nullopt
// otherwise.
std::optional<std::string> unreadable(const std::string &path);

// Stores value under key in section of the file at path by profile::edit(),
// creating the file or the section when absent, durably and under a lock
// (see durablefile::update). Returns nullopt on success, otherwise a message
// that names the path and the reason; on failure the file is unchanged.
std::optional<std::string> writeString(const std::string &path, std::string_view section, std::string_view key,
                                       std::string_view value);

} // namespace profilefile
