#pragma once
// A fresh folder for one test that TMPDIR points at while it lives, so downloads land where a test can
// count them.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <unistd.h>

namespace plindo::link::testing {

inline std::string slurp(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

inline void writeFile(const std::filesystem::path& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary) << bytes;
}

// A file of `size` bytes that takes no disk space: reading it gives zeros.
inline void writeSparse(const std::filesystem::path& p, std::uintmax_t size) {
    writeFile(p, "");
    std::filesystem::resize_file(p, size);
}

struct TempFolder {
    std::filesystem::path dir;
    explicit TempFolder(const std::string& name)
        : dir(std::filesystem::temp_directory_path() / (name + "-" + std::to_string(::getpid()))) {
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        if (const char* t = std::getenv("TMPDIR")) old_ = t;
        ::setenv("TMPDIR", dir.c_str(), 1);
    }
    ~TempFolder() {
        if (old_.empty()) ::unsetenv("TMPDIR");
        else ::setenv("TMPDIR", old_.c_str(), 1);
        std::filesystem::remove_all(dir);
    }
    size_t files() const {
        return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(dir), {}));
    }

private:
    std::string old_;
};

}  // namespace plindo::link::testing
