// Host files on POSIX: the runtime-style descriptor calls, delete, rename,
// the attribute query and the environment block, answered in the library's
// terms (Microsoft runtime open bits in, Win32 codes out).
#include "platform/platform.h"
#include "platform/posix/error_mapping.h"
#include "platform/posix/host_file_attributes.h"
#include "platform/posix/host_path_errors.h"
#include "platform/posix/host_root.h"
#include "platform/posix/library_descriptors.h"
#include "platform/posix/temporary_files.h"
#include "platform/posix/vp_paths.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

extern char** environ;

namespace hb::platform {

namespace {

// The Microsoft runtime's _open bits.
constexpr uint32_t kAccessMask = 0x0003;
constexpr uint32_t kWriteOnly = 0x0001;
constexpr uint32_t kReadWrite = 0x0002;
constexpr uint32_t kAppend = 0x0008;
constexpr uint32_t kTemporary = 0x0040;
constexpr uint32_t kCreate = 0x0100;
constexpr uint32_t kTruncate = 0x0200;
constexpr uint32_t kExclusive = 0x0400;

constexpr uint32_t kAccessDenied = 5;
constexpr uint32_t kInvalidParameter = 87;
constexpr uint32_t kAlreadyExists = 183; // what a move onto an existing name reports

int32_t failWith(int error, uint32_t code) {
    setLastError(code);
    errno = error;
    return -1;
}

// A created file is writable by everyone the umask allows, never read-only.
constexpr mode_t kCreateMode = 0666;

constexpr uint32_t kBadDescriptor = 9; // EBADF, as the runtime-call pattern reports it

// The library's own descriptors are not the VP program's to use.
bool refusedDescriptor(int32_t descriptor) {
    return posix::isLibraryDescriptor(descriptor);
}

// The Win32 code for a failed resolution beneath `root` of `path`, left as
// last error; errno stays as it was.
uint32_t failBeneath(const HostRoot& root, std::string_view path) {
    const int error = errno;
    const uint32_t code = posix::win32ErrorBeneath(root, error, path);
    setLastError(code);
    errno = error;
    return code;
}

// The directory that holds `path`, as an O_PATH descriptor, and the file's
// name in it; -1 with errno set when it cannot be opened.
int holdingDirectory(const HostRootRef& root, const std::string& path, std::string* name) {
    if (root) {
        posix::ParentDirectory parent;
        if (!parent.open(*root, path))
            return -1;
        *name = parent.name();
        return ::fcntl(parent.descriptor(), F_DUPFD_CLOEXEC, 0);
    }
    const size_t slash = path.rfind('/');
    *name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string directory = slash == std::string::npos ? std::string(".")
                                  : slash == 0               ? std::string("/")
                                                             : path.substr(0, slash);
    return ::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

// A file opened with the temporary bit goes when this descriptor is closed.
bool removeWhenClosed(const HostRootRef& root, const std::string& path, int descriptor) {
    std::string name;
    const int directory = holdingDirectory(root, path, &name);
    return directory >= 0 && posix::rememberTemporaryFile(descriptor, directory, name);
}

} // namespace

int32_t openFile(const HostRootRef& root, const char* vpPath, uint32_t runtimeFlags) {
    std::string spelled;
    if (!posix::hostSpelling(vpPath, root != nullptr, &spelled))
        return -1;
    const char* path = spelled.c_str();
    int flags = 0;
    switch (runtimeFlags & kAccessMask) {
    case 0:
        flags = O_RDONLY;
        break;
    case kWriteOnly:
        flags = O_WRONLY;
        break;
    case kReadWrite:
        flags = O_RDWR;
        break;
    default:
        return failWith(EINVAL, kInvalidParameter);
    }
    if (runtimeFlags & kAppend)
        flags |= O_APPEND;
    if (runtimeFlags & kCreate) {
        flags |= O_CREAT;
        if (runtimeFlags & kExclusive)
            flags |= O_EXCL;
    }
    if (runtimeFlags & kTruncate) {
        // Truncating an existing file needs write access: a read-only open
        // that asks for it is refused, and the file stays as it is.
        if ((runtimeFlags & (kAccessMask | kCreate)) == 0)
            return failWith(EINVAL, kInvalidParameter);
        flags |= O_TRUNC;
    }
    // Untranslated mode needs nothing here. O_NONBLOCK keeps a FIFO without a
    // peer from blocking the service thread in open(); it is cleared again.
    flags |= O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

    int descriptor;
    do {
        descriptor = root ? posix::openBeneath(*root, path, flags, kCreateMode)
                          : ::open(path, flags, kCreateMode);
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0) {
        if (root)
            failBeneath(*root, path);
        else
            posix::setLastErrorFromErrnoFor(path);
        return -1;
    }
    struct stat info {};
    if (fstat(descriptor, &info) != 0 || S_ISDIR(info.st_mode)) {
        ::close(descriptor);
        return failWith(EACCES, kAccessDenied);
    }
    const int status = fcntl(descriptor, F_GETFL);
    if (status != -1)
        fcntl(descriptor, F_SETFL, status & ~O_NONBLOCK);
    posix::forgetTemporaryFile(descriptor); // the number's earlier file was closed elsewhere
    if ((runtimeFlags & kTemporary) != 0 && !removeWhenClosed(root, spelled, descriptor)) {
        const int error = errno;
        ::close(descriptor);
        return failWith(error, posix::win32ErrorFromErrno(error));
    }
    return descriptor;
}

int32_t readFile(int32_t descriptor, void* buffer, uint32_t count) {
    if (refusedDescriptor(descriptor))
        return failWith(EBADF, kBadDescriptor);
    const size_t wanted = count > INT32_MAX ? size_t{INT32_MAX} : size_t{count};
    ssize_t got;
    do {
        got = ::read(descriptor, buffer, wanted);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        posix::setLastErrorFromErrnoFor();
        return -1;
    }
    return static_cast<int32_t>(got);
}

namespace {

// While it lives, a write of this thread to a pipe whose reader is gone
// fails with EPIPE and raises no signal that could end the host process,
// whatever the process's disposition for SIGPIPE; the signal such a write
// raised is taken back before the thread's mask is restored.
class BrokenPipeSignalHeld {
  public:
    BrokenPipeSignalHeld() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_, &previous_);
        sigset_t pending;
        sigemptyset(&pending);
        sigpending(&pending);
        pendingBefore_ = sigismember(&pending, SIGPIPE) == 1;
    }
    ~BrokenPipeSignalHeld() {
        const int error = errno;
        if (raised_ && !pendingBefore_) {
            const timespec noWait{};
            while (sigtimedwait(&pipe_, nullptr, &noWait) < 0 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
        errno = error;
    }
    BrokenPipeSignalHeld(const BrokenPipeSignalHeld&) = delete;
    BrokenPipeSignalHeld& operator=(const BrokenPipeSignalHeld&) = delete;
    void raised() { raised_ = true; }

  private:
    sigset_t pipe_{}, previous_{};
    bool pendingBefore_ = false;
    bool raised_ = false;
};

} // namespace

int32_t writeFile(int32_t descriptor, const void* data, uint32_t count) {
    if (refusedDescriptor(descriptor))
        return failWith(EBADF, kBadDescriptor);
    BrokenPipeSignalHeld held;
    const size_t wanted = count > INT32_MAX ? size_t{INT32_MAX} : size_t{count};
    const auto* bytes = static_cast<const unsigned char*>(data);
    size_t done = 0;
    // A file write either completes or fails, as on the runtime the VP knows.
    while (done < wanted) {
        const ssize_t put = ::write(descriptor, bytes + done, wanted - done);
        if (put < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EPIPE)
                held.raised();
            posix::setLastErrorFromErrnoFor();
            return done > 0 ? static_cast<int32_t>(done) : -1;
        }
        if (put == 0)
            break;
        done += static_cast<size_t>(put);
    }
    return static_cast<int32_t>(done);
}

int32_t closeFile(int32_t descriptor) {
    if (refusedDescriptor(descriptor))
        return failWith(EBADF, kBadDescriptor);
    posix::PendingRemoval removal = posix::takeTemporaryFile(descriptor);
    // EINTR still releases the descriptor on POSIX: no retry, no failure.
    const bool closed = ::close(descriptor) == 0 || errno == EINTR;
    const int error = errno;
    posix::finishTemporaryFile(removal, closed);
    if (!closed) {
        errno = error;
        posix::setLastErrorFromErrnoFor();
        return -1;
    }
    return 0;
}

int32_t seekFile(int32_t descriptor, int32_t offset, int32_t origin) {
    if (refusedDescriptor(descriptor))
        return failWith(EBADF, kBadDescriptor);
    int whence;
    switch (origin) {
    case 0:
        whence = SEEK_SET;
        break;
    case 1:
        whence = SEEK_CUR;
        break;
    case 2:
        whence = SEEK_END;
        break;
    default:
        return failWith(EINVAL, kInvalidParameter);
    }
    const off_t before = ::lseek(descriptor, 0, SEEK_CUR);
    if (before < 0) {
        posix::setLastErrorFromErrnoFor();
        return -1;
    }
    const off_t after = ::lseek(descriptor, offset, whence);
    if (after < 0) {
        posix::setLastErrorFromErrnoFor();
        return -1;
    }
    if (after > INT32_MAX) {
        // The answer travels as a signed 32-bit word: stay where we were.
        ::lseek(descriptor, before, SEEK_SET);
        return failWith(EINVAL, kInvalidParameter);
    }
    return static_cast<int32_t>(after);
}

namespace {

// Deletes `name` in `directory`; `errorPath` tells a missing directory from a
// missing file (nullptr: the directory is known to exist).
uint32_t deleteAt(int directory, const char* name, const char* errorPath) {
    struct stat info {};
    if (fstatat(directory, name, &info, AT_SYMLINK_NOFOLLOW) != 0)
        return posix::setLastErrorFromErrnoFor(errorPath);
    // Only files go, and a read-only file stays, as the VP's platform has it.
    if (S_ISDIR(info.st_mode) ||
        (!S_ISLNK(info.st_mode) &&
         (posix::attributesFromStat(info, posix::lastPathComponent(name)) & 0x1) != 0)) {
        setLastError(kAccessDenied);
        return kAccessDenied;
    }
    if (::unlinkat(directory, name, 0) != 0)
        return posix::setLastErrorFromErrnoFor(errorPath);
    return 0;
}

} // namespace

uint32_t deleteFile(const HostRootRef& root, const char* vpPath) {
    std::string spelled;
    if (!posix::hostSpelling(vpPath, root != nullptr, &spelled))
        return lastError();
    const char* path = spelled.c_str();
    if (!root)
        return deleteAt(AT_FDCWD, path, path);
    posix::ParentDirectory parent;
    if (!parent.open(*root, path))
        return failBeneath(*root, path);
    return deleteAt(parent.descriptor(), parent.name().c_str(), nullptr);
}

namespace {

// One side of a rename: a name in a directory, and the path that tells a
// missing directory from a missing file (nullptr: the directory exists).
struct NameAt {
    int directory;
    const char* name;
    const char* errorPath;
};

bool nameExists(const NameAt& at) {
    struct stat info {};
    return fstatat(at.directory, at.name, &info, AT_SYMLINK_NOFOLLOW) == 0;
}

uint32_t renameFailure(const NameAt& from, const NameAt& to) {
    const int error = errno;
    if (error == EEXIST || error == ENOTEMPTY) {
        setLastError(kAlreadyExists);
        return kAlreadyExists;
    }
    const bool oldExists = nameExists(from);
    errno = error;
    return posix::setLastErrorFromErrnoFor(oldExists ? to.errorPath : from.errorPath);
}

// For file systems without RENAME_NOREPLACE: a hard link refuses an existing
// target atomically; where links are unsupported (or for directories) the
// target is tested first, which leaves only a narrow race with other writers.
int renameWithoutReplacing(const NameAt& from, const NameAt& to) {
    struct stat info {};
    if (fstatat(from.directory, from.name, &info, AT_SYMLINK_NOFOLLOW) != 0)
        return -1;
    if (!S_ISDIR(info.st_mode)) {
        if (::linkat(from.directory, from.name, to.directory, to.name, 0) == 0) {
            if (::unlinkat(from.directory, from.name, 0) == 0)
                return 0;
            const int error = errno;
            ::unlinkat(to.directory, to.name, 0);
            errno = error;
            return -1;
        }
        if (errno == EEXIST || errno == ENOENT || errno == ENOTDIR || errno == EACCES ||
            errno == ENAMETOOLONG || errno == ELOOP || errno == EROFS)
            return -1;
    }
    if (nameExists(to)) {
        errno = EEXIST;
        return -1;
    }
    return ::renameat(from.directory, from.name, to.directory, to.name);
}

bool copyContent(int source, int target) {
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t got = ::read(source, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got == 0;
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = ::write(target, buffer + done, static_cast<size_t>(got - done));
            if (put < 0 && errno == EINTR)
                continue;
            if (put <= 0) {
                if (put == 0)
                    errno = EIO;
                return false;
            }
            done += put;
        }
    }
}

// A file moved to another file system: a copy of its content and
// modification time under the new name (never over an existing one), then
// the source goes. If any step fails the copy goes again and the source
// stays: nothing is lost. Directories and other kinds of entries do not move
// across file systems (EXDEV).
int moveFileAcross(const NameAt& from, const NameAt& to) {
    struct stat info {};
    if (fstatat(from.directory, from.name, &info, AT_SYMLINK_NOFOLLOW) != 0)
        return -1;
    if (!S_ISREG(info.st_mode)) {
        errno = EXDEV;
        return -1;
    }
    const int source = ::openat(from.directory, from.name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (source < 0)
        return -1;
    const int target =
        ::openat(to.directory, to.name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                 info.st_mode & 07777);
    if (target < 0) {
        const int error = errno;
        ::close(source);
        errno = error;
        return -1;
    }
    const timespec times[2] = {info.st_atim, info.st_mtim};
    bool moved = copyContent(source, target) && ::futimens(target, times) == 0;
    int error = errno;
    ::close(source);
    if (::close(target) != 0 && moved) {
        moved = false;
        error = errno;
    }
    if (moved && ::unlinkat(from.directory, from.name, 0) == 0)
        return 0;
    if (moved)
        error = errno;
    ::unlinkat(to.directory, to.name, 0);
    errno = error;
    return -1;
}

uint32_t renameAt(const NameAt& from, const NameAt& to) {
    int result = ::renameat2(from.directory, from.name, to.directory, to.name, RENAME_NOREPLACE);
    if (result != 0 && (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP))
        result = renameWithoutReplacing(from, to);
    if (result != 0 && errno == EXDEV)
        result = moveFileAcross(from, to);
    if (result != 0)
        return renameFailure(from, to);
    return 0;
}

} // namespace

uint32_t renameFile(const HostRootRef& root, const char* vpOldPath, const char* vpNewPath) {
    std::string spelledOld, spelledNew;
    if (!posix::hostSpelling(vpOldPath, root != nullptr, &spelledOld) ||
        !posix::hostSpelling(vpNewPath, root != nullptr, &spelledNew))
        return lastError();
    const char* oldPath = spelledOld.c_str();
    const char* newPath = spelledNew.c_str();
    if (!root)
        return renameAt({AT_FDCWD, oldPath, oldPath}, {AT_FDCWD, newPath, newPath});
    posix::ParentDirectory from, to;
    if (!from.open(*root, oldPath))
        return failBeneath(*root, oldPath);
    if (!to.open(*root, newPath))
        return failBeneath(*root, newPath);
    return renameAt({from.descriptor(), from.name().c_str(), nullptr},
                    {to.descriptor(), to.name().c_str(), nullptr});
}

namespace {

uint32_t attributesBeneath(const HostRoot& root, const char* path) {
    struct stat info {};
    const int target = posix::openBeneath(root, path, O_PATH);
    if (target >= 0) {
        const bool known = fstat(target, &info) == 0;
        ::close(target);
        if (known)
            return posix::attributesFromStat(info, posix::lastPathComponent(path));
    } else if (errno == ENOENT) {
        // A link whose target is missing still has attributes of its own.
        const int error = errno;
        posix::ParentDirectory parent;
        if (parent.open(root, path) &&
            fstatat(parent.descriptor(), parent.name().c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0)
            return posix::attributesFromStat(info, parent.name());
        errno = error;
    }
    failBeneath(root, path);
    return 0xFFFFFFFFu;
}

} // namespace

uint32_t fileAttributes(const HostRootRef& root, const char* vpPath) {
    std::string spelled;
    if (!posix::hostSpelling(vpPath, root != nullptr, &spelled))
        return 0xFFFFFFFFu;
    const char* path = spelled.c_str();
    if (root)
        return attributesBeneath(*root, path);
    struct stat info {};
    if (stat(path, &info) != 0 && lstat(path, &info) != 0) {
        posix::setLastErrorFromErrnoFor(path);
        return 0xFFFFFFFFu;
    }
    return posix::attributesFromStat(info, posix::lastPathComponent(path));
}

char* environmentStrings() {
    // name=value strings, then the empty string that ends the block. Empty
    // entries are left out: they would end the block early.
    size_t length = 1;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry)
        if (**entry != '\0')
            length += std::strlen(*entry) + 1;
    if (length < 2)
        length = 2; // an empty environment is two NULs
    auto* block = static_cast<char*>(std::malloc(length));
    if (block == nullptr) {
        setLastError(8);
        return nullptr;
    }
    size_t at = 0;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        if (**entry == '\0')
            continue;
        const size_t size = std::strlen(*entry) + 1;
        std::memcpy(block + at, *entry, size);
        at += size;
    }
    std::memset(block + at, 0, length - at);
    return block;
}

void freeEnvironmentStrings(char* block) {
    std::free(block);
}

} // namespace hb::platform
