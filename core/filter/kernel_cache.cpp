#include "filter/kernel_cache.h"

#include <pthread.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <new>

#include "common/block_cache.h"
#include "common/export_boundary.h"
#include "common/rk_call.h"
#include "common/thread_pool.h"
#include "reliefkit.h"

namespace rk {
namespace {

struct KernelCache {
    uint32_t head_guard = 0xFEEDCAFE;
    std::atomic<BlurKernel*> slots[kKernelSlots] = {};
    uint32_t tail_guard = 0xCAFEFEED;
};

// Gaussian, box, tent: indexed by KernelKind.
std::atomic<KernelCache*> g_caches[3] = {};
std::mutex g_build_lock;

// A child of fork() starts with the lock free: another thread of the parent
// may hold it (building a kernel, or cleanup() releasing them) at the moment
// of the fork, and the child's first blur would then wait forever. The caches
// are consistent at any moment (a slot is published only once its kernel is
// built; cleanup() unlinks a cache before releasing it), so the lock is only
// made anew in the child rather than held across the fork, which would make
// every fork wait for a build.
const int g_build_fork_guard =
    ::pthread_atfork(nullptr, nullptr, [] { ::new (&g_build_lock) std::mutex(); });

// Kernels are deleted as the type they were built as (they have no virtual
// destructor).
void release(KernelKind kind, KernelCache* cache) noexcept {
    if (!cache) return;
    for (auto& slot : cache->slots) {
        BlurKernel* k = slot.load(std::memory_order_relaxed);
        switch (kind) {
            case KERNEL_BOX:
                delete static_cast<BoxKernel*>(k);
                break;
            case KERNEL_TENT:
                delete static_cast<TentKernel*>(k);
                break;
            default:
                delete static_cast<GaussianKernel*>(k);
                break;
        }
    }
    delete cache;
}

BlurKernel* build(KernelKind kind, uint32_t size) {
    switch (kind) {
        case KERNEL_BOX: {
            auto k = std::make_unique<BoxKernel>();
            build_box(*k, size);
            return k.release();
        }
        case KERNEL_TENT: {
            auto k = std::make_unique<TentKernel>();
            build_tent(*k, size);
            return k.release();
        }
        default: {
            auto k = std::make_unique<GaussianKernel>();
            build_gaussian(*k, size);
            return k.release();
        }
    }
}

// Caller holds g_build_lock.
KernelCache* cache_locked(KernelKind kind) {
    KernelCache* cache = g_caches[kind].load(std::memory_order_acquire);
    if (!cache) {
        cache = new KernelCache;
        g_caches[kind].store(cache, std::memory_order_release);
    }
    return cache;
}

}  // namespace

const BlurKernel* kernel_cache_get(KernelKind kind, uint32_t size) {
    if (size >= kKernelSlots || size < 3 || kind > KERNEL_TENT) return nullptr;
    if (KernelCache* cache = g_caches[kind].load(std::memory_order_acquire)) {
        if (BlurKernel* k = cache->slots[size].load(std::memory_order_acquire)) return k;
    }
    std::lock_guard lock(g_build_lock);
    KernelCache* cache = cache_locked(kind);
    if (BlurKernel* k = cache->slots[size].load(std::memory_order_acquire)) return k;
    BlurKernel* k = build(kind, size);
    cache->slots[size].store(k, std::memory_order_release);
    return k;
}

const BlurKernel* kernel_cache_peek(KernelKind kind, uint32_t size) noexcept {
    if (size >= kKernelSlots || kind > KERNEL_TENT) return nullptr;
    KernelCache* cache = g_caches[kind].load(std::memory_order_acquire);
    return cache ? cache->slots[size].load(std::memory_order_acquire) : nullptr;
}

}  // namespace rk

using namespace rk;

extern "C" {

// Existing caches are kept, so a repeated init() neither leaks nor drops kernels.
RK_API void init(void) noexcept {
    guarded([] {
        std::lock_guard lock(g_build_lock);
        for (auto kind : {KERNEL_GAUSSIAN, KERNEL_BOX, KERNEL_TENT}) cache_locked(kind);
    });
}

// The pointers go back to null, so a second cleanup() is harmless and a filter
// run afterwards rebuilds what it needs; so do the workers. The cached blocks
// go back to the system.
RK_API void cleanup(void) noexcept {
    stop_workers();
    empty_block_cache();
    guarded([] {
        std::lock_guard lock(g_build_lock);
        for (auto kind : {KERNEL_TENT, KERNEL_BOX, KERNEL_GAUSSIAN}) {
            release(kind, g_caches[kind].exchange(nullptr, std::memory_order_acq_rel));
        }
    });
}

RK_API rk_status rk_init(void) noexcept {
    return rk_call("rk_init", [] {
        std::lock_guard lock(g_build_lock);
        for (auto kind : {KERNEL_GAUSSIAN, KERNEL_BOX, KERNEL_TENT}) cache_locked(kind);
        return RK_OK;
    });
}

RK_API void rk_cleanup(void) noexcept {
    cleanup();
}

}  // extern "C"
