#pragma once
// The one thing about files that Qt does not offer: giving a file an owner and a group. Where the
// platform has no owner IDs (Qt reports them as -2) there is nothing to give.

#include <string>

// Gives the file open on `handle` (QFileDevice::handle()) the owner and group of another file, as
// QFileInfo::ownerId() and groupId() report them. False, with the system's description of why,
// when the system does not allow it.
bool GiveOwner(int handle, unsigned owner, unsigned group, std::string& why);
