#include "platform/filereplace.h"

#include <QScopeGuard>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <system_error>
#include <unistd.h>

namespace {

// An open file, closed when it goes.
class TDescriptor {
public:
    explicit TDescriptor(int fd) : Fd(fd) {}
    ~TDescriptor() {
        if (Fd >= 0)
            ::close(Fd);
    }
    TDescriptor(const TDescriptor&) = delete;
    TDescriptor& operator=(const TDescriptor&) = delete;
    int Get() const { return Fd; }

private:
    int Fd;
};

using TAttributes = std::map<std::string, std::string>;

// Calls `get(buffer, size)` as the *xattr calls want, growing the buffer while it is too small.
template <class F> bool ReadGrowing(std::string& out, F get) {
    for (;;) {
        const ssize_t size = get(nullptr, 0);
        if (size < 0)
            return false;
        out.assign(static_cast<std::size_t>(size), '\0');
        const ssize_t got = get(out.data(), out.size());
        if (got >= 0) {
            out.resize(static_cast<std::size_t>(got));
            return true;
        }
        if (errno != ERANGE) // grown meanwhile: ask again
            return false;
    }
}

// Every extended attribute of the open file with its value; ACLs are among them.
bool ReadAttributes(int fd, TAttributes& attributes) {
    std::string names;
    if (!ReadGrowing(
            names, [fd](char* buffer, std::size_t size) { return ::flistxattr(fd, buffer, size); }))
        return errno == ENOTSUP; // a file system without them: there are none to keep
    for (std::size_t at = 0; at < names.size();) {
        const std::string name = names.c_str() + at;
        at += name.size() + 1;
        if (!ReadGrowing(attributes[name], [fd, &name](char* buffer, std::size_t size) {
                return ::fgetxattr(fd, name.c_str(), buffer, size);
            }))
            return false;
    }
    return true;
}

// The new file gets exactly the old one's attributes: it may have been given some of its own
// (the folder's default ACL).
bool GiveAttributes(int fd, const TAttributes& attributes) {
    TAttributes own;
    if (!ReadAttributes(fd, own))
        return false;
    for (const auto& [name, value] : own)
        if (attributes.count(name) == 0 && ::fremovexattr(fd, name.c_str()) != 0)
            return false;
    for (const auto& [name, value] : attributes)
        if (::fsetxattr(fd, name.c_str(), value.data(), value.size(), 0) != 0)
            return false;
    return true;
}

bool WriteAll(int fd, const std::string& text) {
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

TReplaceOutcome ReplaceKeepingIdentity(const std::string& path, const std::string& text,
                                       const std::function<bool()>& unchanged) {
    // Not waiting on a FIFO put in the file's place since it was read.
    const TDescriptor old(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat was {};
    TAttributes attributes;
    // A file its owner made read-only is not replaced behind its back either.
    if (old.Get() < 0 || ::fstat(old.Get(), &was) != 0 || !S_ISREG(was.st_mode) ||
        was.st_nlink != 1 || ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0 ||
        !ReadAttributes(old.Get(), attributes))
        return TReplaceOutcome::Refused;

    std::string name = path + ".XXXXXX";
    const TDescriptor fd(::mkostemp(name.data(), O_CLOEXEC));
    if (fd.Get() < 0)
        return TReplaceOutcome::Refused;
    // Removed unless it takes the old file's place.
    auto created = qScopeGuard([&name] { ::unlink(name.c_str()); });
    // The owner first: giving it clears the set-user-ID and set-group-ID bits.
    struct stat now {};
    if (!WriteAll(fd.Get(), text) || ::fchown(fd.Get(), was.st_uid, was.st_gid) != 0 ||
        !GiveAttributes(fd.Get(), attributes) || ::fchmod(fd.Get(), was.st_mode & 07777) != 0 ||
        ::fstat(fd.Get(), &now) != 0 || now.st_mode != was.st_mode || ::fsync(fd.Get()) != 0)
        return TReplaceOutcome::Refused;
    if (!unchanged())
        return TReplaceOutcome::Changed;
    if (::rename(name.c_str(), path.c_str()) != 0)
        return TReplaceOutcome::Refused;
    created.dismiss();
    // The new name lasts a crash of the system only once the folder is on the disk too.
    const std::size_t slash = path.rfind('/');
    const std::string folderPath =
        slash == std::string::npos ? "." : path.substr(0, std::max<std::size_t>(slash, 1));
    const TDescriptor folder(::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.Get() >= 0)
        ::fsync(folder.Get());
    return TReplaceOutcome::Replaced;
}

bool SyncToDisk(int handle, std::string& why) {
    if (::fsync(handle) == 0)
        return true;
    why = std::generic_category().message(errno);
    return false;
}
