// Directory searches of the Win32 backend: the system's own searches, with
// its wildcard rules and entry data.
//
// The VP names a search by a 32-bit value that it may have made up. The
// system's search handles are pointers into the process (64 bits wide on a
// 64-bit host), and a made-up one would be dereferenced, so the VP is given
// the number of an entry in a table of the searches started here instead:
// never 0 or 0xFFFFFFFF, not reused while the search lives. A value that
// names no search is refused with ERROR_INVALID_HANDLE. One lock covers the
// table and every step of a search, so a search ended on one thread is never
// stepped on another.
#include "platform/platform.h"

#include <cstring>
#include <new>
#include <unordered_map>
#include <windows.h>

namespace hb::platform {

namespace {

struct SearchTable {
    SRWLOCK lock = SRWLOCK_INIT;
    std::unordered_map<uint32_t, HANDLE> searches;
    uint32_t lastId = 0;
};

SearchTable& searchTable() {
    static SearchTable* table = new SearchTable; // outlives every static destructor
    return *table;
}

class TableLock {
  public:
    explicit TableLock(SearchTable& table) : table_(table) {
        AcquireSRWLockExclusive(&table_.lock);
    }
    ~TableLock() { ReleaseSRWLockExclusive(&table_.lock); }
    TableLock(const TableLock&) = delete;
    TableLock& operator=(const TableLock&) = delete;

  private:
    SearchTable& table_;
};

// FILETIME counts 100 ns ticks since 1601-01-01 (universal time).
constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kSecondsFrom1601To1970 = 11644473600;

void fillEntry(const WIN32_FIND_DATAA& data, HostDirectoryEntry* entry) {
    static_assert(sizeof entry->name == sizeof data.cFileName);
    std::memcpy(entry->name, data.cFileName, sizeof entry->name);
    entry->name[sizeof entry->name - 1] = '\0';
    entry->attributes = data.dwFileAttributes;
    entry->size = (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
    const auto ticks = static_cast<int64_t>((uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) |
                                            data.ftLastWriteTime.dwLowDateTime);
    entry->lastWriteSeconds = ticks / kTicksPerSecond - kSecondsFrom1601To1970;
}

} // namespace

uint32_t findFirstFile(const HostRootRef& root, const char* pattern, HostDirectoryEntry* entry) {
    if (root) {
        // No root directory on this platform yet (see host_files.cpp).
        SetLastError(ERROR_ACCESS_DENIED);
        return kInvalidSearch;
    }
    WIN32_FIND_DATAA data{};
    HANDLE search = FindFirstFileA(pattern, &data);
    if (search == INVALID_HANDLE_VALUE) {
        return kInvalidSearch;
    }
    SearchTable& table = searchTable();
    TableLock lock(table);
    uint32_t id = table.lastId;
    do {
        ++id;
    } while (id == 0 || id == kInvalidSearch || table.searches.count(id) != 0);
    try {
        table.searches.emplace(id, search);
    } catch (const std::bad_alloc&) {
        FindClose(search);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return kInvalidSearch;
    }
    table.lastId = id;
    fillEntry(data, entry);
    return id;
}

uint32_t findNextFile(uint32_t search, HostDirectoryEntry* entry) {
    SearchTable& table = searchTable();
    TableLock lock(table);
    auto found = table.searches.find(search);
    if (found == table.searches.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return ERROR_INVALID_HANDLE;
    }
    WIN32_FIND_DATAA data{};
    if (!FindNextFileA(found->second, &data)) {
        return GetLastError();
    }
    fillEntry(data, entry);
    return 0;
}

uint32_t findClose(uint32_t search) {
    SearchTable& table = searchTable();
    TableLock lock(table);
    auto found = table.searches.find(search);
    if (found == table.searches.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return ERROR_INVALID_HANDLE;
    }
    HANDLE handle = found->second;
    table.searches.erase(found);
    return FindClose(handle) ? 0 : GetLastError();
}

} // namespace hb::platform
