// Downloads a PE32 image into VP memory through monitor commands and starts
// it: context set-up, selected sections at ImageBase + VirtualAddress, the
// headers with their relative addresses made absolute, the start-up block,
// the monitor variables, then MON_START.
#include "boot/boot_internal.h"
#include "little_endian.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace hb {

namespace {

constexpr uint32_t kDosHeaderSize = 64;
constexpr uint32_t kNtHeadersSize = 248; // signature, file header, 224-byte optional header
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kStubStart = 864; // first file byte of the stretch before the NT headers
// Section headers per write of the section table: an image with debugging
// information has more sections than one write carries.
constexpr uint32_t kHeadersPerWrite = HB_MON_WRITE_MAX_DATA / kSectionHeaderSize;
constexpr uint32_t kMaxStub = HB_MON_WRITE_MAX_DATA;
constexpr uint16_t kDosMagic = 0x5A4D;    // "MZ"
constexpr uint32_t kNtSignature = 0x4550; // "PE\0\0"
constexpr uint16_t kMachineI386 = 0x14C;
constexpr uint16_t kPe32Magic = 0x10B; // a PE32+ image has 0x20B and another header layout
constexpr uint32_t kSectionHasCode = 0x20;
constexpr uint32_t kContextMask = 0x7D5; // flag bits cleared in the first context
constexpr uint32_t kStartFlags = 0x202;  // IF and the reserved bit
constexpr uint32_t kNoAddress = 0xFFFFFFFF;

// NT header fields (offsets from e_lfanew).
constexpr uint32_t kNtSignatureAt = 0;
constexpr uint32_t kMachineAt = 4;
constexpr uint32_t kNumberOfSectionsAt = 6;
constexpr uint32_t kOptionalMagicAt = 24;
constexpr uint32_t kEntryPointAt = 40;
constexpr uint32_t kBaseOfCodeAt = 44;
constexpr uint32_t kBaseOfDataAt = 48;
constexpr uint32_t kImageBaseAt = 52;
constexpr uint32_t kDataDirectoryAt = 120;
constexpr uint32_t kDataDirectoryCount = 16;

// Section header fields.
constexpr uint32_t kVirtualSizeAt = 8;
constexpr uint32_t kVirtualAddressAt = 12;
constexpr uint32_t kSizeOfRawDataAt = 16;
constexpr uint32_t kPointerToRawDataAt = 20;
constexpr uint32_t kCharacteristicsAt = 36;

// Replies the loader asks for.
constexpr uint32_t kScratchReplySize = 4;
constexpr uint32_t kDescriptorReplySize = 12;

bool nameIs(const uint8_t* name, const char (&wanted)[7]) {
    // Exactly six characters followed by a zero byte; case counts.
    return std::memcmp(name, wanted, 6) == 0 && name[6] == 0;
}

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

    bool prepareMonitor();
    bool sectionsFit(uint32_t sectionCount, uint32_t tableAt, uint32_t imageBase);
    int loadSection(const uint8_t* header, uint32_t imageBase);
    bool sendSectionTable(uint32_t tableAt, uint32_t sectionCount, uint32_t imageBase);

    const AcceleratorBoard* board_;
    double timeout_;
    std::FILE* file_ = nullptr;
    uint8_t context_[HB_VPCONTEXT_SIZE] = {};
    uint8_t writeCommand_[HB_MON_WRITE_HEADER_SIZE + HB_MON_WRITE_MAX_DATA] = {};
    uint8_t scratch_[kScratchReplySize] = {};
    uint8_t descriptorReply_[kDescriptorReplySize] = {};
    uint8_t dosHeader_[kDosHeaderSize] = {};
    uint8_t ntHeaders_[kNtHeadersSize] = {};
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

// Whether every section that would be loaded has its data in the file and
// ends within the 32-bit address space; checked before anything is sent, so
// that an image claiming more than it holds is refused at once.
bool ImageLoader::sectionsFit(uint32_t sectionCount, uint32_t tableAt, uint32_t imageBase) {
    if (std::fseek(file_, 0, SEEK_END) != 0) {
        return false;
    }
    const long fileSize = std::ftell(file_);
    for (uint32_t i = 0; i < sectionCount; ++i) {
        uint8_t header[kSectionHeaderSize];
        if (fileSize < 0 || !readAt(tableAt + kSectionHeaderSize * i, header, kSectionHeaderSize)) {
            return false;
        }
        const bool loaded = (hb::getLe32(header + kCharacteristicsAt) & kSectionHasCode) != 0 ||
                            nameIs(header, ".idata") || nameIs(header, ".edata");
        const uint64_t size = hb::getLe32(header + kSizeOfRawDataAt);
        if (!loaded || size == 0) {
            continue;
        }
        const uint64_t dataEnd = hb::getLe32(header + kPointerToRawDataAt) + size;
        const uint64_t end = uint64_t{imageBase} + hb::getLe32(header + kVirtualAddressAt) + size;
        if (dataEnd > static_cast<uint64_t>(fileSize) || end > (uint64_t{1} << 32)) {
            return false;
        }
    }
    return true;
}

// Returns 1 when the section was handled, 0 with the load ended.
int ImageLoader::loadSection(const uint8_t* header, uint32_t imageBase) {
    const uint8_t* name = header;
    const uint32_t virtualAddress = hb::getLe32(header + kVirtualAddressAt);
    const uint32_t characteristics = hb::getLe32(header + kCharacteristicsAt);
    uint32_t selector = 0;
    if ((characteristics & kSectionHasCode) != 0) {
        selector = HB_SELECTOR_CODE;
    } else if (nameIs(name, ".idata") || nameIs(name, ".edata")) {
        selector = HB_SELECTOR_DATA;
    } else if (nameIs(name, ".stack")) {
        stackAddress_ = imageBase + virtualAddress;
        hb::putLe32(context_ + HB_VPCONTEXT_STACK_POINTER,
                    imageBase + virtualAddress + hb::getLe32(header + kVirtualSizeAt));
        return 1;
    } else if (nameIs(name, ".debug")) {
        debugAddress_ = imageBase + virtualAddress;
        return 1;
    } else {
        return 1;
    }

    const uint32_t size = hb::getLe32(header + kSizeOfRawDataAt);
    if (size == 0) {
        return 1;
    }
    if (!seekTo(hb::getLe32(header + kPointerToRawDataAt))) {
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

// The section table with every VirtualAddress made absolute: one write of up
// to ten headers (an empty one for no sections), then one per further ten.
// False with the load ended.
bool ImageLoader::sendSectionTable(uint32_t tableAt, uint32_t sectionCount, uint32_t imageBase) {
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
            uint8_t* address = writeData() + kSectionHeaderSize * i + kVirtualAddressAt;
            hb::putLe32(address, hb::getLe32(address) + imageBase);
        }
        if (!sendWrite(imageBase + tableAt + kSectionHeaderSize * sent, HB_SELECTOR_DATA,
                       kSectionHeaderSize * count)) {
            return commandFailed();
        }
        sent += count;
    } while (sent < sectionCount);
    return true;
}

int ImageLoader::load(const char* path) {
    if (!prepareMonitor()) {
        return commandFailed();
    }

    file_ = std::fopen(path, "rb");
    if (file_ == nullptr) {
        return fail(HB_ERROR_PATH_NOT_FOUND);
    }
    if (!readAt(0, dosHeader_, kDosHeaderSize) || hb::getLe16(dosHeader_) != kDosMagic) {
        return fail(HB_ERROR_FILE_NOT_FOUND);
    }
    const uint32_t ntAt = hb::getLe32(dosHeader_ + 60);
    // The stretch up to the NT headers goes as one write: beyond the loader.
    if (ntAt < kStubStart || ntAt > kStubStart + kMaxStub) {
        return fail(HB_ERROR_FILE_NOT_FOUND);
    }
    // Only 32-bit i386 images: the loader reads the PE32 header layout and
    // the VP runs i386 code.
    if (!readAt(ntAt, ntHeaders_, kNtHeadersSize) ||
        hb::getLe32(ntHeaders_ + kNtSignatureAt) != kNtSignature ||
        hb::getLe16(ntHeaders_ + kMachineAt) != kMachineI386 ||
        hb::getLe16(ntHeaders_ + kOptionalMagicAt) != kPe32Magic) {
        return fail(HB_ERROR_FILE_NOT_FOUND);
    }
    const uint32_t sectionCount = hb::getLe16(ntHeaders_ + kNumberOfSectionsAt);
    const uint32_t imageBase = hb::getLe32(ntHeaders_ + kImageBaseAt);
    const uint32_t tableAt = ntAt + kNtHeadersSize;
    if (!sectionsFit(sectionCount, tableAt, imageBase)) {
        return fail(HB_ERROR_FILE_NOT_FOUND);
    }

    // Sections first, in table order.
    for (uint32_t i = 0; i < sectionCount; ++i) {
        uint8_t header[kSectionHeaderSize];
        if (!readAt(tableAt + kSectionHeaderSize * i, header, kSectionHeaderSize)) {
            return fail(HB_ERROR_FILE_NOT_FOUND);
        }
        if (!loadSection(header, imageBase)) {
            return 0;
        }
    }

    // The MS-DOS header, as read.
    std::memcpy(writeData(), dosHeader_, kDosHeaderSize);
    if (!sendWrite(imageBase, HB_SELECTOR_DATA, kDosHeaderSize)) {
        return commandFailed();
    }
    // The file from 864 up to the NT headers; VP bytes 64 .. 863 stay as they are.
    const uint32_t stubSize = ntAt - kStubStart;
    if (!readAt(kStubStart, writeData(), stubSize)) {
        return fail(HB_ERROR_FILE_NOT_FOUND);
    }
    if (!sendWrite(imageBase + kStubStart, HB_SELECTOR_DATA, stubSize)) {
        return commandFailed();
    }
    // The NT headers with their relative addresses made absolute.
    uint8_t* nt = writeData();
    std::memcpy(nt, ntHeaders_, kNtHeadersSize);
    for (uint32_t at : {kEntryPointAt, kBaseOfCodeAt, kBaseOfDataAt}) {
        hb::putLe32(nt + at, hb::getLe32(nt + at) + imageBase);
    }
    for (uint32_t i = 0; i < kDataDirectoryCount; ++i) {
        uint8_t* address = nt + kDataDirectoryAt + 8 * i;
        if (hb::getLe32(address) != 0) {
            hb::putLe32(address, hb::getLe32(address) + imageBase);
        }
    }
    if (!sendWrite(imageBase + ntAt, HB_SELECTOR_DATA, kNtHeadersSize)) {
        return commandFailed();
    }
    if (!sendSectionTable(tableAt, sectionCount, imageBase)) {
        return 0;
    }

    // The final context: entry point, flags, stack top.
    hb::putLe32(context_ + HB_VPCONTEXT_ENTRY_ADDRESS,
                imageBase + hb::getLe32(ntHeaders_ + kEntryPointAt));
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

    if (stackAddress_ == kNoAddress) {
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

} // namespace

int loadVpImage(const AcceleratorBoard* board, const char* path, double timeout) {
    ImageLoader loader(board, timeout);
    return loader.load(path);
}

} // namespace hb
