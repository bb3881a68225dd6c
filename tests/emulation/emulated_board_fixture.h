// Boards whose VP runs the downloaded image, used through the public library
// as an application uses a real board: the board handle, the file-I/O service
// with capturing console writers, hbBootVp with an SDK-built program.
#pragma once

#include "hbsys9u.h"
#include "vboard/board.h"
#include "vboard/emulated_vp.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace hbtest {

using namespace std::chrono_literals;

// What the VP programs of one board index wrote to descriptors 1 and 2. The
// writers are plain functions (the library passes them no context), one
// pair per board index.
struct ConsoleCapture {
    std::mutex mutex;
    std::string out;
    std::string err;
};

inline std::array<ConsoleCapture, HB_MAX_BOARDS>& captures() {
    static std::array<ConsoleCapture, HB_MAX_BOARDS> all;
    return all;
}

template <int Index, bool Error> int32_t captureWriter(const void* data, int32_t length) {
    ConsoleCapture& c = captures()[Index];
    std::lock_guard lock(c.mutex);
    (Error ? c.err : c.out).append(static_cast<const char*>(data), size_t(length));
    return length;
}

template <size_t... I> constexpr auto writerTable(std::index_sequence<I...>) {
    return std::array<std::pair<StdOutFunction, StdOutFunction>, sizeof...(I)>{
        std::pair<StdOutFunction, StdOutFunction>{&captureWriter<int(I), false>,
                                                  &captureWriter<int(I), true>}...};
}
inline constexpr auto kWriters = writerTable(std::make_index_sequence<HB_MAX_BOARDS>{});

// Where the SDK's programs are (compile definition HB_VP_IMAGE_DIR).
inline std::string vpImage(const std::string& name) {
    return std::string(HB_VP_IMAGE_DIR) + "/" + name + ".exe";
}

// The board types of the three layouts. The library caches bus type and
// width per board index for the life of the process, so a test binary uses
// each index with one configuration only: indices 0 to 3 have the default
// board (bus type 2, width 4), the others below.
inline constexpr int kType1Width1Index = 5;
inline constexpr int kType1Width2Index = 6;
inline constexpr int kType2Width4Index = 7;
inline hb::vboard::BoardConfig configForIndex(int index) {
    hb::vboard::BoardConfig config;
    if (index == kType1Width1Index) {
        config.boardType = 27;
        config.busWidth = 1;
    } else if (index == kType1Width2Index) {
        config.boardType = 27;
        config.busWidth = 2;
    }
    return config;
}

class EmulatedBoardTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        // Before any service thread reads the environment.
        ::setenv("HBVP_GREETING", "hello from the host", 1);
    }

    void SetUp() override { ASSERT_NO_FATAL_FAILURE(addBoard(0)); }

    void TearDown() override {
        for (int i = 0; i < HB_MAX_BOARDS; ++i) {
            if (boards_[i] != nullptr) {
                hbFileIoShutdown(boards_[i]);
                hbAcceleratorBoardDestroy(boards_[i]);
                boards_[i] = nullptr;
            }
        }
        hb_FileIoUseCustomerMemory(0);
    }

    // Adds virtual board `index` with an emulated VP, opens it through the
    // library, starts its service and installs the capturing writers.
    void addBoard(int index, bool startService = true) {
        virtualBoards_[index] = &device_->addBoard(index, configForIndex(index));
        // Untraced: a mapped host's shared-memory requests stay copies.
        virtualBoards_[index]->setTracing(false);
        vps_[index] = hb::vboard::attachEmulatedVp(*virtualBoards_[index]);
        boards_[index] = hbAcceleratorBoardCreate(device_->basePath().c_str(), index, 0);
        ASSERT_NE(boards_[index], nullptr);
        if (startService) {
            ASSERT_EQ(hbFileIoStartup(boards_[index]), 0u);
        }
        ASSERT_EQ(hbFileIoSetStdOutFunctions(boards_[index], kWriters[size_t(index)].first,
                                             kWriters[size_t(index)].second),
                  0u);
        clearConsole(index);
    }

    void setCommandLine(int index, const std::vector<std::string>& words) {
        std::vector<const char*> argv;
        for (const auto& w : words) {
            argv.push_back(w.c_str());
        }
        argv.push_back(nullptr);
        ASSERT_EQ(hbFileIoSetCommandLine(boards_[index], argv.data()), 0u);
    }

    // Boots `program` with the command line `program args...`.
    void boot(int index, const std::string& program, const std::vector<std::string>& args = {}) {
        std::vector<std::string> words{program};
        words.insert(words.end(), args.begin(), args.end());
        ASSERT_NO_FATAL_FAILURE(setCommandLine(index, words));
        ASSERT_EQ(hbBootVp(boards_[index], vpImage(program).c_str(), 10.0), 1)
            << "last error " << hbGetLastError();
    }

    struct Run {
        hb::vboard::EmulatedVpStatus status; // of the emulated VP at the end
        int exitStatus = -1;                 // what hbFileIoWaitForVpExit gave
        std::string out, err;
    };

    // Boots `program`, waits (boundedly) until it ends and collects what it
    // did. A program that does not end within a minute is reported Running.
    Run run(int index, const std::string& program, const std::vector<std::string>& args = {}) {
        Run r;
        boot(index, program, args);
        if (::testing::Test::HasFatalFailure()) {
            return r;
        }
        r.status = vps_[index]->waitUntilEnded(60s);
        if (r.status.state == hb::vboard::EmulatedVpState::Halted) {
            // The Exit request is answered before the program rings halt.
            r.exitStatus = hbFileIoWaitForVpExit(boards_[index], 10.0);
        }
        r.out = console(index).first;
        r.err = console(index).second;
        return r;
    }

    std::pair<std::string, std::string> console(int index) {
        ConsoleCapture& c = captures()[size_t(index)];
        std::lock_guard lock(c.mutex);
        return {c.out, c.err};
    }
    void clearConsole(int index) {
        ConsoleCapture& c = captures()[size_t(index)];
        std::lock_guard lock(c.mutex);
        c.out.clear();
        c.err.clear();
    }

    AcceleratorBoard* board(int index = 0) { return boards_[index]; }
    hb::vboard::Board& virtualBoard(int index = 0) { return *virtualBoards_[index]; }
    hb::vboard::EmulatedVp& vp(int index = 0) { return *vps_[index]; }
    std::shared_ptr<hb::vboard::EmulatedVp> vpShared(int index = 0) { return vps_[index]; }
    hb::vboard::Device& device() { return *device_; }
    void destroyDevice() { device_.reset(); }

    // A scratch directory for the programs' files.
    struct Scratch {
        Scratch() {
            std::string pattern =
                (std::filesystem::temp_directory_path() / "hbemu-XXXXXX").string();
            path = ::mkdtemp(pattern.data());
        }
        ~Scratch() {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
        std::string operator/(const std::string& name) const { return path + "/" + name; }
        std::string path;
    };
    Scratch files_;

  private:
    Scratch deviceDirectory_;
    std::unique_ptr<hb::vboard::Device> device_ =
        hb::vboard::Device::create(deviceDirectory_ / "hbboard");
    hb::vboard::Board* virtualBoards_[HB_MAX_BOARDS] = {};
    std::shared_ptr<hb::vboard::EmulatedVp> vps_[HB_MAX_BOARDS];
    AcceleratorBoard* boards_[HB_MAX_BOARDS] = {};
};

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

// Bytes that no two offsets of a short period share, so that a shifted or
// repeated block shows.
inline std::string patternData(size_t size, uint32_t seed) {
    std::string data(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        data[i] = char(x >> 24);
    }
    return data;
}

} // namespace hbtest
