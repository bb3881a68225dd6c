// Writes the seed images of the loader fuzz corpus: make_loader_seeds DIR.
#include "support/pe_image_writer.h"

#include <cstdio>
#include <string>

using namespace hb::test;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    int failures = 0;
    auto emit = [&](const std::string& name, const PeImage& image) {
        failures += writeFile(dir + "/" + name, image.build()) ? 0 : 1;
    };

    emit("reference", referenceImage());

    PeImage minimal;
    minimal.addSection(".text", 0x1000, patternBytes(16, 1), kSectionCode);
    minimal.addSection(".stack", 0x2000, {}, kSectionUninitialized, 0x1000);
    minimal.fileAlignment = 16;
    emit("minimal", minimal);

    PeImage lowest = minimal;
    lowest.eLfanew = 864;
    emit("lfanew-864", lowest);
    PeImage highest = minimal;
    highest.eLfanew = 1264;
    emit("lfanew-1264", highest);

    PeImage noStack;
    noStack.addSection(".text", 0x1000, patternBytes(8, 2), kSectionCode);
    noStack.fileAlignment = 16;
    emit("no-stack", noStack);

    PeImage ten = minimal;
    for (int i = 0; i < 8; ++i) {
        ten.addSection(i % 2 ? ".idata" : ".edata", 0x3000 + 0x100 * i, patternBytes(24, i),
                       kSectionInitialized);
    }
    emit("ten-sections", ten);

    PeImage big = minimal;
    big.sections[0].data = patternBytes(1201, 3);
    emit("three-writes", big);

    PeImage cutSection = minimal;
    cutSection.sections[0].sizeOfRawData = 0x10000;
    emit("raw-size-past-end", cutSection);
    return failures == 0 ? 0 : 1;
}
