// The test-image writer puts every field where the PE32 loader reads it.
#include "support/pe_image_writer.h"

#include "little_endian.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using namespace hb::test;

uint32_t get32(const std::vector<uint8_t>& b, size_t at) {
    return hb::getLe32(b.data() + at);
}
uint16_t get16(const std::vector<uint8_t>& b, size_t at) {
    return hb::getLe16(b.data() + at);
}

TEST(PeImageWriter, HeadersAndSectionsStandWhereTheLoaderReadsThem) {
    PeImage image = referenceImage();
    image.eLfanew = 1000;
    image.dataDirectoryAddress[5] = 0x7000;
    const auto file = image.build();

    EXPECT_EQ(get16(file, 0), 0x5A4D);
    EXPECT_EQ(get32(file, 60), 1000u);
    EXPECT_EQ(file[900], 900 & 0xFF) << "stub pattern between the headers";
    EXPECT_EQ(get32(file, 1000), 0x4550u);
    EXPECT_EQ(get16(file, 1000 + 6), image.sections.size());
    EXPECT_EQ(get32(file, 1000 + 40), 0x1010u);
    EXPECT_EQ(get32(file, 1000 + 52), 0x400000u);
    EXPECT_EQ(get32(file, 1000 + 120 + 8 * 5), 0x7000u);

    for (size_t i = 0; i < image.sections.size(); ++i) {
        const size_t h = 1000 + 248 + 40 * i;
        const PeSection& s = image.sections[i];
        EXPECT_EQ(std::memcmp(file.data() + h, s.name.data(), 8), 0);
        EXPECT_EQ(get32(file, h + 12), s.virtualAddress);
        EXPECT_EQ(get32(file, h + 16), s.data.size());
        EXPECT_EQ(get32(file, h + 36), s.characteristics);
        if (!s.data.empty()) {
            const uint32_t at = get32(file, h + 20);
            EXPECT_EQ(at, image.rawDataOffset(i));
            EXPECT_EQ(std::memcmp(file.data() + at, s.data.data(), s.data.size()), 0);
        }
    }
}

TEST(PeImageWriter, OverridesWriteValuesAWellFormedImageWouldNotHave) {
    PeImage image;
    image.numberOfSections = 60000;
    image.signature = 0x12345678;
    PeSection& s = image.addSection(".idataXY", 0x1000, {1, 2, 3}, kSectionInitialized);
    s.sizeOfRawData = 0xFFFFFFFF;
    s.pointerToRawData = 0x7FFFFFF0;
    const auto file = image.build();
    const size_t h = image.eLfanew + 248;
    EXPECT_EQ(get16(file, image.eLfanew + 6), 60000);
    EXPECT_EQ(get32(file, image.eLfanew), 0x12345678u);
    EXPECT_EQ(std::memcmp(file.data() + h, ".idataXY", 8), 0);
    EXPECT_EQ(get32(file, h + 16), 0xFFFFFFFFu);
    EXPECT_EQ(get32(file, h + 20), 0x7FFFFFF0u);
}

} // namespace
