// The host operations with paths as given (no root directory), for tests
// and benchmarks: the library itself always passes its root, null or not.
#pragma once

#include "fileio/host_operations.h"

namespace hb {

inline int32_t hostOpen(const char* path, uint32_t flags) {
    return hostOpen(nullptr, path, flags);
}
inline uint32_t hostDelete(const char* path) {
    return hostDelete(nullptr, path);
}
inline uint32_t hostRename(const char* oldPath, const char* newPath) {
    return hostRename(nullptr, oldPath, newPath);
}
inline uint32_t hostFindFirst(const char* pattern, char* name, uint32_t* attributes,
                              uint32_t* sizeLow, uint32_t* dosDate, uint32_t* dosTime) {
    return hostFindFirst(nullptr, pattern, name, attributes, sizeLow, dosDate, dosTime);
}
inline uint32_t hostGetAttributes(const char* path) {
    return hostGetAttributes(nullptr, path);
}

} // namespace hb
