// The harness keeps the host safe from the fuzzer's paths and descriptors:
// every path field is turned into a name inside a scratch directory (a field
// without a NUL stays without one), and descriptors are taken from those the
// service opened in this run, the two diverted standard ones, or values that
// name nothing. Everything else of the block is posted as the fuzzer made it.
#include "fileio_block_fuzz.h"

#include "hbsys9u.h"
#include "support/request_agent.h"
#include "vboard/board.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace hbfuzz {

namespace {

constexpr uint32_t kBlock = HB_FILEIO_BLOCK_SIZE;
constexpr uint32_t kFence = 256;

int32_t discard(const void*, int32_t length) {
    return length;
}

struct Harness {
    Harness() {
        std::string pattern = (std::filesystem::temp_directory_path() / "hbfuzz-XXXXXX").string();
        root = mkdtemp(pattern.data());
        files = root + "/files/";
        std::filesystem::create_directory(files);
        device = hb::vboard::Device::create(root + "/board");
        virtualBoard = &device->addBoard(0, {});
        board = hbAcceleratorBoardCreate(device->basePath().c_str(), 0, 0);
        if (board == nullptr || hbFileIoStartup(board) != 0) {
            std::fprintf(stderr, "fuzz harness: no service\n");
            std::abort();
        }
        hbFileIoSetStdOutFunctions(board, discard, discard);
        agent = std::make_unique<hbtest::RequestAgent>(*virtualBoard);
    }

    ~Harness() {
        hbFileIoShutdown(board);
        hbAcceleratorBoardDestroy(board);
        agent.reset();
        device.reset();
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }

    void rewritePath(uint8_t* field) const {
        const uint8_t* end = std::find(field, field + HB_FILEIO_PATH_SIZE, uint8_t{0});
        const bool terminated = end != field + HB_FILEIO_PATH_SIZE;
        std::string name;
        for (const uint8_t* c = field; c != end && name.size() < 16; ++c)
            name += (*c == '/' || *c < 32) ? '_' : (*c == '.' && name.empty() ? '_' : char(*c));
        std::string path = files + name;
        std::memset(field, 0, HB_FILEIO_PATH_SIZE);
        std::memcpy(field, path.data(), path.size());
        if (!terminated) // keep the field full, with no NUL in it
            std::memset(field + path.size(), 'x', HB_FILEIO_PATH_SIZE - path.size());
    }

    void rewriteDescriptor(uint8_t* word) const {
        const uint32_t choice = word[0] % 4;
        int32_t descriptor = -1;
        if (choice == 0 && !opened.empty())
            descriptor = opened[word[1] % opened.size()];
        else if (choice == 1)
            descriptor = 1 + (word[1] & 1);
        else if (choice == 2)
            descriptor = 100000 + word[1];
        std::memcpy(word, &descriptor, 4);
    }

    void sanitise(uint8_t* block) const {
        uint32_t code;
        std::memcpy(&code, block, 4);
        switch (code) {
        case FileIoRequest_Open:
        case FileIoRequest_Open2:
        case FileIoRequest_Delete:
        case FileIoRequest_FindFirst:
        case FileIoRequest_Attributes:
            rewritePath(block + 4);
            break;
        case FileIoRequest_Rename:
            rewritePath(block + 4);
            rewritePath(block + 265);
            break;
        case FileIoRequest_Read:
        case FileIoRequest_Write:
        case FileIoRequest_Close:
        case FileIoRequest_Seek:
            rewriteDescriptor(block + 4);
            break;
        default:
            break;
        }
    }

    std::vector<uint8_t> around(const hbtest::FileIoLayout& where) const {
        std::vector<uint8_t> bytes(2 * kFence);
        virtualBoard->readShared(where.offset - kFence, bytes.data(), kFence);
        virtualBoard->readShared(where.offset + where.size, bytes.data() + kFence, kFence);
        return bytes;
    }

    void post(uint8_t* block) {
        sanitise(block);
        uint32_t code;
        std::memcpy(&code, block, 4);
        const hbtest::FileIoLayout where = agent->layout();
        const std::vector<uint8_t> before = around(where);
        if (!agent->post(block, kBlock)) {
            std::fprintf(stderr, "fuzz: request %u not answered\n", code);
            std::abort();
        }
        if (around(where) != before) {
            std::fprintf(stderr, "fuzz: request %u wrote outside the file-I/O buffer\n", code);
            std::abort();
        }
        uint32_t argument;
        std::memcpy(&argument, block + 4, 4);
        if (code == FileIoRequest_Open || code == FileIoRequest_Open2) {
            const int32_t descriptor = static_cast<int32_t>(agent->word(4));
            if (descriptor >= 0)
                opened.push_back(descriptor);
        } else if (code == FileIoRequest_Close) {
            std::erase(opened, static_cast<int32_t>(argument));
        } else if (code == FileIoRequest_FindFirst) {
            const uint32_t search = agent->word(284);
            if (search != 0xFFFFFFFFu)
                searches.push_back(search);
        } else if (code == FileIoRequest_UseCustomerMemory) {
            agent->setCustomerMemory(argument != 0);
        }
    }

    // Leaves the service as the next input expects it.
    void reset() {
        for (const int32_t descriptor : opened)
            agent->close(descriptor);
        opened.clear();
        for (const uint32_t search : searches)
            agent->findClose(search);
        searches.clear();
        if (agent->layout().offset != hbtest::fileIoLayout(virtualBoard->config(), false).offset)
            agent->useCustomerMemory(0);
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(files, ignored)) {
            std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ignored);
            std::filesystem::remove_all(entry.path(), ignored);
        }
    }

    std::string root, files;
    std::unique_ptr<hb::vboard::Device> device;
    hb::vboard::Board* virtualBoard = nullptr;
    AcceleratorBoard* board = nullptr;
    std::unique_ptr<hbtest::RequestAgent> agent;
    std::vector<int32_t> opened;
    std::vector<uint32_t> searches;
};

Harness& harness() {
    static Harness instance; // lives for the process, like the fuzzer's
    return instance;
}

} // namespace

void postFileIoBlocks(const uint8_t* data, size_t size) {
    Harness& h = harness();
    for (size_t at = 0; at < size && at < 16 * kBlock; at += kBlock) {
        uint8_t block[kBlock] = {};
        std::memcpy(block, data + at, std::min<size_t>(kBlock, size - at));
        h.post(block);
    }
    h.reset();
}

} // namespace hbfuzz
