// The server's private directory (mode 0700, made with mkdtemp) for the few
// files the library needs a path for; every name in it is the server's own.
#pragma once

#include <atomic>
#include <filesystem>
#include <string>

namespace rkserve {

class ScratchDir {
  public:
    ScratchDir();  // throws std::runtime_error when the directory cannot be made
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    // A new empty subdirectory; empty path when it cannot be made.
    std::filesystem::path fresh_subdir();
    // Removes the directory with everything in it while other threads may
    // still be writing there; no subdirectory is made afterwards.
    void remove_now();
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
    std::atomic<unsigned long> next_{0};
    std::atomic<bool> removed_{false};
};

}  // namespace rkserve
