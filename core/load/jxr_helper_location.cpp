// Finding reliefkit-jxr-decode. An installed library finds it through the
// distance from its libdir to its libexecdir, which a relocated installation
// keeps; the library in the build tree and programs linking the static archive
// (only the project's own tests and fuzzers, which run from the build tree) use
// the helper built there.
#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <string>

#include "load/jxr_helper_process.h"

namespace rk {
namespace {

std::string real_path(const char* path) {
    char resolved[PATH_MAX];
    return path && ::realpath(path, resolved) ? std::string(resolved) : std::string();
}

std::string directory_of(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::string locate() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&locate), &info) == 0 || !info.dli_fname) {
        return RK_JXR_HELPER_BUILD_PATH;
    }
    const std::string self = real_path(info.dli_fname);
    const std::string dir = directory_of(self);
    if (self.empty() || self == real_path("/proc/self/exe") ||
        dir == real_path(RK_BUILD_LIBRARY_DIR)) {
        return RK_JXR_HELPER_BUILD_PATH;
    }
    return dir + "/" RK_JXR_HELPER_FROM_LIBDIR;
}

}  // namespace

std::string jxr_helper_path() {
    static const std::string path = locate();
    return path;
}

}  // namespace rk
