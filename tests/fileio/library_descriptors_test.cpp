// The VP program names host descriptors by number. On POSIX the library's own
// device connections and event descriptors share that number space; the
// program must never reach them, while the host application's descriptors and
// the console stay there for it as before.
#include "service_fixture.h"

#include "platform/posix/library_descriptors.h"

#include <dirent.h>
#include <fcntl.h>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace {

using hb::platform::posix::isLibraryDescriptor;
using hbtest::ServiceFixture;

std::vector<int> libraryDescriptors() {
    std::vector<int> found;
    DIR* listing = opendir("/proc/self/fd");
    if (listing == nullptr)
        return found;
    while (const dirent* item = readdir(listing)) {
        const int fd = std::atoi(item->d_name);
        if (item->d_name[0] != '.' && isLibraryDescriptor(fd))
            found.push_back(fd);
    }
    closedir(listing);
    return found;
}

std::string kindOf(int fd) {
    char target[256] = {};
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    return length > 0 ? std::string(target, static_cast<size_t>(length)) : std::string();
}

class LibraryDescriptors : public ServiceFixture {};

TEST_F(LibraryDescriptors, TheProgramCannotReadWriteSeekOrCloseThem) {
    const std::vector<int> owned = libraryDescriptors();
    // The board's device connection and the service's events at least.
    bool socket = false, eventfd = false;
    for (int fd : owned) {
        socket |= kindOf(fd).rfind("socket:", 0) == 0;
        eventfd |= kindOf(fd).find("eventfd") != std::string::npos;
    }
    ASSERT_TRUE(socket);
    ASSERT_TRUE(eventfd);

    auto& vp = agent();
    for (int fd : owned) {
        const auto read = vp.read(fd, 8);
        const auto written = vp.write(fd, "12345678");
        EXPECT_EQ(std::tuple(read.value, read.error, written.value, written.error),
                  std::tuple(-1, HB_ERROR_INVALID_BLOCK, -1, HB_ERROR_INVALID_BLOCK))
            << kindOf(fd);
        EXPECT_EQ(vp.seek(fd, 0, 0).error, HB_ERROR_INVALID_BLOCK) << kindOf(fd);
        EXPECT_EQ(vp.close(fd), -1) << kindOf(fd);
        EXPECT_NE(fcntl(fd, F_GETFD), -1) << kindOf(fd); // still open
    }
    EXPECT_GT(vp.environmentSize(), 0u) << "the board's connection and events are intact";
}

TEST_F(LibraryDescriptors, AClosedBoardsDescriptorsAreNoLongerClaimed) {
    const std::vector<int> before = libraryDescriptors();
    addBoard(1, {});
    const std::vector<int> with = libraryDescriptors();
    EXPECT_GT(with.size(), before.size());
    AcceleratorBoard* extra = board(1);
    hbFileIoShutdown(extra);
    hb__DeviceIoClose(extra->deviceHandle);
    extra->deviceHandle = HB_INVALID_HANDLE;
    EXPECT_EQ(libraryDescriptors(), before);
}

} // namespace
