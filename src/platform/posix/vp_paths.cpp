// VP paths spelled for the POSIX host: backslashes turned into slashes and a
// drive prefix into the root directory.
#include "platform/posix/vp_paths.h"

#include "platform/platform.h"

#include <cerrno>
#include <new>
#include <string_view>

namespace hb::platform::posix {

namespace {

constexpr uint32_t kPathNotFound = 3;
constexpr uint32_t kNotEnoughMemory = 8;

bool hasDrivePrefix(std::string_view path) {
    const auto isLetter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    return path.size() >= 2 && isLetter(path[0]) && path[1] == ':';
}

bool refuse(uint32_t code, int error) {
    setLastError(code);
    errno = error;
    return false;
}

} // namespace

bool hostSpelling(const char* vpPath, bool rooted, std::string* spelled) try {
    std::string_view path(vpPath);
    if (hasDrivePrefix(path)) {
        if (!rooted)
            return refuse(kPathNotFound, ENOENT);
        path.remove_prefix(2);
        while (!path.empty() && (path.front() == '\\' || path.front() == '/'))
            path.remove_prefix(1);
        if (path.empty())
            path = ".";
    }
    spelled->assign(path);
    for (char& c : *spelled)
        if (c == '\\')
            c = '/';
    return true;
} catch (const std::bad_alloc&) {
    return refuse(kNotEnoughMemory, ENOMEM);
}

} // namespace hb::platform::posix
