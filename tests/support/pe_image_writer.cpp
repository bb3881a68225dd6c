// The PE32 image writer of the tests (pe_image_writer.h).
#include "support/pe_image_writer.h"

#include "little_endian.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace hb::test {

PeSection& PeImage::addSection(const std::string& name, uint32_t virtualAddress,
                               std::vector<uint8_t> data, uint32_t characteristics,
                               uint32_t virtualSize) {
    PeSection& s = sections.emplace_back();
    std::memcpy(s.name.data(), name.data(), std::min<size_t>(name.size(), 8));
    s.virtualAddress = virtualAddress;
    s.virtualSize = virtualSize != 0 ? virtualSize : static_cast<uint32_t>(data.size());
    s.data = std::move(data);
    s.characteristics = characteristics;
    return s;
}

std::vector<uint8_t> PeImage::build() const {
    const auto alignUp = [this](uint32_t v) {
        return fileAlignment == 0 ? v : (v + fileAlignment - 1) / fileAlignment * fileAlignment;
    };
    const size_t nt = eLfanew;
    uint32_t end =
        std::max<uint32_t>(eLfanew + 248 + 40 * static_cast<uint32_t>(sections.size()), 64);
    std::vector<uint32_t> dataAt;
    for (const PeSection& s : sections) {
        dataAt.push_back(alignUp(end));
        end = s.data.empty() ? end : dataAt.back() + static_cast<uint32_t>(s.data.size());
    }
    std::vector<uint8_t> file(end);
    for (uint32_t at = 64; at < eLfanew && at < file.size(); ++at)
        file[at] = static_cast<uint8_t>(at & 0xFF);
    // MS-DOS header fields with values, so a copy can be compared.
    for (uint32_t at = 2; at < 60; at += 2)
        putLe16(&file[at], static_cast<uint16_t>(0x1100 + at));
    putLe16(&file[0], 0x5A4D); // "MZ"
    putLe32(&file[60], eLfanew);
    putLe32(&file[nt], 0x00004550); // "PE\0\0"
    putLe16(&file[nt + 4], 0x014C); // i386
    putLe16(&file[nt + 6], static_cast<uint16_t>(sections.size()));
    putLe16(&file[nt + 20], 224);    // SizeOfOptionalHeader
    putLe16(&file[nt + 22], 0x0103); // relocs stripped, executable, 32-bit
    putLe16(&file[nt + 24], 0x010B); // PE32
    putLe32(&file[nt + 40], entryPoint);
    putLe32(&file[nt + 44], baseOfCode);
    putLe32(&file[nt + 48], baseOfData);
    putLe32(&file[nt + 52], imageBase);
    putLe32(&file[nt + 56], 0x1000); // SectionAlignment
    putLe32(&file[nt + 60], fileAlignment);
    putLe32(&file[nt + 84], sections.empty() ? alignUp(end) : dataAt[0]); // SizeOfHeaders
    putLe32(&file[nt + 116], 16);                                         // NumberOfRvaAndSizes
    for (size_t i = 0; i < 16; ++i) {
        putLe32(&file[nt + 120 + 8 * i], dataDirectoryAddress[i]);
        putLe32(&file[nt + 124 + 8 * i], dataDirectorySize[i]);
    }
    for (size_t i = 0; i < sections.size(); ++i) {
        const PeSection& s = sections[i];
        uint8_t* h = &file[nt + 248 + 40 * i];
        std::memcpy(h, s.name.data(), 8);
        putLe32(h + 8, s.virtualSize);
        putLe32(h + 12, s.virtualAddress);
        putLe32(h + 16, s.sizeOfRawData.value_or(static_cast<uint32_t>(s.data.size())));
        putLe32(h + 20, s.data.empty() ? 0 : dataAt[i]);
        putLe32(h + 36, s.characteristics);
        std::copy(s.data.begin(), s.data.end(), file.begin() + dataAt[i]);
    }
    return file;
}

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    const bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

std::vector<uint8_t> patternBytes(size_t count, uint8_t seed) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<uint8_t>((i * 7 + seed + (i >> 8)) & 0xFF);
    return bytes;
}

PeImage referenceImage() {
    PeImage image;
    image.entryPoint = 0x1010;
    image.dataDirectoryAddress[1] = 0x3000; // import table
    image.dataDirectorySize[1] = 0x28;
    image.addSection(".text", 0x1000, patternBytes(1000, 1),
                     kSectionCode | kSectionExecute | kSectionRead);
    image.addSection(".idata", 0x3000, patternBytes(64, 2), kSectionInitialized | kSectionRead);
    image.addSection(".data", 0x4000, patternBytes(32, 3),
                     kSectionInitialized | kSectionRead | kSectionWrite);
    image.addSection(".stack", 0x10000, {}, kSectionUninitialized | kSectionRead | kSectionWrite,
                     0x8000);
    image.addSection(".debug", 0x20000, patternBytes(16, 4), kSectionInitialized | kSectionRead);
    return image;
}

PeImage linkedProgram() {
    PeImage p;
    p.eLfanew = 0x78;
    p.imageBase = 0x100000;
    p.addSection(".text", 0x1000, patternBytes(0x345, 1),
                 kSectionCode | kSectionExecute | kSectionRead | kSectionWrite);
    p.addSection(".stack", 0x2000, {}, kSectionUninitialized | kSectionRead | kSectionWrite,
                 0x4000);
    return p;
}

} // namespace hb::test
