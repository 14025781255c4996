// Finding reliefkit-jxr-decode. An installed library finds it through the
// distance from its libdir to its libexecdir, which a relocated installation
// keeps; the library in the build tree and programs linking the static archive
// (only the project's own tests and fuzzers, which run from the build tree) use
// the helper built there.
//
// The library's own file is taken from the kernel's list of this process's
// mappings: the name the dynamic loader keeps is the one the host gave, which
// may be relative, and would then be resolved against whatever directory the
// host is in at the first JPEG XR load.
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdint>
#include <optional>
#include <string>

#include "load/jxr_helper_process.h"

namespace rk {
namespace {

// A file mapped into this process, as the kernel names it (an absolute path).
struct MappedFile {
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
};

std::optional<MappedFile> file_mapped_at(uintptr_t address) {
    FILE* maps = ::fopen("/proc/self/maps", "re");
    if (!maps) return std::nullopt;
    std::optional<MappedFile> found;
    char* line = nullptr;
    size_t line_capacity = 0;
    while (!found && ::getline(&line, &line_capacity, maps) > 0) {
        unsigned long start = 0, end = 0, inode = 0;
        unsigned major_number = 0, minor_number = 0;
        int path_at = 0;
        if (std::sscanf(line, "%lx-%lx %*s %*x %x:%x %lu %n", &start, &end, &major_number,
                        &minor_number, &inode, &path_at) != 5 ||
            address < start || address >= end || line[path_at] != '/') {
            continue;
        }
        std::string path(line + path_at);
        if (path.ends_with('\n')) path.pop_back();
        found = MappedFile{path, makedev(major_number, minor_number), inode};
    }
    ::free(line);
    ::fclose(maps);
    return found;
}

bool same_file(const MappedFile& mapped, const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && st.st_dev == mapped.device &&
           st.st_ino == mapped.inode;
}

std::string directory_of(const std::string& path) {
    return path.substr(0, path.rfind('/'));
}

std::string file_name_of(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

// Empty when the library's own file is not known: no helper is run then,
// rather than one found some other way.
std::string locate() {
    const auto self = file_mapped_at(reinterpret_cast<uintptr_t>(&locate));
    if (!self) return {};
    const std::string build_library = RK_BUILD_LIBRARY_DIR "/" + file_name_of(self->path);
    if (same_file(*self, "/proc/self/exe") || same_file(*self, build_library)) {
        return RK_JXR_HELPER_BUILD_PATH;
    }
    // A file the kernel names by no path of its own (a memfd, one deleted or
    // replaced since it was loaded) has no installation beside it.
    if (!same_file(*self, self->path)) return {};
    return directory_of(self->path) + "/" RK_JXR_HELPER_FROM_LIBDIR;
}

}  // namespace

std::string jxr_helper_path() {
    static const std::string path = locate();
    return path;
}

}  // namespace rk
