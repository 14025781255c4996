// rk_block_bench: what a fresh block of memory costs before it holds its first
// pixel, by size and by the way it is asked of the system, against rewriting a
// block already mapped (what the library's block cache gives). Each block is
// mapped, written whole (as a generator writes its result) and unmapped; the
// figures are the fastest of the repetitions, per block.
//
//   --reps=N   repetitions (default 5)
//
// Prints a Markdown table; see bench/README.md.
#include <sys/mman.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

namespace {

constexpr size_t kMiB = size_t{1} << 20;
constexpr size_t kHuge = 2 * kMiB;

enum class Way { plain, huge, populate, huge_populate, reused };

const char* name_of(Way w) {
    switch (w) {
        case Way::plain:
            return "4 KiB pages";
        case Way::huge:
            return "MADV_HUGEPAGE";
        case Way::populate:
            return "MAP_POPULATE";
        case Way::huge_populate:
            return "MADV_HUGEPAGE + MADV_POPULATE_WRITE";
        case Way::reused:
            return "already mapped (reused)";
    }
    return "";
}

struct Cost {
    double wall = 1e9, user = 1e9, sys = 1e9, faults = 1e9;
};

struct Usage {
    double user, sys, faults;
    std::chrono::steady_clock::time_point t;
};

Usage now() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return {u.ru_utime.tv_sec + u.ru_utime.tv_usec * 1e-6,
            u.ru_stime.tv_sec + u.ru_stime.tv_usec * 1e-6, static_cast<double>(u.ru_minflt),
            std::chrono::steady_clock::now()};
}

// A block of bytes aligned to 2 MiB, mapped the way w says.
void* map_block(size_t bytes, Way w) {
    const int flags = MAP_PRIVATE | MAP_ANONYMOUS | (w == Way::populate ? MAP_POPULATE : 0);
    void* raw = mmap(nullptr, bytes + kHuge, PROT_READ | PROT_WRITE, flags, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto at = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = (at + kHuge - 1) & ~(kHuge - 1);
    if (aligned > at) munmap(raw, aligned - at);
    const uintptr_t end = at + bytes + kHuge;
    if (end > aligned + bytes)
        munmap(reinterpret_cast<void*>(aligned + bytes), end - aligned - bytes);
    void* p = reinterpret_cast<void*>(aligned);
    if (w == Way::huge || w == Way::huge_populate) madvise(p, bytes, MADV_HUGEPAGE);
    if (w == Way::huge_populate) madvise(p, bytes, MADV_POPULATE_WRITE);
    return p;
}

Cost measure(size_t bytes, Way w, int reps) {
    Cost best;
    void* kept = w == Way::reused ? map_block(bytes, Way::huge) : nullptr;
    if (kept) std::memset(kept, 1, bytes);
    for (int r = 0; r < reps; ++r) {
        const Usage a = now();
        void* p = kept ? kept : map_block(bytes, w);
        std::memset(p, r, bytes);
        if (!kept) munmap(p, bytes);
        const Usage b = now();
        best.wall = std::min(best.wall, std::chrono::duration<double>(b.t - a.t).count());
        best.user = std::min(best.user, b.user - a.user);
        best.sys = std::min(best.sys, b.sys - a.sys);
        best.faults = std::min(best.faults, b.faults - a.faults);
    }
    if (kept) munmap(kept, bytes);
    return best;
}

std::string cpu_name() {
    std::ifstream in("/proc/cpuinfo");
    for (std::string line; std::getline(in, line);)
        if (line.starts_with("model name")) return line.substr(line.find(':') + 2);
    return "unknown";
}

}  // namespace

int main(int argc, char** argv) {
    int reps = 5;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--reps=", 7) == 0) reps = std::atoi(argv[i] + 7);
    }
    std::string thp;
    std::getline(std::ifstream("/sys/kernel/mm/transparent_hugepage/enabled"), thp);
    std::cout << "- CPU: " << cpu_name() << "; transparent huge pages: " << thp
              << "\n- load average: ";
    std::ifstream("/proc/loadavg") >> std::cout.rdbuf();
    std::cout
        << "\n| block | way | wall | user | system | page faults |\n|--:|---|--:|--:|--:|--:|\n";
    for (size_t mib : {2, 4, 16, 64, 256}) {
        for (Way w : {Way::plain, Way::huge, Way::populate, Way::huge_populate, Way::reused}) {
            const Cost c = measure(mib * kMiB, w, reps);
            std::printf("| %zu MiB | %s | %.2f ms | %.2f ms | %.2f ms | %.0f |\n", mib, name_of(w),
                        c.wall * 1e3, c.user * 1e3, c.sys * 1e3, c.faults);
        }
    }
    return 0;
}
