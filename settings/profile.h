#pragma once

// The profile (INI) file format of Setup.ini, read and written the way
// Tavorin reads and writes it, so that both programs always see the same
// values and a file edited by hand keeps every byte the user wrote.
//
// Names match case-insensitively (ASCII letters only), blanks around names
// and '=' are ignored, ';' starts a comment line, CRLF, LF and lone CR all
// end a line, a UTF-8 byte-order mark is skipped, and only the first section
// of a name, and the first key of a name within it, counts.

#include <optional>
#include <string>
#include <string_view>

namespace profile {

// Converts a stored value text to an integer: blanks and matching outer
// double quotes are removed, then an optional sign and decimal digits are
// read up to the first non-digit. Digits beyond 32 bits wrap modulo 2^32.
// An empty text gives defaultValue; a text without digits gives 0.
int toInt(std::string_view text, int defaultValue);

// The value text of key in section within the file content `content`, as
// stored (blanks around it removed), or nullopt when the section or key is
// absent.
std::optional<std::string_view> findValue(std::string_view content,
                                          std::string_view section,
                                          std::string_view key);

// The file content `content` with key in section set to value: the
// smallest edit, leaving every other byte as it was. An existing key keeps
// its spelling and line ending; a new key goes after the section's last
// key line; a new section is appended at the end; new names are written
// without blanks around them. New lines use the
// content's first line ending, or CRLF when it has none.
// The caller must have checked the names and value with checkWrite().
std::string withValue(std::string_view content, std::string_view section,
                      std::string_view key, std::string_view value);

// Why section, key and value cannot be written so that they read back as
// written (a line break in any of them, a section name with ']', a key name
// that is empty, holds '=' or would read as a comment or section), or
// nullopt when they can.
std::optional<std::string> checkWrite(std::string_view section,
                                      std::string_view key,
                                      std::string_view value);

// Reads key in section from the file at path as an integer; defaultValue
// when the file, section or key is absent, the value is empty, or the path
// is not a readable regular file. Never creates, locks or changes the file.
int readInt(const std::string& path, std::string_view section,
            std::string_view key, int defaultValue);

// Stores value under key in section of the file at path, creating the file
// or the section when absent. The new content replaces the file atomically
// (written beside it, flushed, renamed over it), keeping its permission
// bits and owner; a symbolic link stays a link and its target is replaced.
// Concurrent writers are serialised by an exclusive lock on the directory;
// the copies that writers killed mid-write left beside the file are removed.
// A read-only file is not replaced and a missing directory is not created.
// Returns nullopt on success, otherwise a message that names the path and
// the reason; on failure the file is unchanged.
std::optional<std::string> writeString(const std::string& path,
                                       std::string_view section,
                                       std::string_view key,
                                       std::string_view value);

} // namespace profile
