#include "platform/fileowner.h"

#include <cerrno>
#include <system_error>
#include <unistd.h>

bool GiveOwner(int handle, unsigned owner, unsigned group, std::string& why) {
    if (::fchown(handle, static_cast<uid_t>(owner), static_cast<gid_t>(group)) == 0)
        return true;
    why = std::generic_category().message(errno);
    return false;
}
