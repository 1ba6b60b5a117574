#pragma once
// Replacing a file by a new one only where the new one is the old file in everything but its
// text. The platform's file is picked by the build; where it cannot, replacing is refused.

#include <functional>
#include <string>

enum class TReplaceOutcome {
    Replaced, // the new text is under the old name
    Changed,  // the check just before the rename failed; nothing was touched
    Refused,  // the replacement would lose something, or was refused; nothing was touched
};

// Writes `text` to a new file beside `path` (native, no symbolic link) with the old file's owner,
// group, mode and extended attributes (ACL), flushed, and renames it over the old one when
// `unchanged()` holds just before. Refused for a hard link, anything that cannot be given, or a
// folder or rename that refuses (a mount point, another file system).
TReplaceOutcome ReplaceKeepingIdentity(const std::string& path, const std::string& text,
                                       const std::function<bool()>& unchanged);

// Flushes the file open on `handle` (QFileDevice::handle()) to the disk; false, with why.
bool SyncToDisk(int handle, std::string& why);
