// hbpe: prepares PE32 images for the VP.
//   hbpe check IMAGE                      explains what keeps the host from loading IMAGE
//   hbpe fix IMAGE [-o OUT] [--lfanew N]  moves the headers to N (default 864), then checks
// Exit status: 0 the image is fine (or fixed); 1 the loader refuses it, one
// line per reason in the loader's words; 2 a usage error; 125 a file that
// cannot be read or written. Warnings (what the loader takes but the program
// would not run as built) are one line each and leave the status as it is.
#include "pe_image.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

constexpr int kProblems = 1;
constexpr int kUsage = 2;
constexpr int kCannot = 125;

constexpr const char* kUsageText = "usage: hbpe check IMAGE\n"
                                   "       hbpe fix IMAGE [-o OUT] [--lfanew N]\n"
                                   "exit status: 0 fine; 1 the loader refuses the image (one "
                                   "line per reason); 2 usage; 125 a file that cannot be read "
                                   "or written; warnings (one line each) leave the status as "
                                   "it is\n";

// A usage error: one line with the reason.
int usage(const std::string& reason) {
    std::fprintf(stderr, "hbpe: %s (see hbpe --help)\n", reason.c_str());
    return kUsage;
}

// The whole file, or the reason why not ("it is a directory", the system's
// words for a failed open or read).
std::string readFile(const std::string& path, std::vector<uint8_t>& data) {
    std::error_code ignored;
    if (std::filesystem::is_directory(path, ignored)) {
        return "it is a directory";
    }
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return errno != 0 ? std::strerror(errno) : "it cannot be opened";
    }
    try {
        data.assign(std::istreambuf_iterator<char>(in), {});
    } catch (const std::exception&) {
        return "it cannot be read";
    }
    return in.bad() ? "it cannot be read" : "";
}

// The loader's refusals ("IMAGE: reason"), then the warnings ("hbpe: IMAGE:
// warning: what"), one line each.
void report(const std::string& path, const std::vector<hb::pe::Problem>& refusals,
            const std::vector<hb::pe::Problem>& warnings) {
    const char* cure = " (hbpe fix cures this)";
    for (const auto& p : refusals) {
        std::fprintf(stderr, "%s: %s%s\n", path.c_str(), p.text.c_str(), p.fixable ? cure : "");
    }
    for (const auto& p : warnings) {
        std::fprintf(stderr, "hbpe: %s: warning: %s%s\n", path.c_str(), p.text.c_str(),
                     p.fixable ? cure : "");
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsageText, stdout);
        return 0;
    }
    if (argc < 3) {
        return usage("a mode (check or fix) and an image are required");
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
            if (*end != '\0' || argv[i][0] == '-' || v > 0xFFFFFFFFul) {
                return usage("--lfanew: '" + std::string(argv[i]) + "' is not a whole number");
            }
            lfanew = uint32_t(v);
        } else {
            return usage("unknown argument '" + a + "'");
        }
    }
    if (mode != "check" && mode != "fix") {
        return usage("unknown mode '" + mode + "'");
    }
    std::vector<uint8_t> image;
    if (const std::string why = readFile(input, image); !why.empty()) {
        std::fprintf(stderr, "hbpe: cannot read '%s': %s\n", input.c_str(), why.c_str());
        return kCannot;
    }
    if (mode == "check") {
        const auto findings = hb::pe::checkImage(image);
        report(input, findings.refusals, findings.warnings);
        return findings.refusals.empty() ? 0 : kProblems;
    }
    auto fixed = hb::pe::fixImage(image, lfanew);
    if (!fixed.ok) {
        report(input, fixed.problems, fixed.warnings);
        return kProblems;
    }
    std::ofstream out(output, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(fixed.image.data()),
              std::streamsize(fixed.image.size()));
    if (!out) {
        std::fprintf(stderr, "hbpe: cannot write '%s'\n", output.c_str());
        return kCannot;
    }
    report(output, {}, fixed.warnings);
    return 0;
}
