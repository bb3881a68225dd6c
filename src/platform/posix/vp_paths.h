// Paths as the VP program writes them, spelled for the POSIX host: the
// backslash is the VP platform's separator, and a drive prefix ("C:") names
// the root directory.
#pragma once

#include <string>

namespace hb::platform::posix {

// Every '\' of `vpPath` becomes '/'. A leading drive prefix (a letter and a
// colon) is dropped together with the separators after it when `rooted`, so
// that the rest is resolved beneath the root ("C:\" is the root itself);
// without a root it names nothing here. Returns false, with last error 3 and
// errno ENOENT, for such a path, or with 8 when no memory is left.
bool hostSpelling(const char* vpPath, bool rooted, std::string* spelled);

} // namespace hb::platform::posix
