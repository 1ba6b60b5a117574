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

// Writes `text` to a new file beside `path` (a native path, no symbolic link), flushes it to the
// disk, gives it the old file's owner, group, permission bits and extended attributes (its ACL
// among them), and renames it over the old file when `unchanged()` still holds just before.
// Refused when the old file has another name (a hard link), when anything of it cannot be given
// to the new file, or when the folder or the rename refuses (a mount point, another file system).
TReplaceOutcome ReplaceKeepingIdentity(const std::string& path, const std::string& text,
                                       const std::function<bool()>& unchanged);

// Flushes the file open on `handle` (QFileDevice::handle()) to the disk; false, with why.
bool SyncToDisk(int handle, std::string& why);
