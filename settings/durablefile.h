#pragma once

// Reading a settings file without side effects, and changing it durably:
// a save never leaves a half-written file, even when the program is killed
// or the disk fills up mid-write; two writers never lose each other's
// change; and a save changes nothing about the file but its content: not
// its owner, group, mode, ACL, extended attributes or hard links.
// Knows nothing of the file's format.
//
// A path is walked once, a name at a time; every later step goes through
// the descriptors of that walk. A symbolic link on the way is followed
// only where it is this user's own or root's (for root, root's alone), and
// no more than 40 of them. What is not a regular file is never opened, and
// no open or wait outlasts the deadline, whatever other programs hold.

#include "settings/edit.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace durablefile {

// The largest file read or written: a settings file is small, and a larger
// one is refused rather than loaded into memory.
constexpr size_t MaxSize = size_t(16) << 20;

using content::Edit;
using content::Encoding;
using content::Plan;

// Calls `use` with the whole content of the regular file at path, as the
// next update() would leave it where a save in place was cut short. When
// the file is missing, is no regular file or cannot be read, `use` is not
// called, as if it were empty. Returns why the file is refused instead
// (its content is larger than MaxSize, the way to it leads through another
// user's link, or a lease on it was not let go), or nullopt. Never creates, locks or
// changes the file; a FIFO or a device in its place is not opened.
std::optional<std::string> read(const std::string &path, const std::function<void(std::string_view)> &use);

// Changes the file at path by the edit that `plan` makes of its content
// (empty when the file does not exist yet, which creates it). An edit that
// changes no byte, or a refusal, leaves the file alone.
//
// Writers take a lock on the file that only those who may write it can
// take, waiting at most two seconds for another writer or any other
// program that holds a lock on the file; where only readers' locks remain
// by then, a save by rename goes ahead without it, one at a time, and
// never loses another's change. A new file is written unnamed and named
// only if the name is still free. An existing one is
// replaced by a new file renamed over it when the new file can have all
// that the old one has (a single link, an owner and group this user may
// give it, the same attributes); otherwise it is changed in place behind a
// record of the change, written into the file itself past its content,
// which the next writer uses to complete a save that was cut short, or to
// remove what a power cut left of it (see saverecord). To readers each of
// its pages is a section of its own, after all of the file's, in the
// file's encoding (the edit's). In UTF-16, an odd last byte, which no
// reader sees, goes before such a change. Nothing beside the file is ever read,
// and no folder listed. Either way, if the file changed since it was read
// (an editor saved it without the lock), it is read again and the edit
// made anew. A file that root creates in another user's folder belongs to
// that user. A read-only file is not changed, and a missing folder is not
// created. A file whose content has more than MaxSize bytes is refused, a
// record past it aside; one larger than that is read no further than its
// last pages unless they are a record's, and one larger than any save
// could have to read is refused by its size alone.
//
// Returns nullopt on success, once the change is on the disk; otherwise the
// reason (without the path), and on failure the file is unchanged, or
// holds the whole change behind its record, which the next save completes.
std::optional<std::string> update(const std::string &path, const std::function<Plan(std::string_view content)> &plan);

// Completes, or removes, what a save in place that was cut short left in
// the file at path, as the next update() would, where this user may write
// it; a file without such leftovers is not opened for writing. Returns why
// it could not, or nullopt.
std::optional<std::string> finishSave(const std::string &path);

// From beginSharedWait() to endSharedWait(), the updates on this thread
// wait for other writers at most two seconds together, counted from
// beginSharedWait(), so that a series of saves (Apply's five) never waits
// longer than one. beginSharedWait() returns false, and changes nothing,
// when a shared wait is already under way.
bool beginSharedWait();
void endSharedWait();

} // namespace durablefile
