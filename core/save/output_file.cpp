#include "save/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "common/sink.h"

namespace rk {
namespace {

int open_retrying(const char* path, int flags, mode_t mode) noexcept {
    int fd = -1;
    do {
        fd = ::open(path, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// What a node that may not be replaced by a file is; null for a regular file,
// a symbolic link or a missing target.
const char* refused_kind(mode_t mode) noexcept {
    if (S_ISREG(mode) || S_ISLNK(mode)) return nullptr;
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    return "of an unknown kind";
}

void report_refusal(const std::string& path, const char* kind) noexcept {
    try {
        debug_output((path + ": not a regular file (" + kind + ")").c_str());
    } catch (...) {
        // Out of memory for the text: the refusal stands without it.
    }
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

// The process's file mode mask, read from /proc: umask() can only be read by
// setting it, which would give files other threads create meanwhile the wrong
// permissions. Where it cannot be read, new files stay their owner's alone.
mode_t file_mode_mask() noexcept {
    constexpr mode_t kPrivateMask = 077;
    std::FILE* status = std::fopen("/proc/self/status", "re");
    if (!status) return kPrivateMask;
    mode_t mask = kPrivateMask;
    char line[256];
    unsigned value = 0;
    while (std::fgets(line, sizeof line, status)) {
        if (std::sscanf(line, "Umask: %o", &value) == 1) {
            mask = static_cast<mode_t>(value & 0777);
            break;
        }
    }
    std::fclose(status);
    return mask;
}

}  // namespace

mode_t saved_file_mode(const struct stat* replaced, mode_t mask) noexcept {
    return replaced ? replaced->st_mode & 07777 : 0666 & ~mask;
}

OutputFile::OutputFile(const std::string& target) : target_(target) {
    if (target_.empty()) return;
    // lstat: a link is judged as itself, never by what it names.
    struct stat st {};
    const bool exists = ::lstat(target_.c_str(), &st) == 0;
    if (exists) {
        if (const char* kind = refused_kind(st.st_mode)) {
            report_refusal(target_, kind);
            return;
        }
    }
    const bool regular = exists && S_ISREG(st.st_mode);
    // The rename needs only the directory's permission; the file's own still rules.
    if (regular && ::faccessat(AT_FDCWD, target_.c_str(), W_OK, AT_EACCESS) != 0) {
        open_error_ = errno;
        return;
    }
    // O_EXCL never reuses a name another save holds (nor follows a link planted
    // under the name); a clash just tries the next. Made the owner's alone, so
    // that nobody the replaced file kept out can open it before its mode is set.
    for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
        temp_ = temp_name_beside(target_, g_temp_serial.fetch_add(1));
        fd_ = open_retrying(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                            kTemporaryFileMode);
        if (fd_ < 0 && errno != EEXIST) break;
    }
    if (fd_ < 0) {
        open_error_ = errno;
        temp_.clear();
        return;
    }
    // A replaced file keeps its owner and permissions, as it would when rewritten
    // in place (the owner best effort: only root may give a file away); a new
    // file, or one replacing a link (what a link names is not this save's
    // business), gets what a new file gets under the mask. Set before any byte
    // is written.
    if (regular) (void)::fchown(fd_, st.st_uid, st.st_gid);
    (void)::fchmod(fd_, saved_file_mode(regular ? &st : nullptr, file_mode_mask()));
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
        if (n <= 0) {
            write_error_ = n < 0 ? errno : 0;
            return false;
        }
        p += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

OutputFile::CommitResult OutputFile::commit() noexcept {
    if (fd_ < 0) return CommitResult::write_failed;
    // Some file systems report a full disk only on sync or close.
    const bool synced = ::fsync(fd_) == 0;
    if (!synced) write_error_ = errno;
    const bool closed = ::close(fd_) == 0;
    if (synced && !closed) write_error_ = errno;
    fd_ = -1;
    if (!synced || !closed) return CommitResult::write_failed;
    if (::rename(temp_.c_str(), target_.c_str()) != 0) {
        replace_error_ = errno;
        return CommitResult::replace_failed;
    }
    temp_.clear();
    return CommitResult::committed;
}

}  // namespace rk
