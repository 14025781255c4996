#include "file_hash.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

#include <cerrno>
#include <memory>

#include "descriptor.h"

namespace rkcli {
namespace {

std::string hex(XXH128_hash_t hash) {
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, hash);
    constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (const unsigned char byte : canonical.digest) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 15];
    }
    return text;
}

struct StateFree {
    void operator()(XXH3_state_t* state) const { XXH3_freeState(state); }
};

}  // namespace

std::string xxh3_hex(std::string_view bytes) {
    return hex(XXH3_128bits(bytes.data(), bytes.size()));
}

std::optional<std::string> file_xxh3(const std::filesystem::path& path) {
    // O_NONBLOCK: opening a FIFO for reading would wait for a writer.
    const Descriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
    struct stat st {};
    if (!file.valid() || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    const std::unique_ptr<XXH3_state_t, StateFree> state(XXH3_createState());
    if (!state || XXH3_128bits_reset(state.get()) != XXH_OK) return std::nullopt;
    // Large reads: the files are whole images, and the hash runs far faster
    // than the reads.
    constexpr size_t kChunk = size_t{1} << 18;
    const auto buffer = std::make_unique_for_overwrite<char[]>(kChunk);
    for (;;) {
        const ssize_t got = ::read(file.get(), buffer.get(), kChunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::nullopt;
        if (got == 0) break;
        XXH3_128bits_update(state.get(), buffer.get(), static_cast<size_t>(got));
    }
    return hex(XXH3_128bits_digest(state.get()));
}

}  // namespace rkcli
