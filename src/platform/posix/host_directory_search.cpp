// Directory searches on POSIX with the wildcard rules of the VP's platform:
// '*' matches any run of characters and '?' any one, except that a '?' at
// the end of the name or before its dot may match none ("data?.txt" finds
// data.txt and data1.txt); a '*' before a dot stops at the name's last dot,
// and a dot before '*' or '?' or at the pattern's end also matches the end of
// a name without one ("*." finds the names without an extension, "*.*" every
// name). Letters match without regard to ASCII case. The directory is listed
// once when the search starts ("." and ".." first, then the names in
// case-insensitive order; the root directory of a confined search has
// neither); each entry is looked at when it is delivered, and one that has
// vanished meanwhile is skipped.
//
// Search handles are 32-bit values into a process-wide table, never 0 or
// 0xFFFFFFFF, and not reused while the search lives.
#include "platform/platform.h"
#include "platform/posix/error_mapping.h"
#include "platform/posix/host_file_attributes.h"
#include "platform/posix/host_path_errors.h"
#include "platform/posix/host_root.h"
#include "platform/posix/vp_paths.h"

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
constexpr uint32_t kNotEnoughMemory = 8;
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

// A pattern as the VP platform's search reads it: characters, and the
// wildcards below in their place.
enum Wildcard : int {
    kAnyRun = 256, // '*'
    kOneOrNone,    // '?': one character, or none at the name's end or dot
    kRunBeforeDot, // '*' before '.': any run that leaves the last dot
    kDotOrEnd,     // '.' before '*', '?' or the end: a dot, or the name's end
};

std::vector<int> readPattern(std::string_view pattern) {
    std::vector<int> tokens;
    if (pattern == "*.*")
        return {kAnyRun};
    for (size_t i = 0; i < pattern.size(); ++i) {
        const char next = i + 1 < pattern.size() ? pattern[i + 1] : '\0';
        const char c = pattern[i];
        if (c == '?')
            tokens.push_back(kOneOrNone);
        else if (c == '*')
            tokens.push_back(next == '.' ? kRunBeforeDot : kAnyRun);
        else if (c == '.' && (next == '*' || next == '?' || next == '\0'))
            tokens.push_back(kDotOrEnd);
        else
            tokens.push_back(static_cast<unsigned char>(foldCase(c)));
    }
    return tokens;
}

class WildcardMatch {
  public:
    WildcardMatch(const std::vector<int>& pattern, std::string_view name)
        : pattern_(pattern), name_(name), lastDot_(name.rfind('.')),
          known_((pattern.size() + 1) * (name.size() + 1), kUnknown) {}
    bool matches() { return at(0, 0); }

  private:
    enum : char { kUnknown, kNo, kYes };

    bool at(size_t p, size_t n) {
        char& known = known_[p * (name_.size() + 1) + n];
        if (known == kUnknown)
            known = step(p, n) ? kYes : kNo;
        return known == kYes;
    }

    bool step(size_t p, size_t n) {
        const size_t end = name_.size();
        if (p == pattern_.size())
            return n == end;
        switch (pattern_[p]) {
        case kAnyRun:
            return at(p + 1, n) || (n < end && at(p, n + 1));
        case kRunBeforeDot: {
            const size_t limit =
                lastDot_ != std::string_view::npos && lastDot_ >= n ? lastDot_ : end;
            return at(p + 1, n) || (n < limit && at(p, n + 1));
        }
        case kOneOrNone:
            if (n == end || name_[n] == '.') {
                size_t q = p;
                while (q < pattern_.size() && pattern_[q] == kOneOrNone)
                    ++q;
                return at(q, n);
            }
            return at(p + 1, n + 1);
        case kDotOrEnd:
            return n == end ? at(p + 1, n) : name_[n] == '.' && at(p + 1, n + 1);
        default:
            return n < end && pattern_[p] == static_cast<unsigned char>(foldCase(name_[n])) &&
                   at(p + 1, n + 1);
        }
    }

    const std::vector<int>& pattern_;
    std::string_view name_;
    size_t lastDot_;
    std::vector<char> known_;
};

bool patternMatches(const std::vector<int>& pattern, std::string_view name) {
    return WildcardMatch(pattern, name).matches();
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

// A confined search in the root directory itself: like a drive's root
// directory it has neither "." nor "..".
bool searchesTheRoot(const Search& search) {
    struct stat searched {
    }, root{};
    return search.root && fstat(search.directoryDescriptor, &searched) == 0 &&
           fstat(search.root->descriptor(), &root) == 0 && searched.st_dev == root.st_dev &&
           searched.st_ino == root.st_ino;
}

} // namespace

// Throws std::bad_alloc; findFirstFile turns that into code 8.
static uint32_t startSearch(const HostRootRef& root, const char* vpPattern,
                            HostDirectoryEntry* entry) {
    std::string spelled;
    if (!posix::hostSpelling(vpPattern, root != nullptr, &spelled))
        return kInvalidSearch;
    const std::string_view whole(spelled);
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

    const std::unique_ptr<DIR, int (*)(DIR*)> listing(openListing(*search, directory), closedir);
    if (listing == nullptr) {
        const int error = errno;
        // Whatever is missing lies on the way to the names searched for.
        return failSearch(error == ENOENT ? kPathNotFound : posix::win32ErrorFromErrno(error));
    }
    if (namePattern.empty())
        return failSearch(kFileNotFound);
    const std::vector<int> wildcards = readPattern(namePattern);
    const bool withoutDots = searchesTheRoot(*search);
    errno = 0;
    while (const dirent* item = readdir(listing.get())) {
        const std::string_view name(item->d_name);
        if (withoutDots && (name == "." || name == ".."))
            continue;
        if (name.size() < sizeof entry->name && patternMatches(wildcards, name))
            search->names.emplace_back(name);
    }
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

uint32_t findFirstFile(const HostRootRef& root, const char* pattern, HostDirectoryEntry* entry) {
    try {
        return startSearch(root, pattern, entry);
    } catch (const std::bad_alloc&) {
        return failSearch(kNotEnoughMemory);
    }
}

uint32_t findNextFile(uint32_t search, HostDirectoryEntry* entry) try {
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
} catch (const std::bad_alloc&) {
    setLastError(kNotEnoughMemory);
    return kNotEnoughMemory;
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
