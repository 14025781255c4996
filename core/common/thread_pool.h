// The library's worker threads: a loop over items split among the calling thread
// and a process-wide set of workers.
//
// Every caller of parallel_for works on its own items; workers join a call only
// while fewer threads than the thread count are busy with items (callers
// included). So however many host threads call the library at once, the library
// never adds work beyond the thread count, and a host that already keeps every
// core busy from its own threads gets no extra thread. Items never depend on who
// runs them: results are the same for every thread count.
#pragma once

#include <cstdint>
#include <type_traits>

namespace rk {

// The thread count now in force (>= 1).
uint32_t thread_count() noexcept;
// n = 0: every processor the process may run on (affinity mask and cgroup CPU
// quota); otherwise n.
void set_thread_count_to(uint32_t n) noexcept;
// The processors the process may use now: its affinity mask, lowered to the CPU
// quota of its cgroup (v2) when that is smaller; at least 1.
uint32_t usable_processors() noexcept;
// Stops and joins the workers (they start again when next needed). No call into
// the pool may be running.
void stop_workers() noexcept;

// Counts the calling thread as busy with the library while it lives (nested
// ones on the same thread count once): an export's whole call, serial parts
// included, so that workers join other calls only on the cores left over.
class LibraryCall {
  public:
    LibraryCall() noexcept;
    ~LibraryCall();
    LibraryCall(const LibraryCall&) = delete;
    LibraryCall& operator=(const LibraryCall&) = delete;

  private:
    bool counted_;
};

using ItemFn = void (*)(void* context, uint32_t item) noexcept;
// Runs item(context, i) for every i in [0, count) and returns when all are done.
// With a thread count of 1 or a single item, all run on the calling thread in
// order. Items must not throw and must not depend on one another.
void parallel_items(uint32_t count, ItemFn item, void* context) noexcept;

template <class F>
void parallel_for(uint32_t count, F&& body) noexcept {
    static_assert(std::is_nothrow_invocable_v<F&, uint32_t>, "items must not throw");
    using Body = std::remove_reference_t<F>;
    parallel_items(
        count, [](void* c, uint32_t i) noexcept { (*static_cast<Body*>(c))(i); },
        const_cast<void*>(static_cast<const void*>(&body)));
}

// How many bands of at least min_rows rows (1 at least) parallel_rows cuts
// height rows into: one per thread where the rows allow.
inline uint32_t row_bands(uint32_t height, uint32_t min_rows) noexcept {
    const uint32_t most = height / (min_rows ? min_rows : 1);
    const uint32_t threads = thread_count();
    return most < 1 ? 1 : (most < threads ? most : threads);
}

// body(band, y0, y1) for rows [0, height) cut into bands even bands, in parallel.
// Which band a row falls in must not change its result.
template <class F>
void parallel_bands(uint32_t height, uint32_t bands, F&& body) noexcept {
    parallel_for(bands, [&](uint32_t b) noexcept {
        const uint64_t y0 = uint64_t{height} * b / bands;
        const uint64_t y1 = uint64_t{height} * (b + 1) / bands;
        body(b, static_cast<uint32_t>(y0), static_cast<uint32_t>(y1));
    });
}

// body(y0, y1) over rows [0, height) in row_bands(height, min_rows) bands.
template <class F>
void parallel_rows(uint32_t height, uint32_t min_rows, F&& body) noexcept {
    parallel_bands(height, row_bands(height, min_rows),
                   [&](uint32_t, uint32_t y0, uint32_t y1) noexcept { body(y0, y1); });
}

}  // namespace rk
