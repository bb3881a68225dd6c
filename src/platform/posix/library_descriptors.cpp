// The process-wide set of descriptors the library holds itself, which the
// VP program's file requests may not name.
#include "platform/posix/library_descriptors.h"

#include <mutex>
#include <new>
#include <unistd.h>
#include <vector>

namespace hb::platform::posix {

namespace {

// One flag per descriptor number; descriptors are small dense integers.
struct Claims {
    std::mutex lock;
    std::vector<bool> claimed;
};

Claims& claims() {
    static Claims* instance = new Claims; // never destroyed: objects outlive static destructors
    return *instance;
}

} // namespace

void claimDescriptor(int fd) {
    if (fd < 0)
        return;
    Claims& c = claims();
    std::lock_guard guard(c.lock);
    try {
        if (static_cast<size_t>(fd) >= c.claimed.size())
            c.claimed.resize(static_cast<size_t>(fd) + 64, false);
        c.claimed[static_cast<size_t>(fd)] = true;
    } catch (const std::bad_alloc&) {
        // Unclaimed then: the descriptor still works for the library.
    }
}

void closeClaimedDescriptor(int fd) {
    if (fd < 0)
        return;
    Claims& c = claims();
    std::lock_guard guard(c.lock);
    ::close(fd);
    if (static_cast<size_t>(fd) < c.claimed.size())
        c.claimed[static_cast<size_t>(fd)] = false;
}

bool isLibraryDescriptor(int fd) {
    if (fd < 0)
        return false;
    Claims& c = claims();
    std::lock_guard guard(c.lock);
    return static_cast<size_t>(fd) < c.claimed.size() && c.claimed[static_cast<size_t>(fd)];
}

} // namespace hb::platform::posix
