// The table of files opened with the temporary bit, each removed when the
// descriptor that opened it is closed.
#include "platform/posix/temporary_files.h"

#include "platform/posix/library_descriptors.h"

#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace hb::platform::posix {

namespace {

struct TemporaryFile {
    int directory;
    std::string name;
    dev_t device;
    ino_t inode;
};

struct TemporaryTable {
    std::mutex lock;
    std::unordered_map<int, TemporaryFile> files;
};

TemporaryTable& table() {
    static auto* files = new TemporaryTable; // outlives every static destructor
    return *files;
}

} // namespace

void forgetTemporaryFile(int descriptor) {
    PendingRemoval stale = takeTemporaryFile(descriptor);
    finishTemporaryFile(stale, false);
}

bool rememberTemporaryFile(int descriptor, int directory, const std::string& name) try {
    struct stat info {};
    if (fstat(descriptor, &info) != 0) {
        ::close(directory);
        return false;
    }
    // The VP program must never reach the directory through its number.
    claimDescriptor(directory);
    TemporaryTable& files = table();
    std::lock_guard guard(files.lock);
    files.files.insert_or_assign(descriptor,
                                 TemporaryFile{directory, name, info.st_dev, info.st_ino});
    return true;
} catch (const std::bad_alloc&) {
    closeClaimedDescriptor(directory);
    return false;
}

PendingRemoval takeTemporaryFile(int descriptor) {
    PendingRemoval removal;
    struct stat held {};
    const bool known = fstat(descriptor, &held) == 0;
    TemporaryTable& files = table();
    std::lock_guard guard(files.lock);
    const auto found = files.files.find(descriptor);
    if (found == files.files.end())
        return removal;
    removal.directory = found->second.directory;
    // Another file under the number: nothing of it is removed.
    if (known && held.st_dev == found->second.device && held.st_ino == found->second.inode) {
        removal.name = std::move(found->second.name);
        removal.device = found->second.device;
        removal.inode = found->second.inode;
    }
    files.files.erase(found);
    return removal;
}

void finishTemporaryFile(PendingRemoval& removal, bool closed) {
    if (removal.directory < 0)
        return;
    const int error = errno;
    struct stat info {};
    if (closed && !removal.name.empty() &&
        fstatat(removal.directory, removal.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        info.st_dev == removal.device && info.st_ino == removal.inode)
        ::unlinkat(removal.directory, removal.name.c_str(), 0);
    closeClaimedDescriptor(removal.directory);
    removal.directory = -1;
    errno = error;
}

} // namespace hb::platform::posix
