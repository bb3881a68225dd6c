// A fresh directory under the system's temporary directory (or another),
// removed with everything in it at the end of the test.
#pragma once

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace hbtest {

class ScratchDirectory {
  public:
    explicit ScratchDirectory(
        const std::filesystem::path& temp = std::filesystem::temp_directory_path()) {
        std::random_device random;
        for (;;) {
            const auto candidate = temp / ("hbfileio-" + std::to_string(random()));
            if (std::filesystem::create_directory(candidate)) {
                path_ = candidate.string();
                break;
            }
        }
    }
    ~ScratchDirectory() {
        std::error_code ignored;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    // `name` may hold further components, separated by '/'.
    std::string operator/(const std::string& name) const {
        return (std::filesystem::path(path_) / std::filesystem::path(name).make_preferred())
            .string();
    }
    const std::string& path() const { return path_; }

    std::string write(const std::string& name, const std::string& content) const {
        const std::string full = *this / name;
        std::ofstream(full, std::ios::binary) << content;
        return full;
    }
    std::string read(const std::string& name) const {
        std::ifstream in(*this / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

  private:
    std::string path_;
};

} // namespace hbtest
