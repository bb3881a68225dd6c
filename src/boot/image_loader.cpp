// Downloads a PE32 image into VP memory through monitor commands and starts
// it: context set-up, selected sections at ImageBase + VirtualAddress, the
// headers with their relative addresses made absolute, the start-up block,
// the monitor variables, then MON_START.
#include "boot/boot_internal.h"
#include "little_endian.h"
#include "vp_image_rules.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace hb {

namespace {

using vpimage::kDosHeaderSize;
using vpimage::kNtHeadersSize;
using vpimage::kSectionHeaderSize;
constexpr uint32_t kStubStart =
    vpimage::kMinLfanew; // first file byte of the stretch before the NT headers
// Section headers per write of the section table: an image with debugging
// information has more sections than one write carries.
constexpr uint32_t kHeadersPerWrite = HB_MON_WRITE_MAX_DATA / kSectionHeaderSize;
constexpr uint32_t kContextMask = 0x7D5; // flag bits cleared in the first context
constexpr uint32_t kStartFlags = 0x202;  // IF and the reserved bit
constexpr uint32_t kNoAddress = 0xFFFFFFFF;

// NT header fields (offsets from e_lfanew) the loader makes absolute.
constexpr uint32_t kEntryPointAt = 40;
constexpr uint32_t kBaseOfCodeAt = 44;
constexpr uint32_t kBaseOfDataAt = 48;
constexpr uint32_t kDataDirectoryAt = 120;
constexpr uint32_t kDataDirectoryCount = 16;

// Replies the loader asks for.
constexpr uint32_t kScratchReplySize = 4;
constexpr uint32_t kDescriptorReplySize = 12;

class ImageLoader {
  public:
    ImageLoader(const AcceleratorBoard* board, double timeout) : board_(board), timeout_(timeout) {}
    ~ImageLoader() { closeFile(); }
    ImageLoader(const ImageLoader&) = delete;
    ImageLoader& operator=(const ImageLoader&) = delete;

    int load(const char* path);

  private:
    // Ends the load: the file is closed first, so the code set here is the
    // one the caller sees.
    int fail(uint32_t code) {
        closeFile();
        hbSetLastError(code);
        return 0;
    }
    // A monitor command failed: hb_SendRawData has set the last error.
    int commandFailed() {
        const uint32_t code = hbGetLastError();
        closeFile();
        hbSetLastError(code);
        return 0;
    }
    void closeFile() {
        if (file_ != nullptr) {
            std::fclose(file_);
            file_ = nullptr;
        }
    }

    bool send(const uint8_t* request, uint32_t size, void* reply, uint32_t capacity) {
        return hb_SendRawData(board_, request, size, reply, capacity, &breakRequest_, timeout_) !=
               0;
    }
    bool sendHeaderOnly(uint32_t opcode) {
        uint8_t request[4];
        hb::putLe16(request, sizeof request);
        hb::putLe16(request + 2, opcode);
        return send(request, sizeof request, scratch_, kScratchReplySize);
    }
    bool setVariable(uint32_t index, uint32_t value) {
        uint8_t request[16];
        hb::putLe16(request, sizeof request);
        hb::putLe16(request + 2, MON_SET_VARIABLE);
        hb::putLe32(request + 4, index);
        hb::putLe32(request + 8, 4);
        hb::putLe32(request + 12, value);
        return send(request, sizeof request, scratch_, kScratchReplySize);
    }
    // The n data bytes must already stand at writeCommand_ + 14.
    bool sendWrite(uint32_t address, uint32_t selector, uint32_t count) {
        hb::putLe16(writeCommand_, HB_MON_WRITE_HEADER_SIZE + count);
        hb::putLe16(writeCommand_ + 2, MON_WRITE_MEMORY);
        hb::putLe32(writeCommand_ + 4, address);
        hb::putLe16(writeCommand_ + 8, selector);
        hb::putLe32(writeCommand_ + 10, count);
        return send(writeCommand_, HB_MON_WRITE_HEADER_SIZE + count, scratch_, kScratchReplySize);
    }
    uint8_t* writeData() { return writeCommand_ + HB_MON_WRITE_HEADER_SIZE; }
    bool sendContext() {
        hb::putLe16(context_, HB_VPCONTEXT_SIZE);
        hb::putLe16(context_ + 2, MON_SET_CONTEXT);
        return send(context_, HB_VPCONTEXT_SIZE, scratch_, kScratchReplySize);
    }

    // Seeks from the start of the file; offsets fseek cannot take count as
    // failed seeks.
    bool seekTo(uint32_t offset) {
        const long at = static_cast<long>(offset); // negative where long has 32 bits
        return at >= 0 && std::fseek(file_, at, SEEK_SET) == 0;
    }
    // Reads exactly `size` bytes from `offset`.
    bool readAt(uint32_t offset, void* buffer, uint32_t size) {
        return seekTo(offset) && readNext(buffer, size);
    }
    bool readNext(void* buffer, uint32_t size) {
        return size == 0 || std::fread(buffer, 1, size, file_) == size;
    }

    bool readAt(uint64_t offset, void* buffer, uint32_t size) {
        return offset <= UINT32_MAX && readAt(static_cast<uint32_t>(offset), buffer, size);
    }

    bool prepareMonitor();
    bool imageAccepted();
    bool sendSections();
    int loadSection(const uint8_t* header);
    bool sendHeaders();
    bool sendSectionTable();
    int startImage();

    const AcceleratorBoard* board_;
    double timeout_;
    std::FILE* file_ = nullptr;
    uint8_t context_[HB_VPCONTEXT_SIZE] = {};
    uint8_t writeCommand_[HB_MON_WRITE_HEADER_SIZE + HB_MON_WRITE_MAX_DATA] = {};
    uint8_t scratch_[kScratchReplySize] = {};
    uint8_t descriptorReply_[kDescriptorReplySize] = {};
    vpimage::Headers headers_;
    uint32_t stackAddress_ = kNoAddress;
    uint32_t debugAddress_ = kNoAddress;
    volatile int32_t breakRequest_ = 0; // the loader never asks for a break
};

bool ImageLoader::prepareMonitor() {
    if (!setVariable(0, 0) || !setVariable(6, 1) || !sendHeaderOnly(MON_PREPARE)) {
        return false;
    }
    uint8_t request[4];
    hb::putLe16(request, sizeof request);
    hb::putLe16(request + 2, MON_GET_CONTEXT);
    // A short reply leaves zeros behind it, never stale bytes.
    std::memset(context_, 0, sizeof context_);
    if (!send(request, sizeof request, context_, HB_VPCONTEXT_SIZE)) {
        return false;
    }
    hb::putLe16(context_ + 4, 0);
    hb::putLe32(context_ + 6, 0);
    hb::putLe16(context_ + 10, 1);
    for (uint32_t at = 12; at <= 36; at += 4) {
        hb::putLe32(context_ + at, 0);
    }
    hb::putLe32(context_ + HB_VPCONTEXT_STACK_POINTER, 0);
    hb::putLe16(context_ + HB_VPCONTEXT_CODE_SELECTOR, HB_SELECTOR_CODE);
    hb::putLe16(context_ + HB_VPCONTEXT_DATA_SELECTOR, HB_SELECTOR_DATA);
    hb::putLe16(context_ + 48, HB_SELECTOR_DATA);
    hb::putLe16(context_ + 50, HB_SELECTOR_DATA);
    hb::putLe16(context_ + HB_VPCONTEXT_STARTUP_SELECTOR, HB_SELECTOR_STARTUP);
    hb::putLe16(context_ + 54, HB_SELECTOR_DATA);
    hb::putLe32(context_ + HB_VPCONTEXT_ENTRY_ADDRESS, 0);
    hb::putLe32(context_ + HB_VPCONTEXT_FLAGS,
                hb::getLe32(context_ + HB_VPCONTEXT_FLAGS) & ~kContextMask);
    return sendContext();
}

// Whether the loader takes the image: its headers and every section it
// would load, checked before anything is sent, so that an image claiming
// more than it holds is refused at once.
bool ImageLoader::imageAccepted() {
    const vpimage::ReadAt read = [this](uint64_t offset, void* to, uint32_t size) {
        return readAt(offset, to, size);
    };
    if (!vpimage::dosHeaderRefusal(read, headers_).empty() ||
        !vpimage::lfanewRefusal(headers_).empty() ||
        !vpimage::ntHeadersRefusal(read, headers_).empty() ||
        !vpimage::imageKindRefusals(headers_).empty()) {
        return false;
    }
    if (std::fseek(file_, 0, SEEK_END) != 0) {
        return false;
    }
    const long fileSize = std::ftell(file_);
    return fileSize >= 0 &&
           vpimage::sectionRefusals(read, static_cast<uint64_t>(fileSize), headers_).empty();
}

// The sections, in table order. False with the load ended.
bool ImageLoader::sendSections() {
    for (uint32_t i = 0; i < headers_.sectionCount; ++i) {
        uint8_t header[kSectionHeaderSize];
        if (!readAt(uint64_t{headers_.tableAt()} + kSectionHeaderSize * i, header,
                    kSectionHeaderSize)) {
            fail(HB_ERROR_FILE_NOT_FOUND);
            return false;
        }
        if (!loadSection(header)) {
            return false;
        }
    }
    return true;
}

// Returns 1 when the section was handled, 0 with the load ended.
int ImageLoader::loadSection(const uint8_t* header) {
    const uint32_t imageBase = headers_.imageBase;
    const uint32_t virtualAddress = hb::getLe32(header + vpimage::kVirtualAddressAt);
    uint32_t selector = 0;
    switch (vpimage::classify(header)) {
    case vpimage::Load::Code:
        selector = HB_SELECTOR_CODE;
        break;
    case vpimage::Load::Data:
        selector = HB_SELECTOR_DATA;
        break;
    case vpimage::Load::Stack:
        stackAddress_ = imageBase + virtualAddress;
        hb::putLe32(context_ + HB_VPCONTEXT_STACK_POINTER,
                    imageBase + virtualAddress + hb::getLe32(header + vpimage::kVirtualSizeAt));
        return 1;
    case vpimage::Load::Debug:
        debugAddress_ = imageBase + virtualAddress;
        return 1;
    case vpimage::Load::Skipped:
        return 1;
    }

    const uint32_t size = hb::getLe32(header + vpimage::kSizeOfRawDataAt);
    if (size == 0) {
        return 1;
    }
    if (!seekTo(hb::getLe32(header + vpimage::kPointerToRawDataAt))) {
        return fail(HB_ERROR_FILE_NOT_FOUND);
    }
    for (uint32_t sent = 0; sent < size;) {
        const uint32_t remaining = size - sent;
        const uint32_t n = remaining < HB_MON_WRITE_MAX_DATA ? remaining : HB_MON_WRITE_MAX_DATA;
        if (!readNext(writeData(), n)) {
            return fail(HB_ERROR_FILE_NOT_FOUND);
        }
        if (!sendWrite(imageBase + virtualAddress + sent, selector, n)) {
            return commandFailed();
        }
        sent += n;
    }
    return 1;
}

// The MS-DOS header as read, the file from 864 up to the NT headers (VP
// bytes 64 .. 863 stay as they are), the NT headers and the section table
// with their relative addresses made absolute. False with the load ended.
bool ImageLoader::sendHeaders() {
    const uint32_t imageBase = headers_.imageBase;
    std::memcpy(writeData(), headers_.dos, kDosHeaderSize);
    if (!sendWrite(imageBase, HB_SELECTOR_DATA, kDosHeaderSize)) {
        return commandFailed();
    }
    const uint32_t stubSize = headers_.lfanew - kStubStart;
    if (!readAt(kStubStart, writeData(), stubSize)) {
        return fail(HB_ERROR_FILE_NOT_FOUND);
    }
    if (!sendWrite(imageBase + kStubStart, HB_SELECTOR_DATA, stubSize)) {
        return commandFailed();
    }
    uint8_t* nt = writeData();
    std::memcpy(nt, headers_.nt, kNtHeadersSize);
    for (uint32_t at : {kEntryPointAt, kBaseOfCodeAt, kBaseOfDataAt}) {
        hb::putLe32(nt + at, hb::getLe32(nt + at) + imageBase);
    }
    for (uint32_t i = 0; i < kDataDirectoryCount; ++i) {
        uint8_t* address = nt + kDataDirectoryAt + 8 * i;
        if (hb::getLe32(address) != 0) {
            hb::putLe32(address, hb::getLe32(address) + imageBase);
        }
    }
    if (!sendWrite(imageBase + headers_.lfanew, HB_SELECTOR_DATA, kNtHeadersSize)) {
        return commandFailed();
    }
    return sendSectionTable();
}

// The section table with every VirtualAddress made absolute: one write of up
// to ten headers (an empty one for no sections), then one per further ten.
// False with the load ended.
bool ImageLoader::sendSectionTable() {
    const uint32_t tableAt = headers_.tableAt();
    const uint32_t sectionCount = headers_.sectionCount;
    if (!seekTo(tableAt)) {
        return fail(HB_ERROR_FILE_NOT_FOUND);
    }
    uint32_t sent = 0;
    do {
        const uint32_t count = std::min(sectionCount - sent, kHeadersPerWrite);
        if (!readNext(writeData(), kSectionHeaderSize * count)) {
            return fail(HB_ERROR_FILE_NOT_FOUND);
        }
        for (uint32_t i = 0; i < count; ++i) {
            uint8_t* address = writeData() + kSectionHeaderSize * i + vpimage::kVirtualAddressAt;
            hb::putLe32(address, hb::getLe32(address) + headers_.imageBase);
        }
        if (!sendWrite(headers_.imageBase + tableAt + kSectionHeaderSize * sent, HB_SELECTOR_DATA,
                       kSectionHeaderSize * count)) {
            return commandFailed();
        }
        sent += count;
    } while (sent < sectionCount);
    return true;
}

// The final context (entry point, flags, stack top), the start-up block at
// the base of the start-up segment, the monitor variables, then MON_START.
int ImageLoader::startImage() {
    hb::putLe32(context_ + HB_VPCONTEXT_ENTRY_ADDRESS,
                headers_.imageBase + hb::getLe32(headers_.nt + kEntryPointAt));
    hb::putLe32(context_ + HB_VPCONTEXT_FLAGS, kStartFlags);
    if (!sendContext()) {
        return commandFailed();
    }

    uint8_t request[10];
    hb::putLe16(request, sizeof request);
    hb::putLe16(request + 2, MON_GET_DESCRIPTOR);
    hb::putLe16(request + 4, HB_SELECTOR_STARTUP);
    hb::putLe32(request + 6, 1);
    if (!send(request, sizeof request, descriptorReply_, kDescriptorReplySize)) {
        return commandFailed();
    }
    // Base bits 0..15 and 16..23 of the descriptor that follows the header.
    const uint32_t segmentBase =
        hb::getLe16(descriptorReply_ + 6) | (static_cast<uint32_t>(descriptorReply_[8]) << 16);

    if (!vpimage::stackRefusal(stackAddress_ != kNoAddress).empty()) {
        return fail(HB_ERROR_FILE_NOT_FOUND);
    }

    hb::putLe32(writeData(), 0xFFFFFFFF);
    hb::putLe32(writeData() + 4, debugAddress_);
    hb::putLe32(writeData() + 8, stackAddress_);
    if (!sendWrite(segmentBase, HB_SELECTOR_DATA, sizeof(VpStartupBlock))) {
        return commandFailed();
    }

    if (!setVariable(7, 0) || !setVariable(2, 0) || !setVariable(3, 0) || !setVariable(5, 4096) ||
        !setVariable(6, 0)) {
        return commandFailed();
    }

    uint8_t start[4];
    hb::putLe16(start, sizeof start);
    hb::putLe16(start + 2, MON_START);
    if (!postRawData(board_, start, sizeof start)) {
        return fail(HB_ERROR_TIMEOUT);
    }
    closeFile();
    return 1;
}

int ImageLoader::load(const char* path) {
    if (!prepareMonitor()) {
        return commandFailed();
    }
    file_ = std::fopen(path, "rb");
    if (file_ == nullptr) {
        return fail(HB_ERROR_PATH_NOT_FOUND);
    }
    if (!imageAccepted()) {
        return fail(HB_ERROR_FILE_NOT_FOUND);
    }
    if (!sendSections() || !sendHeaders()) {
        return 0;
    }
    return startImage();
}

} // namespace

int loadVpImage(const AcceleratorBoard* board, const char* path, double timeout) {
    ImageLoader loader(board, timeout);
    return loader.load(path);
}

} // namespace hb
