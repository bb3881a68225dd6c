// A root directory confines the VP program: every escape (.. chains, absolute
// paths, links to outside, a link swapped in while requests run, renames out
// of the root, search patterns that climb) is refused with 5 and leaves the
// outside as it was; what lies inside stays usable.
#include "service_fixture.h"

#include "platform/posix/host_root.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using hbtest::RequestAgent;
using hbtest::ServiceFixture;

constexpr uint32_t kDenied = HB_ERROR_ACCESS_DENIED;
constexpr uint32_t kNoSearch = 0xFFFFFFFFu;

class Sandbox : public ServiceFixture {
  protected:
    void SetUp() override {
        ServiceFixture::SetUp();
        outer_ = files_.path();
        root_ = files_ / "root";
        ASSERT_EQ(mkdir(root_.c_str(), 0777), 0);
        ASSERT_EQ(mkdir((root_ + "/sub").c_str(), 0777), 0);
        files_.write("outside.txt", "secret");
        files_.write("root/inside.txt", "inside");
        ASSERT_EQ(symlink("../outside.txt", (root_ + "/out_link").c_str()), 0);
        ASSERT_EQ(symlink((outer_ + "/outside.txt").c_str(), (root_ + "/abs_link").c_str()), 0);
        ASSERT_EQ(symlink("..", (root_ + "/dir_link").c_str()), 0);
        ASSERT_EQ(symlink("inside.txt", (root_ + "/in_link").c_str()), 0);
        ASSERT_EQ(symlink("../inside.txt", (root_ + "/sub/up").c_str()), 0);
        ASSERT_EQ(symlink("missing", (root_ + "/dangling").c_str()), 0);
        ASSERT_EQ(hbFileIoSetRootDirectory(board(), root_.c_str()), 0u);
    }
    void TearDown() override {
        hbFileIoSetRootDirectory(board(), nullptr);
        ServiceFixture::TearDown();
    }

    // The outside is untouched: the secret file as it was, nothing new.
    void expectOutsideUntouched() {
        EXPECT_EQ(files_.read("outside.txt"), "secret");
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(outer_))
            names.insert(entry.path().filename().string());
        EXPECT_EQ(names, (std::set<std::string>{"outside.txt", "root"}));
    }

    using Names = std::vector<std::string>;
    // Every name a search of `pattern` delivers, in order.
    Names listing(const std::string& pattern) {
        Names names;
        auto entry = agent().findFirst(pattern);
        if (entry.handleOrError == kNoSearch)
            return names;
        const uint32_t search = entry.handleOrError;
        do {
            names.emplace_back(entry.name);
            entry = agent().findNext(search);
        } while (entry.handleOrError == 0);
        agent().findClose(search);
        return names;
    }

    std::string outer_, root_;
};

enum class Op { Read, Create, Truncate, Delete, RenameFrom, RenameTo, Attributes, Find };

TEST_F(Sandbox, PathsThatLeaveTheRootOrPassAMissingDirectoryFailAndYieldNothingUsable) {
    RequestAgent& vp = agent();
    const std::string absolute = outer_ + "/outside.txt";
    // The error of one attempt; no descriptor, search or attribute bits come back.
    const auto attempt = [&](Op op, const std::string& path) -> uint32_t {
        if (op <= Op::Truncate) {
            const uint32_t flags[] = {HB_O_RDONLY, HB_O_CREAT | HB_O_WRONLY,
                                      HB_O_CREAT | HB_O_TRUNC | HB_O_WRONLY};
            const auto answer = vp.open(path, flags[static_cast<int>(op)]);
            EXPECT_EQ(answer.value, -1) << path;
            return answer.error;
        }
        if (op == Op::Attributes) {
            const auto answer = vp.attributes(path);
            EXPECT_EQ(static_cast<uint32_t>(answer.value), HB_INVALID_FILE_ATTRIBUTES) << path;
            return answer.error;
        }
        if (op == Op::Find)
            return vp.findFirst(path).handleOrError;
        return op == Op::Delete     ? vp.remove(path)
               : op == Op::RenameTo ? vp.rename("inside.txt", path)
                                    : vp.rename(path, "moved");
    };
    const struct {
        Op op;
        std::vector<std::string> paths;
        uint32_t error;
    } cases[] = {
        // One path per rule: "..", absolute, a link out (last or inner
        // component), the VP's spelling.
        {Op::Read, {"../outside.txt", absolute, "out_link", "C:\\..\\outside.txt"}, kDenied},
        {Op::Create, {"../created", "dir_link/created"}, kDenied},
        {Op::Truncate, {"out_link", "abs_link"}, kDenied},
        {Op::Delete, {"../outside.txt", absolute, "dir_link/outside.txt"}, kDenied},
        {Op::RenameTo, {"../stolen", outer_ + "/stolen", "dir_link/stolen"}, kDenied},
        {Op::RenameFrom, {"../outside.txt", "dir_link/outside.txt"}, kDenied},
        {Op::Attributes, {"../outside.txt", absolute, "out_link"}, kDenied},
        {Op::Find, {"../*", outer_ + "/*", "dir_link/*", "C:\\..\\*"}, kNoSearch},
        {Op::Read, {"missing"}, HB_ERROR_FILE_NOT_FOUND},
        {Op::Read, {"missing/x.txt"}, HB_ERROR_PATH_NOT_FOUND},
        {Op::Create, {"sub/missing/x.txt"}, HB_ERROR_PATH_NOT_FOUND},
    };
    for (const auto& c : cases) {
        for (const std::string& path : c.paths)
            EXPECT_EQ(attempt(c.op, path), c.error) << path << " op " << static_cast<int>(c.op);
    }
    EXPECT_EQ(files_.read("root/inside.txt"), "inside");
    expectOutsideUntouched();
}

// Inside, paths may be written for the VP platform: backslashes separate, and
// the root is a drive's root with no "." or "..", by any spelling.
TEST_F(Sandbox, EverythingInsideTheRootStaysUsableAlsoByTheVpPlatformsSpelling) {
    RequestAgent& vp = agent();
    for (const char* path : {"inside.txt", "sub/../inside.txt", "./in_link", "sub/up",
                             "C:\\inside.txt", "c:sub\\..\\inside.txt", ".\\sub\\up"}) {
        const auto opened = vp.open(path, HB_O_RDONLY);
        ASSERT_GE(opened.value, 0) << path;
        EXPECT_EQ(vp.read(opened.value, 100).data,
                  std::vector<uint8_t>({'i', 'n', 's', 'i', 'd', 'e'}));
        EXPECT_EQ(vp.close(opened.value), 0);
    }
    const auto created = vp.open("sub/new.txt", HB_O_CREAT | HB_O_WRONLY);
    ASSERT_GE(created.value, 0);
    EXPECT_EQ(vp.write(created.value, "fresh").value, 5);
    EXPECT_EQ(vp.close(created.value), 0);
    EXPECT_EQ(files_.read("root/sub/new.txt"), "fresh");

    EXPECT_EQ(vp.rename(".\\sub\\new.txt", "C:\\renamed.txt"), 0u);
    EXPECT_EQ(files_.read("root/renamed.txt"), "fresh");
    EXPECT_EQ(vp.rename("renamed.txt", "inside.txt"), HB_ERROR_ALREADY_EXISTS);
    EXPECT_EQ(vp.attributes("C:\\sub").value, int32_t{HB_FILE_ATTRIBUTE_DIRECTORY});
    EXPECT_EQ(vp.attributes("dangling").error, 0u); // a link to nothing shows itself
    EXPECT_EQ(vp.remove("c:renamed.txt"), 0u);
    EXPECT_EQ(vp.remove("in_link"), 0u); // the link goes, its target stays
    EXPECT_EQ(files_.read("root/inside.txt"), "inside");

    // The listing of the root shows what lies inside and nothing that leads out.
    for (const char* pattern : {"*", "*.*", "C:\\*", "sub\\..\\*"})
        EXPECT_EQ(listing(pattern), (Names{"dangling", "inside.txt", "sub"})) << pattern;
    EXPECT_EQ(listing(".\\sub\\*"), (Names{".", "..", "up"}));
    expectOutsideUntouched();
}

TEST_F(Sandbox, ALinkSwappedInWhileRequestsRunNeverLeadsOut) {
    // "swap" is now a file inside, now a link to the secret outside; renames
    // make each change atomic.
    const std::string swap = root_ + "/swap";
    std::atomic<bool> done{false};
    std::thread swapper([&] {
        for (bool toLink = true; !done.load(); toLink = !toLink) {
            if (toLink) {
                ::unlink((root_ + "/swap.link2").c_str());
                symlink("../outside.txt", (root_ + "/swap.link2").c_str());
                ::rename((root_ + "/swap.link2").c_str(), swap.c_str());
            } else {
                files_.write("root/swap.file2", "inside");
                ::rename((root_ + "/swap.file2").c_str(), swap.c_str());
            }
        }
    });
    RequestAgent& vp = agent();
    for (int i = 0; i < 300; ++i) {
        const auto answer = vp.open("swap", i % 2 ? HB_O_RDONLY : HB_O_RDWR | HB_O_TRUNC);
        if (answer.value >= 0) {
            const auto read = vp.read(answer.value, 16);
            EXPECT_NE(std::string(read.data.begin(), read.data.end()), "secret");
            vp.close(answer.value);
        } else {
            EXPECT_TRUE(answer.error == kDenied || answer.error == HB_ERROR_FILE_NOT_FOUND)
                << answer.error;
        }
        vp.attributes("swap");
    }
    done = true;
    swapper.join();
    EXPECT_EQ(files_.read("outside.txt"), "secret");
}

TEST_F(Sandbox, OnlyItsOwnDescriptorsAndSearchesAreTheProgramsToUse) {
    RequestAgent& vp = agent();
    // A file the host application opened itself.
    const std::string hostFile = files_.write("host.txt", "host data");
    const int hostDescriptor = ::open(hostFile.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(hostDescriptor, 0);
    const std::pair<int32_t, uint32_t> refused(-1, HB_ERROR_INVALID_BLOCK);
    const auto read = vp.read(hostDescriptor, 4);
    EXPECT_EQ(std::pair(read.value, read.error), refused);
    EXPECT_EQ(vp.seek(hostDescriptor, 0, 2).error, HB_ERROR_INVALID_BLOCK);
    const auto written = vp.write(hostDescriptor, "x");
    EXPECT_EQ(std::pair(written.value, written.error), refused);
    EXPECT_EQ(vp.close(hostDescriptor), -1);
    EXPECT_EQ(fcntl(hostDescriptor, F_GETFD), FD_CLOEXEC); // still open

    // The console stays usable, but not closable.
    EXPECT_EQ(vp.write(1, "").error, 0u);
    EXPECT_EQ(vp.close(1), -1);
    EXPECT_EQ(vp.close(2), -1);
    EXPECT_NE(fcntl(1, F_GETFD), -1);

    // Without the root, the host's descriptor is there for the program as before.
    ASSERT_EQ(hbFileIoSetRootDirectory(board(), nullptr), 0u);
    EXPECT_EQ(vp.read(hostDescriptor, 4).value, 4);
    ASSERT_EQ(hbFileIoSetRootDirectory(board(), root_.c_str()), 0u);
    ::close(hostDescriptor);

    // A search another board started.
    addBoard(1, {});
    const auto foreign = agent(1).findFirst(root_ + "/*");
    ASSERT_NE(foreign.handleOrError, kNoSearch);
    EXPECT_EQ(vp.findNext(foreign.handleOrError).handleOrError, HB_ERROR_INVALID_HANDLE);
    vp.findClose(foreign.handleOrError); // not closed: board 1 still steps it
    EXPECT_EQ(agent(1).findNext(foreign.handleOrError).handleOrError, 0u);
    agent(1).findClose(foreign.handleOrError);
}

TEST_F(Sandbox, TheSettingIsCheckedAndRestoredByANullPath) {
    EXPECT_EQ(hbFileIoSetRootDirectory(nullptr, root_.c_str()), HB_ERROR_INVALID_PARAMETER);
    AcceleratorBoard outOfRange{HB_MAX_BOARDS, nullptr};
    EXPECT_EQ(hbFileIoSetRootDirectory(&outOfRange, root_.c_str()), HB_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(hbFileIoSetRootDirectory(board(), (outer_ + "/none").c_str()),
              HB_ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(hbFileIoSetRootDirectory(board(), (outer_ + "/outside.txt").c_str()), 267u);
    // A refused setting leaves the root in place.
    EXPECT_EQ(agent().open("../outside.txt", HB_O_RDONLY).error, kDenied);

    // A root survives a restart of the service.
    hbFileIoShutdown(board());
    ASSERT_EQ(hbFileIoStartup(board()), 0u);
    EXPECT_EQ(agent().open("../outside.txt", HB_O_RDONLY).error, kDenied);

    ASSERT_EQ(hbFileIoSetRootDirectory(board(), nullptr), 0u);
    const auto opened = agent().open(outer_ + "/outside.txt", HB_O_RDONLY);
    EXPECT_GE(opened.value, 0);
    agent().close(opened.value);
}

// The resolution without openat2 follows the same rules as the kernel's.
TEST_F(Sandbox, ComponentWalkAgreesWithTheKernel) {
    ASSERT_EQ(symlink("loop", (root_ + "/loop").c_str()), 0);
    const hb::platform::HostRootRef hostRoot = hb::platform::openHostRoot(root_.c_str());
    ASSERT_TRUE(hostRoot);

    const struct {
        const char* path;
        int error; // 0: opens
    } cases[] = {
        {"inside.txt", 0},
        {"sub/up", 0},
        {"./sub/./../inside.txt", 0},
        {"sub/", 0},
        {"..", EACCES},
        {"/etc/passwd", EACCES},
        {"out_link", EACCES},
        {"abs_link", EACCES},
        {"dir_link/outside.txt", EACCES},
        {"missing/x.txt", ENOENT},
        {"inside.txt/x", ENOTDIR},
        {"loop", ELOOP},
        {"", ENOENT},
    };
    for (const auto& c : cases) {
        for (bool byComponents : {false, true}) {
            errno = 0;
            const int fd =
                byComponents ? hb::platform::posix::openBeneathByComponents(hostRoot->descriptor(),
                                                                            c.path, O_RDONLY, 0)
                             : hb::platform::posix::openBeneath(*hostRoot, c.path, O_RDONLY);
            EXPECT_EQ(std::pair(fd >= 0, fd >= 0 ? 0 : errno), std::pair(c.error == 0, c.error))
                << c.path << " components=" << byComponents;
            if (fd >= 0)
                ::close(fd);
        }
    }
    // A create through a link to outside creates nothing there.
    EXPECT_EQ(hb::platform::posix::openBeneathByComponents(hostRoot->descriptor(), "dir_link/new",
                                                           O_CREAT | O_WRONLY, 0666),
              -1);
    expectOutsideUntouched();
}

} // namespace
