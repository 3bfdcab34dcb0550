#pragma once
#include <cstdint>
#include <cstdio>
#include <random>
#include <system_error>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace quennet::testing {

// A fresh directory under the system's temp dir, removed with everything in
// it when the test ends.
class TempDir {
public:
    TempDir() {
        // create_directory reports whether it made the folder, so a name
        // that another process took meanwhile is simply passed over.
        std::error_code ec;
        const auto base = std::filesystem::temp_directory_path(ec);
        if (ec) return;
        std::random_device seed;
        std::mt19937_64 pick((static_cast<std::uint64_t>(seed()) << 32) ^ seed());
        for (int attempt = 0; attempt < 100; ++attempt) {
            char name[32];
            std::snprintf(name, sizeof name, "quennet-test-%016llx",
                          static_cast<unsigned long long>(pick()));
            const auto candidate = base / name;
            if (std::filesystem::create_directory(candidate, ec)) {
                // Private to this user, as mkdtemp would make it.
                std::filesystem::permissions(candidate, std::filesystem::perms::owner_all,
                                             std::filesystem::perm_options::replace, ec);
                path_ = candidate;
                return;
            }
            if (ec) return;
        }
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool ok() const { return !path_.empty(); }
    const std::filesystem::path& path() const { return path_; }
    std::string File(const std::string& name) const { return (path_ / name).string(); }

    // Writes the bytes exactly as given (no line-end translation).
    std::string Write(const std::string& name, const std::string& bytes) const {
        const std::string p = File(name);
        std::ofstream out(p, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return p;
    }

private:
    std::filesystem::path path_;
};

inline std::vector<unsigned char> ReadBinary(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in),
                                      std::istreambuf_iterator<char>());
}

inline std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string AsText(const std::vector<std::uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace quennet::testing
