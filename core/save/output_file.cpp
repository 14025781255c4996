#include "save/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace rk {
namespace {

int open_retrying(const char* path, int flags, mode_t mode) noexcept {
    int fd = -1;
    do {
        fd = ::open(path, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// The file a symbolic link names, so that the link survives the rename.
std::string resolve_link(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

// A short name in the target's directory, so that the rename stays on one file
// system and a long target name cannot push it past the name limit.
std::string temp_name_beside(const std::string& target, unsigned serial) {
    const size_t slash = target.rfind('/');
    const std::string dir =
        slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    char name[64];
    std::snprintf(name, sizeof name, ".reliefkit-%ld-%u.tmp", static_cast<long>(::getpid()),
                  serial);
    return dir + name;
}

std::atomic<unsigned> g_temp_serial{0};

}  // namespace

OutputFile::OutputFile(const std::string& target) : target_(resolve_link(target)) {
    if (target_.empty()) return;
    struct stat st {};
    const bool exists = ::stat(target_.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) return;
    // The rename needs only the directory's permission; the file's own still rules.
    if (exists && ::faccessat(AT_FDCWD, target_.c_str(), W_OK, AT_EACCESS) != 0) return;
    if (exists && !S_ISREG(st.st_mode)) {
        fd_ = open_retrying(target_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC, 0);
        return;
    }
    // O_EXCL never reuses a name another save holds; a clash just tries the next.
    for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
        temp_ = temp_name_beside(target_, g_temp_serial.fetch_add(1));
        fd_ = open_retrying(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ < 0 && errno != EEXIST) break;
    }
    if (fd_ < 0) {
        temp_.clear();
        return;
    }
    // A replaced file keeps its owner and permissions, as it would when rewritten
    // in place (both best effort: only root may give a file away).
    if (exists) {
        (void)::fchown(fd_, st.st_uid, st.st_gid);
        (void)::fchmod(fd_, st.st_mode & 07777);
    }
}

OutputFile::~OutputFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!temp_.empty()) ::unlink(temp_.c_str());
}

bool OutputFile::write(const void* data, size_t count) noexcept {
    if (fd_ < 0) return false;
    const auto* p = static_cast<const unsigned char*>(data);
    while (count > 0) {
        const ssize_t n = ::write(fd_, p, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

OutputFile::CommitResult OutputFile::commit() noexcept {
    if (fd_ < 0) return CommitResult::write_failed;
    // Some file systems report a full disk only on sync or close.
    const bool synced = temp_.empty() || ::fsync(fd_) == 0;
    const bool closed = ::close(fd_) == 0;
    fd_ = -1;
    if (!synced || !closed) return CommitResult::write_failed;
    if (temp_.empty()) return CommitResult::committed;
    if (::rename(temp_.c_str(), target_.c_str()) != 0) return CommitResult::replace_failed;
    temp_.clear();
    return CommitResult::committed;
}

}  // namespace rk
