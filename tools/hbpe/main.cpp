// hbpe: prepares PE32 images for the VP.
//   hbpe check IMAGE                      explains what keeps the host from loading IMAGE
//   hbpe fix IMAGE [-o OUT] [--lfanew N]  moves the headers to N (default 864), then checks
#include "pe_image.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace {

int usage() {
    std::fprintf(stderr, "usage: hbpe check IMAGE\n"
                         "       hbpe fix IMAGE [-o OUT] [--lfanew N]\n");
    return 2;
}

bool readFile(const std::string& path, std::vector<uint8_t>& data) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    data.assign(std::istreambuf_iterator<char>(in), {});
    return !in.bad();
}

void report(const std::string& path, const std::vector<hb::pe::Problem>& problems) {
    for (const auto& p : problems) {
        std::fprintf(stderr, "%s: %s%s\n", path.c_str(), p.text.c_str(),
                     p.fixable ? " (hbpe fix cures this)" : "");
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        return usage();
    }
    const std::string mode = argv[1];
    const std::string input = argv[2];
    std::string output = input;
    uint32_t lfanew = hb::pe::kMinLfanew;
    for (int i = 3; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-o" && i + 1 < argc) {
            output = argv[++i];
        } else if (a == "--lfanew" && i + 1 < argc) {
            char* end = nullptr;
            unsigned long v = std::strtoul(argv[++i], &end, 0);
            if (*end != '\0' || v > 0xFFFFFFFFul) {
                return usage();
            }
            lfanew = uint32_t(v);
        } else {
            return usage();
        }
    }
    std::vector<uint8_t> image;
    if (!readFile(input, image)) {
        std::fprintf(stderr, "%s: cannot read\n", input.c_str());
        return 1;
    }
    if (mode == "check") {
        auto problems = hb::pe::checkImage(image);
        report(input, problems);
        return problems.empty() ? 0 : 1;
    }
    if (mode != "fix") {
        return usage();
    }
    auto fixed = hb::pe::fixImage(image, lfanew);
    if (!fixed.ok) {
        report(input, fixed.problems);
        return 1;
    }
    std::ofstream out(output, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(fixed.image.data()),
              std::streamsize(fixed.image.size()));
    if (!out) {
        std::fprintf(stderr, "%s: cannot write\n", output.c_str());
        return 1;
    }
    return 0;
}
