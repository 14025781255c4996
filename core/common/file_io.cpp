#include "common/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/sink.h"
#include "common/utf16.h"

namespace rk {
namespace {

// What a path that is not a regular file names; null for a regular file.
const char* file_kind(mode_t mode) noexcept {
    if (S_ISREG(mode)) return nullptr;
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    return "of an unknown kind";
}

void report_not_regular(const std::string& path, const char* kind) noexcept {
    try {
        debug_output((path + ": not a regular file (" + kind + ")").c_str());
    } catch (...) {
        // Out of memory for the text: the refusal stands without it.
    }
}

}  // namespace

FileHandle::FileHandle(std::u16string_view path) : path_(path) {
    if (auto utf8 = utf16_to_utf8(path_)) open(*utf8, true);
}

FileHandle::FileHandle(const std::string& utf8_path) : path_(utf8_to_utf16(utf8_path)) {
    open(utf8_path, false);
}

void FileHandle::open(const std::string& utf8, bool report) {
    if (utf8.empty() || utf8.find('\0') != std::string::npos) return;
    // Opened without blocking, so that a FIFO with no writer (or a device that
    // waits) cannot hold the caller; then only a regular file is taken.
    const int flags = O_CLOEXEC | O_RDONLY | O_NONBLOCK;
    do {
        fd_ = ::open(utf8.c_str(), flags);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) open_error_ = errno;
    struct stat st {};
    // A socket cannot be opened at all (ENXIO); it is still named as what it is.
    if (fd_ < 0 && errno == ENXIO && ::stat(utf8.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
        not_regular_ = "a socket";
        open_error_ = 0;
    }
    if (fd_ >= 0) {
        const char* kind = ::fstat(fd_, &st) != 0 ? "of an unknown kind" : file_kind(st.st_mode);
        if (kind || ::fcntl(fd_, F_SETFL, O_RDONLY) != 0) {
            open_error_ = kind ? 0 : errno;
            ::close(fd_);
            fd_ = -1;
            not_regular_ = kind;
        }
    }
    if (not_regular_ && report) report_not_regular(utf8, not_regular_);
}

FileHandle::~FileHandle() {
    if (fd_ >= 0) ::close(fd_);
}

uint64_t FileHandle::size() const noexcept {
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0 || st.st_size < 0) return UINT64_MAX;
    return static_cast<uint64_t>(st.st_size);
}

size_t FileSource::read_at(uint64_t offset, void* dst, size_t count) noexcept {
    if (file_.failed() || offset > static_cast<uint64_t>(INT64_MAX)) return 0;
    auto* p = static_cast<uint8_t*>(dst);
    size_t done = 0;
    while (done < count) {
        const ssize_t n = ::pread(file_.fd(), p + done, count - done,
                                  static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) read_failed_ = true;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    return done;
}

std::unique_ptr<uint8_t[]> zeroed_block(size_t n) {
    return std::make_unique<uint8_t[]>(n);
}

}  // namespace rk
