#pragma once

// What both the start of Tavorin and the look at Wine need of files: a
// few of their bytes, their type, and their paths as messages show them.

#include <QString>

#include <string>

#include <sys/types.h>

namespace files {

// Up to `count` bytes of the file at `offset`; fewer where it ends.
std::string bytesAt(const std::string &path, off_t offset, size_t count);

// Whether `path` names a file of `type` (S_IFREG, S_IFDIR), following links.
bool hasType(const std::string &path, mode_t type);

// A path as a message shows it; and on a line of its own, indented, whole.
QString shown(const std::string &path);
QString onItsOwnLine(const std::string &path);

} // namespace files
