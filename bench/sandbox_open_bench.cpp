// Cost of confinement: opening and closing a file three directories deep as
// the VP program's Open and Close requests do, unrestricted (the baseline)
// and beneath a root directory, with the kernel's resolution and with the
// component-by-component walk. Also the descriptor check every Read pays.
#include "fileio/host_operations.h"
#include "platform/posix/host_root.h"
#include "platform/posix/library_descriptors.h"
#include "support/host_operations_without_root.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

struct Tree {
    Tree() {
        std::string pattern = (std::filesystem::temp_directory_path() / "hbbench-XXXXXX").string();
        root = mkdtemp(pattern.data());
        std::filesystem::create_directories(root + "/a/b/c");
        std::ofstream(root + "/a/b/c/file.txt") << "data";
        rootRef = hb::platform::openHostRoot(root.c_str());
    }
    ~Tree() { std::filesystem::remove_all(root); }
    std::string root;
    hb::platform::HostRootRef rootRef;
};

Tree& tree() {
    static Tree instance;
    return instance;
}

void BM_OpenCloseUnrestricted(benchmark::State& state) {
    const std::string path = tree().root + "/a/b/c/file.txt";
    for (auto _ : state) {
        const int32_t fd = hb::hostOpen(path.c_str(), HB_O_RDONLY);
        hb::hostClose(fd);
    }
}
BENCHMARK(BM_OpenCloseUnrestricted);

void BM_OpenCloseBeneathRoot(benchmark::State& state) {
    for (auto _ : state) {
        const int32_t fd = hb::hostOpen(tree().rootRef, "a/b/c/file.txt", HB_O_RDONLY);
        hb::hostClose(fd);
    }
}
BENCHMARK(BM_OpenCloseBeneathRoot);

void BM_OpenCloseByComponents(benchmark::State& state) {
    const int root = tree().rootRef->descriptor();
    for (auto _ : state) {
        const int fd =
            hb::platform::posix::openBeneathByComponents(root, "a/b/c/file.txt", O_RDONLY, 0);
        ::close(fd);
    }
}
BENCHMARK(BM_OpenCloseByComponents);

void BM_LibraryDescriptorCheck(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(hb::platform::posix::isLibraryDescriptor(5));
}
BENCHMARK(BM_LibraryDescriptorCheck);

} // namespace

BENCHMARK_MAIN();
