#include "support/pe_image_writer.h"

#include "little_endian.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace hb::test {

namespace {

constexpr uint32_t kDosHeaderSize = 64;
constexpr uint32_t kNtHeadersSize = 248; // signature, file header, 224-byte optional header
constexpr uint32_t kSectionHeaderSize = 40;

void put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
    hb::putLe16(b.data() + at, v);
}
void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    hb::putLe32(b.data() + at, v);
}

uint32_t alignUp(uint32_t value, uint32_t alignment) {
    if (alignment == 0) {
        return value;
    }
    return (value + alignment - 1) / alignment * alignment;
}

} // namespace

std::array<char, 8> PeSection::makeName(const std::string& text) {
    std::array<char, 8> name{};
    std::memcpy(name.data(), text.data(), std::min<size_t>(text.size(), 8));
    return name;
}

PeSection& PeImage::addSection(const std::string& name, uint32_t virtualAddress,
                               std::vector<uint8_t> data, uint32_t characteristics,
                               uint32_t virtualSize) {
    PeSection section;
    section.name = PeSection::makeName(name);
    section.virtualAddress = virtualAddress;
    section.virtualSize = virtualSize != 0 ? virtualSize : static_cast<uint32_t>(data.size());
    section.data = std::move(data);
    section.characteristics = characteristics;
    sections.push_back(std::move(section));
    return sections.back();
}

uint32_t PeImage::rawDataOffset(size_t index) const {
    const uint32_t tableEnd =
        eLfanew + kNtHeadersSize + kSectionHeaderSize * static_cast<uint32_t>(sections.size());
    uint32_t at = alignUp(std::max(tableEnd, kDosHeaderSize), fileAlignment);
    for (size_t i = 0; i < index; ++i) {
        at = alignUp(at + static_cast<uint32_t>(sections[i].data.size()), fileAlignment);
    }
    return at;
}

std::vector<uint8_t> PeImage::build() const {
    const uint32_t tableEnd =
        eLfanew + kNtHeadersSize + kSectionHeaderSize * static_cast<uint32_t>(sections.size());
    uint32_t fileSize = std::max(tableEnd, kDosHeaderSize);
    if (!sections.empty()) {
        fileSize =
            rawDataOffset(sections.size() - 1) + static_cast<uint32_t>(sections.back().data.size());
    }
    std::vector<uint8_t> file(fileSize, 0);

    // Stretch between the MS-DOS header and the NT headers.
    for (uint32_t at = kDosHeaderSize; at < eLfanew && at < fileSize; ++at) {
        file[at] = static_cast<uint8_t>(at & 0xFF);
    }
    if (dosStub) {
        for (size_t i = 0; i < dosStub->size() && kDosHeaderSize + i < fileSize; ++i) {
            file[kDosHeaderSize + i] = (*dosStub)[i];
        }
    }

    put16(file, 0, magic);
    put16(file, 2, 0x0090); // e_cblp, as linkers write it
    put32(file, 60, eLfanew);
    // A few MS-DOS header bytes with values, so a copy can be compared.
    for (uint32_t at = 4; at < 60; at += 2) {
        put16(file, at, static_cast<uint16_t>(0x1100 + at));
    }

    const size_t nt = eLfanew;
    put32(file, nt + 0, signature);
    put16(file, nt + 4, machine);
    put16(file, nt + 6, numberOfSections.value_or(static_cast<uint16_t>(sections.size())));
    put16(file, nt + 20, 224);    // SizeOfOptionalHeader
    put16(file, nt + 22, 0x0103); // relocs stripped, executable, 32-bit
    put16(file, nt + 24, optionalMagic);
    put32(file, nt + 40, entryPoint);
    put32(file, nt + 44, baseOfCode);
    put32(file, nt + 48, baseOfData);
    put32(file, nt + 52, imageBase);
    put32(file, nt + 56, 0x1000);        // SectionAlignment
    put32(file, nt + 60, fileAlignment); // FileAlignment
    put32(file, nt + 116, 16);           // NumberOfRvaAndSizes
    for (size_t i = 0; i < 16; ++i) {
        put32(file, nt + 120 + 8 * i, dataDirectoryAddress[i]);
        put32(file, nt + 124 + 8 * i, dataDirectorySize[i]);
    }

    for (size_t i = 0; i < sections.size(); ++i) {
        const PeSection& s = sections[i];
        const size_t h = nt + kNtHeadersSize + kSectionHeaderSize * i;
        std::memcpy(file.data() + h, s.name.data(), 8);
        put32(file, h + 8, s.virtualSize);
        put32(file, h + 12, s.virtualAddress);
        put32(file, h + 16, s.sizeOfRawData.value_or(static_cast<uint32_t>(s.data.size())));
        put32(file, h + 20, s.pointerToRawData.value_or(s.data.empty() ? 0 : rawDataOffset(i)));
        put32(file, h + 36, s.characteristics);
        if (!s.data.empty()) {
            std::memcpy(file.data() + rawDataOffset(i), s.data.data(), s.data.size());
        }
    }
    return file;
}

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        return false;
    }
    const bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

std::vector<uint8_t> patternBytes(size_t count, uint8_t seed) {
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>((i * 7 + seed + (i >> 8)) & 0xFF);
    }
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

} // namespace hb::test
