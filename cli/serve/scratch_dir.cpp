#include "scratch_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace rkserve {
namespace fs = std::filesystem;

ScratchDir::ScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "reliefkit-serve-XXXXXX").string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!::mkdtemp(name.data())) {
        throw std::runtime_error("cannot make a private directory in " +
                                 fs::temp_directory_path().string() + ": " + std::strerror(errno));
    }
    path_ = name.data();
}

ScratchDir::~ScratchDir() {
    remove_now();
}

fs::path ScratchDir::fresh_subdir() {
    if (removed_) return {};
    const fs::path dir = path_ / std::to_string(next_++);
    return ::mkdir(dir.c_str(), 0700) == 0 ? dir : fs::path();
}

void ScratchDir::remove_now() {
    removed_ = true;
    // A file another thread makes while the tree is walked fails a directory's
    // removal: the walk is repeated. Once the top is gone nothing can be made.
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::error_code failed;
        fs::remove_all(path_, failed);
        if (!failed) return;
    }
}

}  // namespace rkserve
