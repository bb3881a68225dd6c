// Win32 attribute bits from a POSIX file's status and name.
#include "platform/posix/host_file_attributes.h"

#include <unistd.h>

namespace hb::platform::posix {

namespace {

constexpr uint32_t kReadOnly = 0x01;
constexpr uint32_t kHidden = 0x02;
constexpr uint32_t kDirectory = 0x10;
constexpr uint32_t kArchive = 0x20;
constexpr uint32_t kNormal = 0x80;

bool writableByThisProcess(const struct stat& info) {
    if (info.st_uid == geteuid())
        return (info.st_mode & S_IWUSR) != 0;
    if (info.st_gid == getegid())
        return (info.st_mode & S_IWGRP) != 0;
    return (info.st_mode & S_IWOTH) != 0;
}

} // namespace

uint32_t attributesFromStat(const struct stat& info, std::string_view name) {
    uint32_t attributes = 0;
    if (S_ISDIR(info.st_mode))
        attributes |= kDirectory;
    if (!writableByThisProcess(info))
        attributes |= kReadOnly;
    if (!name.empty() && name.front() == '.' && name != "." && name != "..")
        attributes |= kHidden;
    if (S_ISREG(info.st_mode))
        attributes |= kArchive;
    return attributes != 0 ? attributes : kNormal;
}

std::string_view lastPathComponent(std::string_view path) {
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    const auto slash = path.rfind('/');
    if (slash == std::string_view::npos || path.size() == 1)
        return path;
    return path.substr(slash + 1);
}

} // namespace hb::platform::posix
