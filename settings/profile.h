#pragma once

// The profile (INI) format of Setup.ini. Tavorin is a Windows program and
// reads the file through the Windows profile functions, on Linux those of
// Wine, so a read here gives exactly the number that Tavorin gets, for any
// bytes; and a write changes as few bytes as possible, in a way that means
// the same to those functions, so that a file edited by hand keeps every
// byte the user wrote.
//
// Pure functions of a file's bytes; reading and writing the file itself is
// profilefile's.
//
// In short: a file that starts with a UTF-16 byte-order mark is UTF-16 in
// that byte order, otherwise bytes (a UTF-8 mark is skipped). CR, LF and
// CRLF end a line. White space is space, tab, VT, FF and ^Z. A line whose
// first character is '[' and that holds a ']' after it is a section header,
// named by the text up to its last ']'; lines before the first header form a
// nameless section, the first one named "". Any other line is an entry: a
// key, up to the first '=', and its value; a line without '=' is a key with
// no value. ';' starts no comment as far as the functions are concerned. A
// NUL ends the name or value it is in. Names match case-insensitively in
// ASCII letters only, and only the first section of a name, and the first
// entry of a name within it, counts.

#include "settings/edit.h"

#include <optional>
#include <string>
#include <string_view>

namespace profile {

// The value of key in section of a file's content as an integer, as
// GetPrivateProfileIntA gives it: the value, trimmed and rid of matching
// outer quotes, of which only the first 29 characters count, is converted
// after skipping control characters: an optional sign, an optional prefix
// 0x, 0o or 0b, then digits, wrapping modulo 2^32; no digits give 0.
// defaultValue when the section or key is absent, the key has no value or
// the value is empty.
int intValue(std::string_view content, std::string_view section, std::string_view key, int defaultValue);

// The smallest edit of a file's content that sets key in section to value,
// in the file's own encoding: an existing key's line becomes key=value in
// the key's spelling; a new key follows the section's last line with '=',
// or its header; a new section is appended at the end of the file; new
// lines take the file's first line ending, or CRLF. An edit that changes
// nothing has insert equal to the bytes it replaces. Instead of an edit,
// why not, when the file is UTF-16 and a name or the value is not UTF-8
// text, which such a file cannot hold.
// The caller must have checked the names and value with checkWrite().
content::Plan edit(std::string_view content, std::string_view section, std::string_view key, std::string_view value);

// Why section, key and value cannot be written so that they read back as
// written (a line break or NUL in any of them, a section name with ']', a
// key name that is empty, holds '=' or starts with ';' or '['), or nullopt
// when they can.
std::optional<std::string> checkWrite(std::string_view section, std::string_view key, std::string_view value);

} // namespace profile
