// The one temporary-folder helper of the tests: a fresh folder under $TMPDIR (or
// the system's temporary directory), removed with everything in it when the
// owner goes, also after a failed assertion. A test program that needs one folder
// for all its tests uses process_temp_dir(), removed when the program exits.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

class TempDir {
  public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "rk_test_XXXXXX").string();
        if (!::mkdtemp(pattern.data())) throw std::filesystem::filesystem_error("mkdtemp", {});
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

    // Writes bytes to a file of the folder (slashes of parameterised test names
    // become underscores) and returns its path.
    std::filesystem::path write(std::string name, std::string_view bytes = "x") const {
        for (char& c : name) c = c == '/' ? '_' : c;
        std::ofstream(path_ / name, std::ios::binary)
            .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return path_ / name;
    }
    std::filesystem::path write(const std::string& name, const std::vector<uint8_t>& bytes) const {
        return write(name, as_text(bytes));
    }
    static std::string_view as_text(const std::vector<uint8_t>& bytes) {
        return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
    }

  private:
    std::filesystem::path path_;
};

// A path as the library takes it: ASCII only, which is all the temporary
// directory and the samples need.
inline std::u16string widen(const std::filesystem::path& path) {
    const std::string s = path.string();
    return std::u16string(s.begin(), s.end());
}

inline const TempDir& process_temp_dir() {
    static const TempDir dir;
    return dir;
}

// Whole files as bytes, wherever they are.
inline std::vector<uint8_t> read_bytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline void write_bytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    const std::string_view text = TempDir::as_text(bytes);
    std::ofstream(path, std::ios::binary).write(text.data(), static_cast<std::streamsize>(text.size()));
}
