// Confined file access on POSIX: every path the VP program names is resolved
// beneath a root directory, and no "..", absolute path or symbolic link leads
// out of it. The kernel does the resolution where it can (openat2 with
// RESOLVE_BENEATH); elsewhere each component is opened in turn with
// O_NOFOLLOW and symbolic links are expanded by hand under the same rules.
// Either way every step holds a descriptor, so a name swapped for a link
// while a request runs cannot redirect it outside.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace hb::platform {

class HostRoot {
  public:
    explicit HostRoot(int directory);
    ~HostRoot();
    HostRoot(const HostRoot&) = delete;
    HostRoot& operator=(const HostRoot&) = delete;
    int descriptor() const { return directory_; }

  private:
    int directory_; // O_PATH descriptor of the root directory
};

} // namespace hb::platform

namespace hb::platform::posix {

// Opens `path` beneath `root` as openat(2) would with `flags` and `mode`
// (O_PATH allowed). -1 with errno set on failure; an attempt to leave the
// root fails with EACCES.
int openBeneath(const HostRoot& root, std::string_view path, int flags, mode_t mode = 0);

// The same resolution without openat2, component by component; used where
// the kernel lacks openat2, and by the tests.
int openBeneathByComponents(int rootDirectory, std::string_view path, int flags, mode_t mode,
                            bool followFinalLink = true);

// A path split into its directory, opened beneath the root, and its last
// component. The name is never empty, "." or "..": such paths name a
// directory by its dots and are refused by open() with EACCES.
class ParentDirectory {
  public:
    ParentDirectory() = default;
    ~ParentDirectory();
    ParentDirectory(const ParentDirectory&) = delete;
    ParentDirectory& operator=(const ParentDirectory&) = delete;

    // `directoryFlags` besides O_DIRECTORY, e.g. O_PATH or O_RDONLY.
    bool open(const HostRoot& root, std::string_view path, int directoryFlags = O_PATH);
    int descriptor() const { return directory_; }
    const std::string& name() const { return name_; }
    // The directory part as given ("" for the root itself), with its slash.
    const std::string& directoryPart() const { return directoryPart_; }

  private:
    int directory_ = -1;
    std::string name_;
    std::string directoryPart_;
};

// The Win32 code for a failed resolution beneath the root: as for any path,
// except that a missing directory on the way (looked up beneath the root,
// never outside it) gives 3.
uint32_t win32ErrorBeneath(const HostRoot& root, int errnoValue, std::string_view path);

} // namespace hb::platform::posix
