#include "imgbuf/grey_packing.h"

#include <atomic>
#include <cstring>

#include "common/thread_pool.h"

namespace rk {
namespace {

constexpr uint32_t kMinRows = 16;

uint32_t bits_of(float v) noexcept {
    uint32_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

// Folding row y writes floats [y w, (y + 1) w) and reads [4 y w, 4 (y + 1) w).
// Rows [a, 4a) write only over rows below a, and read none of what each other
// write: they fold in parallel once the rows below a are folded, and unfold
// in parallel before those are unfolded. Row 0 overlaps itself and goes
// pixel by pixel (forwards folding, backwards unfolding).
template <class RowFn>
void in_bands(uint32_t h, bool upwards, RowFn&& row) noexcept {
    uint32_t starts[34];
    uint32_t count = 0;
    for (uint64_t a = 1; a < h; a *= 4) starts[count++] = static_cast<uint32_t>(a);
    auto band = [&](uint32_t a) noexcept {
        const uint32_t end = uint64_t{a} * 4 < h ? a * 4 : h;
        parallel_rows(end - a, kMinRows, [&](uint32_t r0, uint32_t r1) noexcept {
            for (uint32_t r = r0; r < r1; ++r) row(a + r);
        });
    };
    if (upwards) {
        row(0);
        for (uint32_t i = 0; i < count; ++i) band(starts[i]);
    } else {
        for (uint32_t i = count; i-- > 0;) band(starts[i]);
        row(0);
    }
}

}  // namespace

bool foldable_grey(const imgbuf* img) noexcept {
    if (!has_pixels(img) || !rows_packed(img)) return false;
    const uint32_t one = bits_of(1.0f);
    std::atomic<bool> grey{true};
    parallel_rows(img->height, kMinRows, [&](uint32_t y0, uint32_t y1) noexcept {
        // Differences or'd together rather than compared and branched on:
        // the loop stays free of branches and vectorises.
        uint32_t differ = 0;
        for (uint32_t y = y0; y < y1; ++y) {
            const float* p = row_unchecked(img, y);
            for (uint32_t x = 0; x < img->width; ++x, p += 4) {
                const uint32_t r = bits_of(p[0]);
                differ |= (bits_of(p[1]) ^ r) | (bits_of(p[2]) ^ r) | (bits_of(p[3]) ^ one);
            }
        }
        if (differ != 0) grey.store(false, std::memory_order_relaxed);
    });
    return grey.load(std::memory_order_relaxed);
}

void fold_grey(imgbuf* img) noexcept {
    float* const f = img->pixels;
    const size_t w = img->width;
    in_bands(img->height, true, [&](uint32_t y) noexcept {
        const size_t first = y * w;
        for (size_t i = first; i < first + w; ++i) f[i] = f[4 * i];
    });
}

void unfold_grey(imgbuf* img) noexcept {
    float* const f = img->pixels;
    const size_t w = img->width;
    in_bands(img->height, false, [&](uint32_t y) noexcept {
        const size_t first = y * w;
        for (size_t i = first + w; i-- > first;) {
            const float v = f[i];
            f[4 * i] = f[4 * i + 1] = f[4 * i + 2] = v;
            f[4 * i + 3] = 1.0f;
        }
    });
}

}  // namespace rk
