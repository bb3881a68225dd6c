// Directory searches on POSIX with the wildcard rules of the VP's platform:
// '*' matches any run of characters, '?' any one character, a pattern ending
// in ".*" also matches names without an extension (so "*.*" matches every
// name), and letters match without regard to ASCII case. The directory is
// listed once when the search starts ("." and ".." first, then the names in
// case-insensitive order); each entry is looked at when it is delivered, and
// one that has vanished meanwhile is skipped.
//
// Search handles are 32-bit values into a process-wide table, never 0 or
// 0xFFFFFFFF, and not reused while the search lives.
#include "platform/platform.h"
#include "platform/posix/error_mapping.h"
#include "platform/posix/host_file_attributes.h"
#include "platform/posix/host_path_errors.h"
#include "platform/posix/host_root.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace hb::platform {

namespace {

constexpr uint32_t kFileNotFound = 2;
constexpr uint32_t kPathNotFound = 3;
constexpr uint32_t kInvalidHandle = 6;
constexpr uint32_t kNoMoreFiles = 18;
constexpr uint32_t kNoMoreSearchHandles = 113;
constexpr size_t kMaxSearches = 1u << 16;

struct Search {
    std::mutex lock;       // handles are process-wide: any board may name any search
    std::string directory; // with a trailing '/', or empty for the current one (or root)
    std::vector<std::string> names;
    size_t next = 0;
    // Beneath a root: the root, and the searched directory held open.
    HostRootRef root;
    int directoryDescriptor = -1;

    Search() = default;
    Search(const Search&) = delete;
    Search& operator=(const Search&) = delete;
    ~Search() {
        if (directoryDescriptor >= 0)
            ::close(directoryDescriptor);
    }
};

struct SearchTable {
    std::mutex lock;
    std::unordered_map<uint32_t, std::shared_ptr<Search>> searches;
    uint32_t lastHandle = 0;
};

SearchTable& searchTable() {
    static SearchTable table;
    return table;
}

char foldCase(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool matchWildcards(std::string_view pattern, std::string_view name) {
    size_t p = 0, n = 0;
    size_t starPattern = std::string_view::npos, starName = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starPattern = p++;
            starName = n;
        } else if (p < pattern.size() &&
                   (pattern[p] == '?' || foldCase(pattern[p]) == foldCase(name[n]))) {
            ++p;
            ++n;
        } else if (starPattern != std::string_view::npos) {
            p = starPattern + 1;
            n = ++starName;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

bool patternMatches(std::string_view pattern, std::string_view name) {
    if (matchWildcards(pattern, name))
        return true;
    // "name.*" also matches "name": the extension may be empty.
    if (pattern.size() >= 2 && pattern.substr(pattern.size() - 2) == ".*" &&
        name.find('.') == std::string_view::npos)
        return matchWildcards(pattern.substr(0, pattern.size() - 2), name);
    return false;
}

int listingRank(const std::string& name) {
    if (name == ".")
        return 0;
    if (name == "..")
        return 1;
    return 2;
}

bool listingOrder(const std::string& a, const std::string& b) {
    const int rankA = listingRank(a), rankB = listingRank(b);
    if (rankA != rankB)
        return rankA < rankB;
    const size_t common = std::min(a.size(), b.size());
    for (size_t i = 0; i < common; ++i) {
        const char ca = foldCase(a[i]), cb = foldCase(b[i]);
        if (ca != cb)
            return static_cast<unsigned char>(ca) < static_cast<unsigned char>(cb);
    }
    return a.size() != b.size() ? a.size() < b.size() : a < b;
}

// The entry's own state as a search reports it: its target's for a link.
bool lookAtEntry(const Search& search, const std::string& name, struct stat* info) {
    const std::string path = search.directory + name;
    if (!search.root)
        return stat(path.c_str(), info) == 0 || lstat(path.c_str(), info) == 0;
    const int target = posix::openBeneath(*search.root, path, O_PATH);
    if (target >= 0) {
        const bool known = fstat(target, info) == 0;
        ::close(target);
        return known;
    }
    // Whatever leads out of the root is not listed; a link to nothing shows
    // itself.
    return errno == ENOENT &&
           fstatat(search.directoryDescriptor, name.c_str(), info, AT_SYMLINK_NOFOLLOW) == 0;
}

// Fills `entry` with the search's next entry that still exists.
bool deliverNext(Search& search, HostDirectoryEntry* entry) {
    while (search.next < search.names.size()) {
        const std::string& name = search.names[search.next++];
        struct stat info {};
        if (!lookAtEntry(search, name, &info))
            continue;
        std::memset(entry->name, 0, sizeof entry->name);
        std::memcpy(entry->name, name.data(), name.size());
        entry->attributes = posix::attributesFromStat(info, name);
        entry->size = S_ISDIR(info.st_mode) ? 0 : static_cast<uint64_t>(info.st_size);
        entry->lastWriteSeconds = static_cast<int64_t>(info.st_mtim.tv_sec);
        return true;
    }
    return false;
}

uint32_t failSearch(uint32_t code) {
    setLastError(code);
    return kInvalidSearch;
}

} // namespace

namespace {

// The searched directory, opened for listing.
DIR* openListing(Search& search, const std::string& directory) {
    if (!search.root)
        return opendir(directory.c_str());
    const std::string_view beneath =
        search.directory.empty() ? std::string_view(".") : std::string_view(search.directory);
    search.directoryDescriptor = posix::openBeneath(*search.root, beneath, O_PATH | O_DIRECTORY);
    if (search.directoryDescriptor < 0)
        return nullptr;
    const int listed =
        ::openat(search.directoryDescriptor, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listed < 0)
        return nullptr;
    DIR* listing = fdopendir(listed);
    if (listing == nullptr)
        ::close(listed);
    return listing;
}

} // namespace

uint32_t findFirstFile(const HostRootRef& root, const char* pattern, HostDirectoryEntry* entry) {
    const std::string_view whole(pattern);
    const auto slash = whole.rfind('/');
    auto search = std::make_shared<Search>();
    search->root = root;
    std::string_view namePattern = whole;
    std::string directory = ".";
    if (slash != std::string_view::npos) {
        search->directory.assign(whole.substr(0, slash + 1));
        directory = slash == 0 ? std::string("/") : std::string(whole.substr(0, slash));
        namePattern = whole.substr(slash + 1);
    }

    DIR* listing = openListing(*search, directory);
    if (listing == nullptr) {
        const int error = errno;
        // Whatever is missing lies on the way to the names searched for.
        return failSearch(error == ENOENT ? kPathNotFound : posix::win32ErrorFromErrno(error));
    }
    if (namePattern.empty()) {
        closedir(listing);
        return failSearch(kFileNotFound);
    }
    errno = 0;
    while (const dirent* item = readdir(listing)) {
        const std::string_view name(item->d_name);
        if (name.size() < sizeof entry->name && patternMatches(namePattern, name))
            search->names.emplace_back(name);
    }
    closedir(listing);
    std::sort(search->names.begin(), search->names.end(), listingOrder);

    HostDirectoryEntry first{};
    if (!deliverNext(*search, &first))
        return failSearch(kFileNotFound);

    SearchTable& table = searchTable();
    std::lock_guard guard(table.lock);
    if (table.searches.size() >= kMaxSearches)
        return failSearch(kNoMoreSearchHandles);
    uint32_t handle = table.lastHandle;
    do {
        ++handle;
    } while (handle == 0 || handle == kInvalidSearch || table.searches.count(handle) != 0);
    table.lastHandle = handle;
    table.searches.emplace(handle, std::move(search));
    *entry = first;
    return handle;
}

uint32_t findNextFile(uint32_t search, HostDirectoryEntry* entry) {
    std::shared_ptr<Search> running;
    {
        SearchTable& table = searchTable();
        std::lock_guard guard(table.lock);
        const auto found = table.searches.find(search);
        if (found != table.searches.end())
            running = found->second;
    }
    if (!running) {
        setLastError(kInvalidHandle);
        return kInvalidHandle;
    }
    HostDirectoryEntry next{};
    std::lock_guard guard(running->lock);
    if (!deliverNext(*running, &next)) {
        setLastError(kNoMoreFiles);
        return kNoMoreFiles;
    }
    *entry = next;
    return 0;
}

uint32_t findClose(uint32_t search) {
    SearchTable& table = searchTable();
    std::lock_guard guard(table.lock);
    if (table.searches.erase(search) == 0) {
        setLastError(kInvalidHandle);
        return kInvalidHandle;
    }
    return 0;
}

} // namespace hb::platform
