#include "common/block_cache.h"


#include <pthread.h>
#include <sys/mman.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>

// Blocks the cache keeps are marked unusable for the memory checkers, so that a
// use after release is reported as it would be for malloc's blocks, and a
// block handed out again reads as uninitialised.
#if defined(__SANITIZE_ADDRESS__)
#define RK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define RK_ASAN 1
#endif
#endif
#if defined(RK_ASAN)
#include <sanitizer/asan_interface.h>
#endif
#if __has_include(<valgrind/memcheck.h>)
#include <valgrind/memcheck.h>
#define RK_MEMCHECK 1
#endif

namespace rk {
namespace {

// Room for the blocks the budget allows of typical images; a fuller cache
// gives up its oldest block.
constexpr size_t kSlots = 32;

size_t round_up(size_t n, size_t to) noexcept {
    return (n + to - 1) / to * to;
}

// A large block's whole huge pages: the part past bytes is never handed out,
// a block of this length serves every request of the same length, and a block
// cut from a larger one leaves a rest that starts on a huge page too.
size_t mapped_length(size_t bytes) noexcept {
    return round_up(bytes, kLargeBlockBytes);
}

void mark_handed_out(void* block, size_t bytes, size_t length) noexcept {
    auto* p = static_cast<char*>(block);
#if defined(RK_ASAN)
    ASAN_UNPOISON_MEMORY_REGION(p, bytes);
    ASAN_POISON_MEMORY_REGION(p + bytes, length - bytes);
#endif
#if defined(RK_MEMCHECK)
    VALGRIND_MAKE_MEM_UNDEFINED(p, bytes);
    VALGRIND_MAKE_MEM_NOACCESS(p + bytes, length - bytes);
#endif
    (void)p, (void)bytes, (void)length;
}

void mark_cached(void* block, size_t length) noexcept {
#if defined(RK_ASAN)
    ASAN_POISON_MEMORY_REGION(block, length);
#endif
#if defined(RK_MEMCHECK)
    VALGRIND_MAKE_MEM_NOACCESS(block, length);
#endif
    (void)block, (void)length;
}

void unmap(void* block, size_t length) noexcept {
#if defined(RK_ASAN)
    // The range may be mapped again by anyone (a thread's stack): it must not
    // stay poisoned.
    ASAN_UNPOISON_MEMORY_REGION(block, length);
#endif
    ::munmap(block, length);
}

// length bytes (whole pages) starting on a 2 MiB boundary, advised for huge
// pages: the kernel backs each whole 2 MiB of the block with one page at its
// first touch (where the system allows transparent huge pages), the rest with
// small pages. Null when the system has no room.
void* map_fresh(size_t length) noexcept {
    const size_t span = length + kLargeBlockBytes;
    void* raw = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<uintptr_t>(raw);
    const uintptr_t aligned = round_up(start, kLargeBlockBytes);
    if (aligned > start) ::munmap(raw, aligned - start);
    const uintptr_t end = aligned + length;
    if (start + span > end) ::munmap(reinterpret_cast<void*>(end), start + span - end);
    void* block = reinterpret_cast<void*>(aligned);
    // Without huge pages (disabled, or a kernel without them) the block still
    // works with small ones.
    ::madvise(block, length, MADV_HUGEPAGE);
    return block;
}

struct Entry {
    void* block = nullptr;
    size_t length = 0;
};

// Blocks taken out of the cache under its lock, unmapped after it is let go:
// unmapping a large block takes a while.
struct Evicted {
    std::array<Entry, kSlots + 1> entries{};
    size_t count = 0;

    void add(Entry e) noexcept { entries[count++] = e; }
    void unmap_all() noexcept {
        for (size_t i = 0; i < count; ++i) {
            if (entries[i].length > 0) unmap(entries[i].block, entries[i].length);
        }
        count = 0;
    }
    ~Evicted() { unmap_all(); }
};

// Moves the pages of cached blocks into a fresh block of length bytes, one
// after another from its start (all lengths are whole huge pages, so they
// stay huge pages): no page is copied or zeroed. Pieces past length go back
// to the system. Where a move fails, the fresh block keeps its own pages.
void gather(void* block, size_t length, Evicted& pieces) noexcept {
    size_t at = 0;
    for (size_t i = 0; i < pieces.count; ++i) {
        Entry& e = pieces.entries[i];
        const size_t moved = e.length < length - at ? e.length : length - at;
        if (moved == 0) continue;
#if defined(RK_ASAN)
        ASAN_UNPOISON_MEMORY_REGION(e.block, moved);
#endif
        void* to = static_cast<char*>(block) + at;
        if (::mremap(e.block, moved, moved, MREMAP_MAYMOVE | MREMAP_FIXED, to) != MAP_FAILED) {
            // The rest of the piece, if any, is all that is left to unmap.
            e = Entry{static_cast<char*>(e.block) + moved, e.length - moved};
        }
        at += moved;
    }
}

// The calls the current thread has started and not ended.
thread_local uint32_t t_calls = 0;

class Cache {
  public:
    Cache() noexcept {
        // A child of fork() must find the lock free and the list whole: the
        // forking thread holds the lock across the fork. Of the calls running
        // at the fork only the forking thread's own goes on in the child: the
        // other threads' calls never end there, and would otherwise keep the
        // child at the busy budget between its calls for good.
        ::pthread_atfork([] { cache().lock_.lock(); }, [] { cache().lock_.unlock(); },
                         [] {
                             cache().calls_ = t_calls;
                             cache().lock_.unlock();
                         });
    }

    // A cached block of exactly length bytes, the newest first; else the
    // head of the smallest larger one, whose rest stays cached (its pages
    // are faulted in already); else null, with the oldest blocks of at least
    // length bytes in all taken out into pieces for the new block.
    void* take(size_t length, Evicted& pieces) noexcept {
        Evicted evicted;
        std::lock_guard hold(lock_);
        size_t best = count_;
        for (size_t i = count_; i-- > 0;) {
            if (slots_[i].length == length) {
                best = i;
                break;
            }
            if (slots_[i].length > length &&
                (best == count_ || slots_[i].length < slots_[best].length))
                best = i;
        }
        if (best == count_) {
            // A miss maps a fresh block, and the oldest cached blocks, as many
            // bytes as it asks for, are moved into it (their pages are
            // faulted in already; the system zeroes each fresh one at its
            // first touch, which costs more than the work on it in some
            // virtual machines). So the cache never holds memory beside a
            // fresh block that it could have served: the process's peak is
            // that of its live blocks.
            size_t taken = 0;
            while (count_ > 0 && taken < length) {
                const Entry e = remove_locked(0);
                taken += e.length;
                pieces.add(e);
            }
            return nullptr;
        }
        const Entry found = remove_locked(best);
        if (found.length > length) {
            add_locked(Entry{static_cast<char*>(found.block) + length, found.length - length},
                       evicted);
        }
        return found.block;
    }

    // Caches a block, joined with the cached blocks right before and after it
    // (the rest of a block it was cut from, or any mapping the system put
    // beside it), so that a block cut up serves its whole size again.
    void give(void* block, size_t length) noexcept {
        Evicted evicted;
        mark_cached(block, length);
        std::lock_guard hold(lock_);
        Entry joined{block, length};
        for (size_t i = count_; i-- > 0;) {
            char* const start = static_cast<char*>(joined.block);
            char* const other = static_cast<char*>(slots_[i].block);
            if (other + slots_[i].length == start) {
                joined = Entry{other, slots_[i].length + joined.length};
            } else if (start + joined.length == other) {
                joined.length += slots_[i].length;
            } else {
                continue;
            }
            remove_locked(i);
            i = count_;  // the joined block may now touch one seen before
        }
        add_locked(joined, evicted);
    }

    void call_started() noexcept {
        ++t_calls;
        std::lock_guard hold(lock_);
        ++calls_;
    }

    void call_ended() noexcept {
        if (t_calls > 0) --t_calls;
        Evicted evicted;
        std::lock_guard hold(lock_);
        if (calls_ > 0) --calls_;
        shrink_locked(evicted);
    }

    void empty() noexcept {
        Evicted evicted;
        std::lock_guard hold(lock_);
        while (count_ > 0) evicted.add(remove_locked(0));
    }

    size_t bytes() noexcept {
        std::lock_guard hold(lock_);
        return bytes_;
    }

    size_t blocks() noexcept {
        std::lock_guard hold(lock_);
        return count_;
    }

    static Cache& cache() noexcept {
        // Never destroyed: threads of a host may still release blocks while the
        // process exits. Built in the library's own static storage rather than
        // on the heap, so a host that unloads the library loses no allocation.
        alignas(Cache) static unsigned char storage[sizeof(Cache)];
        static Cache* instance = ::new (storage) Cache();
        return *instance;
    }

    void set_idle_limit(size_t bytes) noexcept {
        Evicted evicted;
        std::lock_guard hold(lock_);
        idle_limit_ = bytes < kBlockCacheBudget ? bytes : kBlockCacheBudget;
        shrink_locked(evicted);
    }

  private:
    // As the newest block; the oldest go when the slots or the bounds are
    // exceeded.
    void add_locked(Entry e, Evicted& evicted) noexcept {
        if (count_ == kSlots) evicted.add(remove_locked(0));
        slots_[count_++] = e;
        bytes_ += e.length;
        shrink_locked(evicted);
    }

    Entry remove_locked(size_t i) noexcept {
        const Entry e = slots_[i];
        for (size_t j = i + 1; j < count_; ++j) slots_[j - 1] = slots_[j];
        --count_;
        bytes_ -= e.length;
        return e;
    }

    // Oldest blocks out: past the budget, or past the idle limit (one block
    // when it is 0) while no call runs.
    void shrink_locked(Evicted& evicted) noexcept {
        while (count_ > 0 && (bytes_ > kBlockCacheBudget ||
                              (calls_ == 0 && (idle_limit_ ? bytes_ > idle_limit_ : count_ > 1)))) {
            evicted.add(remove_locked(0));
        }
    }

    std::mutex lock_;
    std::array<Entry, kSlots> slots_{};  // oldest first
    size_t count_ = 0;
    size_t bytes_ = 0;
    uint32_t calls_ = 0;
    size_t idle_limit_ = 0;
};

}  // namespace

void* acquire_block(size_t bytes) noexcept {
    if (bytes < kLargeBlockBytes) {
        return std::aligned_alloc(kBlockAlign, round_up(bytes ? bytes : 1, kBlockAlign));
    }
    // Past this no mapping can succeed, and the rounding below would wrap.
    if (bytes > SIZE_MAX / 2) return nullptr;
#if defined(RK_FUZZ_MAX_BLOCK_MB)
    // Fuzz builds: the sanitizer's cap on one allocation does not see a mapped
    // block, so a JPEG of a few hundred bytes stating 18876 x 8009 pixels was
    // padded out into a 2.4 GB image (30 s of page faults on a busy machine). A
    // block past the cap fails as an allocation past it does.
    if (bytes > size_t{RK_FUZZ_MAX_BLOCK_MB} << 20) return nullptr;
#endif
    const size_t length = mapped_length(bytes);
    Evicted pieces;
    void* block = Cache::cache().take(length, pieces);
    if (!block) {
        block = map_fresh(length);
        if (block) {
            gather(block, length, pieces);
        } else {
            // Kept blocks count against an address-space limit (ulimit -v) as
            // mapped ones do: with them given back the block may fit.
            pieces.unmap_all();
            Cache::cache().empty();
            block = map_fresh(length);
        }
    }
    if (block) mark_handed_out(block, bytes, length);
    return block;
}

void release_block(void* block, size_t bytes) noexcept {
    if (!block) return;
    if (bytes < kLargeBlockBytes) {
        std::free(block);
        return;
    }
    const size_t length = mapped_length(bytes);
    if (length > kBlockCacheBudget) {
        unmap(block, length);
        return;
    }
    Cache::cache().give(block, length);
}

void set_block_cache_idle_limit(size_t bytes) noexcept {
    Cache::cache().set_idle_limit(bytes);
}

void empty_block_cache() noexcept {
    Cache::cache().empty();
}

size_t block_cache_bytes() noexcept {
    return Cache::cache().bytes();
}

size_t block_cache_blocks() noexcept {
    return Cache::cache().blocks();
}

void block_cache_call_started() noexcept {
    Cache::cache().call_started();
}

void block_cache_call_ended() noexcept {
    Cache::cache().call_ended();
}

}  // namespace rk
