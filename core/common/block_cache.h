// Where the library's large blocks of memory come from: pixel blocks of images
// and whole-image scratch.
//
// A block of kLargeBlockBytes or more is mapped on its own, aligned to 2 MiB and
// advised for transparent huge pages: first touching a fresh 256 MiB image costs
// 65,536 page faults with 4 KiB pages and 128 with 2 MiB ones (measured with
// bench/block_bench.cpp: about five times less time; prefaulting with
// MAP_POPULATE saves nothing, and MADV_POPULATE_WRITE would fault on one thread
// what the generators' first writes fault on all of them). Smaller blocks come
// from malloc, whose own free lists already reuse them.
//
// A large block given back is kept in a cache and handed to the next request of
// its size (or cut down for a smaller one, its rest kept) instead of being
// unmapped: a host that makes map after map never faults its memory in again.
// Blocks given back join their cached neighbours, so a block cut up serves its
// whole size again. A request that no cached block fits is made of the oldest
// cached blocks' pages, moved into a fresh block (mremap: nothing copied or
// zeroed), fresh pages only for the rest: the cache never holds memory beside
// a fresh block, so a process's peak stays that of its live blocks.
// Bounds: while any library call runs, the cache holds at most kBlockCacheBudget
// bytes; once none runs, at most one block (the one given back last), so a
// host between calls holds at most one image's worth more than its own images,
// unless the host raised that idle limit (a command making map after map of
// one photograph, whose calls each fault in their images and scratch again
// otherwise). cleanup() empties it. Every function may be called from any
// thread.
//
// Blocks come back with undefined contents, as from malloc: reuse can never
// change a result that does not read memory before writing it.
#pragma once

#include <cstddef>
#include <new>
#include <utility>

namespace rk {

// From this size on, blocks are mapped on their own: one huge page.
inline constexpr size_t kLargeBlockBytes = size_t{2} << 20;
// The most the cache holds while calls run: four 4096 x 4096 images.
inline constexpr size_t kBlockCacheBudget = size_t{1} << 30;
// Every block's address is a multiple of this (large ones: of kLargeBlockBytes).
inline constexpr size_t kBlockAlign = 64;

// A block of at least bytes bytes (0 counts as 1), or null when the system has
// none. Give it back with release_block and the same size.
void* acquire_block(size_t bytes) noexcept;
// Gives back a block of acquire_block; bytes as asked for. Null is ignored.
void release_block(void* block, size_t bytes) noexcept;

// The most the cache keeps while no call runs: bytes (at most
// kBlockCacheBudget), or one block when 0 (the default).
void set_block_cache_idle_limit(size_t bytes) noexcept;
// Unmaps every cached block (cleanup()).
void empty_block_cache() noexcept;
// Bytes the cache holds now, and the blocks.
size_t block_cache_bytes() noexcept;
size_t block_cache_blocks() noexcept;

// The library's calls bracket themselves with these (LibraryCall does): while
// none runs, the cache keeps one block.
void block_cache_call_started() noexcept;
void block_cache_call_ended() noexcept;

// Move-only owner of one block of acquire_block.
class Block {
  public:
    Block() noexcept = default;
    explicit Block(size_t bytes) noexcept : data_(acquire_block(bytes)), bytes_(bytes) {}
    Block(Block&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), bytes_(other.bytes_) {}
    Block& operator=(Block&& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(bytes_, other.bytes_);
        return *this;
    }
    ~Block() { release_block(data_, bytes_); }

    template <class T = void>
    T* get() const noexcept {
        return static_cast<T*>(data_);
    }
    explicit operator bool() const noexcept { return data_ != nullptr; }

  private:
    void* data_ = nullptr;
    size_t bytes_ = 0;
};

// For containers of whole-image scratch: their storage comes from the block
// cache (large ones on huge pages, reused) and they keep the container's own
// initialisation, so a container changes only where its memory comes from.
template <class T>
struct BlockAllocator {
    using value_type = T;
    BlockAllocator() noexcept = default;
    template <class U>
    BlockAllocator(const BlockAllocator<U>&) noexcept {}
    T* allocate(size_t n) {
        if (n > size_t(-1) / sizeof(T)) throw std::bad_alloc();
        void* block = acquire_block(n * sizeof(T));
        if (!block) throw std::bad_alloc();
        return static_cast<T*>(block);
    }
    void deallocate(T* block, size_t n) noexcept { release_block(block, n * sizeof(T)); }
    template <class U>
    bool operator==(const BlockAllocator<U>&) const noexcept {
        return true;
    }
};

}  // namespace rk
