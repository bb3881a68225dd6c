// Confined file access on POSIX: paths resolved beneath a root directory,
// by the kernel where it can, otherwise one component at a time.
#include "platform/posix/host_root.h"

#include "platform/posix/error_mapping.h"
#include "platform/posix/library_descriptors.h"

#include <atomic>
#include <cerrno>
#include <deque>
#include <linux/openat2.h>
#include <memory>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace hb::platform {

HostRoot::HostRoot(int directory) : directory_(directory) {}

HostRoot::~HostRoot() {
    posix::closeClaimedDescriptor(directory_);
}

HostRootRef openHostRoot(const char* path) {
    if (path == nullptr || *path == '\0') {
        setLastError(3);
        return nullptr;
    }
    const int directory = ::open(path, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0) {
        const int error = errno;
        // Not a directory: 267 (ERROR_DIRECTORY); missing: 3 (path not found).
        setLastError(error == ENOTDIR  ? 267
                     : error == ENOENT ? 3
                                       : posix::win32ErrorFromErrno(error));
        return nullptr;
    }
    // The root's own descriptor is the library's: no VP request may name it.
    posix::claimDescriptor(directory);
    try {
        return std::make_shared<const HostRoot>(directory);
    } catch (const std::bad_alloc&) {
        posix::closeClaimedDescriptor(directory);
        setLastError(8);
        return nullptr;
    }
}

} // namespace hb::platform

namespace hb::platform::posix {

namespace {

constexpr int kMaxLinks = 40; // as the kernel's own limit

// Closes the descriptors of the directories walked through.
struct DirectoryStack {
    std::vector<int> descriptors;
    ~DirectoryStack() {
        for (int fd : descriptors)
            ::close(fd);
    }
    int top() const { return descriptors.back(); }
};

int fail(int error) {
    errno = error;
    return -1;
}

// Adds the components of `path` in front of `pending`; false for an absolute
// path, which always leads out of the root.
bool prependComponents(std::string_view path, std::deque<std::string>& pending) {
    if (!path.empty() && path.front() == '/')
        return false;
    std::vector<std::string> parts;
    size_t at = 0;
    while (at <= path.size()) {
        const size_t slash = path.find('/', at);
        const size_t end = slash == std::string_view::npos ? path.size() : slash;
        if (end > at)
            parts.emplace_back(path.substr(at, end - at));
        if (slash == std::string_view::npos)
            break;
        at = slash + 1;
    }
    pending.insert(pending.begin(), parts.begin(), parts.end());
    return true;
}

bool readLink(int directory, const std::string& name, std::string* target) {
    char buffer[4096];
    const ssize_t length = ::readlinkat(directory, name.c_str(), buffer, sizeof buffer);
    if (length < 0)
        return false;
    if (static_cast<size_t>(length) >= sizeof buffer) {
        errno = ENAMETOOLONG;
        return false;
    }
    target->assign(buffer, static_cast<size_t>(length));
    return true;
}

std::atomic<bool> kernelResolvesBeneath{true};

} // namespace

int openBeneathByComponents(int rootDirectory, std::string_view path, int flags, mode_t mode,
                            bool followFinalLink) {
    if (path.empty())
        return fail(ENOENT);
    std::deque<std::string> pending;
    if (!prependComponents(path, pending))
        return fail(EACCES);
    // A trailing separator names a directory.
    if (path.back() == '/')
        flags |= O_DIRECTORY;
    DirectoryStack walked;
    const int start = ::fcntl(rootDirectory, F_DUPFD_CLOEXEC, 0);
    if (start < 0)
        return -1;
    walked.descriptors.push_back(start);
    int links = 0;
    if (pending.empty())
        pending.emplace_back("."); // the root itself

    while (!pending.empty()) {
        const std::string component = std::move(pending.front());
        pending.pop_front();
        const bool last = pending.empty();
        if (component == "..") {
            if (walked.descriptors.size() == 1)
                return fail(EACCES); // above the root
            ::close(walked.top());
            walked.descriptors.pop_back();
            if (last)
                pending.emplace_back(".");
            continue;
        }
        if (component == "." && !last)
            continue;

        struct stat info {};
        const bool exists =
            ::fstatat(walked.top(), component.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
        if (exists && S_ISLNK(info.st_mode) && (!last || followFinalLink)) {
            if (++links > kMaxLinks)
                return fail(ELOOP);
            std::string target;
            if (!readLink(walked.top(), component, &target))
                return -1;
            if (target.empty())
                return fail(ENOENT);
            if (!prependComponents(target, pending))
                return fail(EACCES); // an absolute link leads out
            if (!target.empty() && target.back() == '/' && last)
                flags |= O_DIRECTORY;
            if (pending.empty())
                pending.emplace_back(".");
            continue;
        }
        if (last) {
            // O_NOFOLLOW: a name swapped for a link since the look above
            // fails instead of being followed.
            const int opened =
                ::openat(walked.top(), component.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
            if (opened < 0 && errno == ELOOP && (flags & O_PATH) == 0)
                return fail(ELOOP);
            return opened;
        }
        if (!exists)
            return -1; // errno from fstatat
        if (!S_ISDIR(info.st_mode))
            return fail(ENOTDIR);
        const int next = ::openat(walked.top(), component.c_str(),
                                  O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0)
            return -1;
        walked.descriptors.push_back(next);
    }
    return fail(ENOENT); // not reached: the last component always returns
}

int openBeneath(const HostRoot& root, std::string_view path, int flags, mode_t mode) {
    if (kernelResolvesBeneath.load()) {
        open_how how{};
        how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
        how.mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? mode : 0;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
        const std::string text(path);
        long result;
        do {
            result = ::syscall(SYS_openat2, root.descriptor(), text.c_str(), &how, sizeof how);
        } while (result < 0 && errno == EAGAIN);
        if (result >= 0)
            return static_cast<int>(result);
        if (errno == EXDEV)
            return fail(EACCES); // the path leads out of the root
        if (errno != ENOSYS)
            return -1;
        kernelResolvesBeneath.store(false);
    }
    return openBeneathByComponents(root.descriptor(), path, flags, mode);
}

ParentDirectory::~ParentDirectory() {
    if (directory_ >= 0)
        ::close(directory_);
}

bool ParentDirectory::open(const HostRoot& root, std::string_view path, int directoryFlags) {
    std::string_view trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/')
        trimmed.remove_suffix(1);
    const size_t slash = trimmed.rfind('/');
    const std::string_view name =
        slash == std::string_view::npos ? trimmed : trimmed.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") {
        errno = EACCES;
        return false;
    }
    directoryPart_.assign(slash == std::string_view::npos ? std::string_view{}
                                                          : trimmed.substr(0, slash + 1));
    name_.assign(name);
    directory_ = openBeneath(root, directoryPart_.empty() ? std::string_view(".") : directoryPart_,
                             directoryFlags | O_DIRECTORY);
    return directory_ >= 0;
}

uint32_t win32ErrorBeneath(const HostRoot& root, int errnoValue, std::string_view path) {
    if (errnoValue == ENOENT) {
        ParentDirectory parent;
        if (!parent.open(root, path) && errno == ENOENT)
            return 3;
    }
    return win32ErrorFromErrno(errnoValue);
}

} // namespace hb::platform::posix
