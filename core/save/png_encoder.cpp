#include "save/png_encoder.h"

#include <libdeflate.h>
#include <zlib.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <vector>

#include "common/block_cache.h"
#include "common/checked_size.h"
#include "common/export_boundary.h"
#include "common/thread_pool.h"
#include "save/deflate_blocks.h"

namespace rk {
namespace {

// Filtered bytes per band: big enough that the fresh start of each band's
// compressor costs well under 1 % of the file, small enough for many bands.
constexpr uint64_t kBandBytes = uint64_t{1} << 20;
// The compressed bytes a batch of bands may hold, beyond two bands per thread.
constexpr uint64_t kBatchBytes = uint64_t{16} << 20;

enum Filter : uint8_t { NONE = 0, SUB = 1, UP = 2, AVG = 3, PAETH = 4 };

// libpng's measure of a filtered row: bytes read as signed, absolute values summed.
inline uint32_t weight(uint8_t v) noexcept {
    return v < 128 ? v : 256u - v;
}

inline uint8_t paeth(int a, int b, int c) noexcept {
    const int p = b - c, q = a - c;
    const int pa = p < 0 ? -p : p, pb = q < 0 ? -q : q, pc = p + q < 0 ? -(p + q) : p + q;
    return static_cast<uint8_t>(pa <= pb && pa <= pc ? a : (pb <= pc ? b : c));
}

// Which filters a row may use: all five, but an image of one row has no row
// above to predict from and one of one column no pixel to the left, as libpng
// decides.
uint32_t allowed_filters(const PngLayout& layout) noexcept {
    uint32_t mask = 0x1F;
    if (layout.height == 1) mask &= (1u << NONE) | (1u << SUB);
    if (layout.width == 1) mask &= (1u << NONE) | (1u << UP);
    return mask;
}

#if defined(__SSE2__)

inline __m128i load16(const uint8_t* p) noexcept {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// mask ? x : y, lane by lane.
inline __m128i select(__m128i mask, __m128i x, __m128i y) noexcept {
    return _mm_or_si128(_mm_and_si128(mask, x), _mm_andnot_si128(mask, y));
}

inline __m128i abs16(__m128i x) noexcept {
    return _mm_max_epi16(x, _mm_sub_epi16(_mm_setzero_si128(), x));
}

// paeth() on eight 16-bit lanes.
inline __m128i paeth8(__m128i a, __m128i b, __m128i c) noexcept {
    const __m128i p = _mm_sub_epi16(b, c), q = _mm_sub_epi16(a, c);
    const __m128i pa = abs16(p), pb = abs16(q), pc = abs16(_mm_add_epi16(p, q));
    const __m128i not_a = _mm_or_si128(_mm_cmpgt_epi16(pa, pb), _mm_cmpgt_epi16(pa, pc));
    return select(not_a, select(_mm_cmpgt_epi16(pb, pc), c, b), a);
}

inline __m128i paeth16(__m128i a, __m128i b, __m128i c) noexcept {
    const __m128i z = _mm_setzero_si128();
    return _mm_packus_epi16(
        paeth8(_mm_unpacklo_epi8(a, z), _mm_unpacklo_epi8(b, z), _mm_unpacklo_epi8(c, z)),
        paeth8(_mm_unpackhi_epi8(a, z), _mm_unpackhi_epi8(b, z), _mm_unpackhi_epi8(c, z)));
}

// Sixteen weights summed into two 64-bit lanes: |v| of each byte read as
// signed is the smaller of v and -v read as unsigned.
inline __m128i add_weights(__m128i sum, __m128i d) noexcept {
    const __m128i z = _mm_setzero_si128();
    return _mm_add_epi64(sum, _mm_sad_epu8(_mm_min_epu8(d, _mm_sub_epi8(z, d)), z));
}

// The five filters of row bytes [from, ...) sixteen at a time (from >= bpp);
// answers the first byte not done.
size_t filter_sse2(const uint8_t* r, const uint8_t* p, size_t from, size_t n, size_t bpp,
                   uint8_t* const out[5], uint64_t sums[5]) noexcept {
    __m128i acc[5] = {};
    const __m128i one = _mm_set1_epi8(1);
    size_t i = from;
    for (; i + 16 <= n; i += 16) {
        const __m128i x = load16(r + i), a = load16(r + i - bpp);
        const __m128i b = load16(p + i), c = load16(p + i - bpp);
        // The floor of (a + b) / 2: pavgb rounds up when a + b is odd.
        const __m128i mean =
            _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), one));
        const __m128i d[5] = {x, _mm_sub_epi8(x, a), _mm_sub_epi8(x, b), _mm_sub_epi8(x, mean),
                              _mm_sub_epi8(x, paeth16(a, b, c))};
        for (int f = 0; f < 5; ++f) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out[f] + i), d[f]);
            acc[f] = add_weights(acc[f], d[f]);
        }
    }
    for (int f = 0; f < 5; ++f) {
        uint64_t lanes[2];
        _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), acc[f]);
        sums[f] += lanes[0] + lanes[1];
    }
    return i;
}

#endif

// Filters rows one at a time; holds the row above and one candidate per filter.
class RowFilter {
  public:
    RowFilter(size_t row_bytes, uint32_t bpp, uint32_t mask)
        : n_(row_bytes), bpp_(bpp), mask_(mask), prev_(n_, 0), cur_(n_, 0), out_(5 * (n_ + 1)) {}

    uint8_t* current() noexcept { return cur_.data(); }
    // The row just produced becomes the row above.
    void advance() noexcept { prev_.swap(cur_); }

    // The current row filtered, filter byte first (row_bytes + 1 bytes): all
    // five filters in one pass, the one of least weight kept (ties to the
    // earlier) among those allowed.
    const uint8_t* filter() noexcept {
        const uint8_t* r = cur_.data();
        const uint8_t* p = prev_.data();
        uint8_t* out[5];
        uint64_t sums[5] = {};
        for (uint32_t f = NONE; f <= PAETH; ++f) {
            candidate(f)[0] = static_cast<uint8_t>(f);
            out[f] = candidate(f) + 1;
        }
        // No pixel to the left: the left neighbours (and the upper left one) are 0.
        const size_t b = std::min<size_t>(bpp_, n_);
        for (size_t i = 0; i < b; ++i) put(out, sums, i, r[i], 0, p[i], 0);
        size_t i = b;
#if defined(__SSE2__)
        i = filter_sse2(r, p, b, n_, b, out, sums);
#endif
        for (; i < n_; ++i) put(out, sums, i, r[i], r[i - b], p[i], p[i - b]);
        uint32_t best = 0;
        uint64_t least = ~uint64_t{0};
        for (uint32_t f = NONE; f <= PAETH; ++f) {
            if ((mask_ & (1u << f)) && sums[f] < least) least = sums[f], best = f;
        }
        return candidate(best);
    }

  private:
    uint8_t* candidate(uint32_t f) noexcept { return out_.data() + f * (n_ + 1); }

    // Byte i of every filter from the byte x, its left neighbour a, the byte
    // above it b and the one above its left neighbour c.
    static void put(uint8_t* const out[5], uint64_t sums[5], size_t i, uint8_t x, uint8_t a,
                    uint8_t b, uint8_t c) noexcept {
        const uint8_t d[5] = {x, uint8_t(x - a), uint8_t(x - b), uint8_t(x - ((a + b) >> 1)),
                              uint8_t(x - paeth(a, b, c))};
        for (int f = 0; f < 5; ++f) {
            out[f][i] = d[f];
            sums[f] += weight(d[f]);
        }
    }

    size_t n_;
    size_t bpp_;
    uint32_t mask_;
    std::vector<uint8_t> prev_, cur_, out_;
};

// One band's compressed bytes and the Adler-32 of its filtered bytes. The
// buffer (room bytes) stays with its slot from batch to batch.
struct Band {
    uint8_t* bytes = nullptr;
    size_t room = 0;
    size_t size = 0;
    uLong adler = 0;
    uint64_t filtered = 0;
    bool ok = false;
};

struct FreeCompressor {
    void operator()(libdeflate_compressor* c) const noexcept { libdeflate_free_compressor(c); }
};

using Compressor = std::unique_ptr<libdeflate_compressor, FreeCompressor>;

// What a thread needs to make a band: a compressor (libdeflate's state is 670 KB
// at level 6) and room for the band's filtered bytes (a slot of the save's
// block, or its own when more threads ask than the block has slots). Made a
// few times per save and handed from band to band, instead of being
// allocated, faulted in and freed once per band.
struct Workspace {
    Compressor compressor;
    uint8_t* filtered = nullptr;
    std::vector<uint8_t> own;
};

class Workspaces {
  public:
    // slot_count slots of slot_bytes at slots, one per workspace made; the
    // first workspace takes first (owned from here on).
    Workspaces(int level, Compressor&& first, uint8_t* slots, size_t slot_bytes,
               uint32_t slot_count)
        : level_(level), slots_(slots), slot_bytes_(slot_bytes), slot_count_(slot_count) {
        free_.reserve(1);  // throws before first is taken, if at all
        free_.push_back(Workspace{std::move(first), slots, {}});
        made_ = 1;
    }
    Workspaces(const Workspaces&) = delete;
    Workspaces& operator=(const Workspaces&) = delete;

    // A workspace for the calling thread until it goes out of scope.
    class Lease {
      public:
        explicit Lease(Workspaces& pool) : pool_(pool), space_(pool.take()) {}
        ~Lease() { pool_.give(std::move(space_)); }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        Workspace& operator*() noexcept { return space_; }
        Workspace* operator->() noexcept { return &space_; }

      private:
        Workspaces& pool_;
        Workspace space_;
    };

  private:
    Workspace take() {
        uint32_t slot;
        {
            std::lock_guard hold(lock_);
            if (!free_.empty()) {
                Workspace w = std::move(free_.back());
                free_.pop_back();
                return w;
            }
            slot = made_++;
        }
        Workspace w{Compressor(libdeflate_alloc_compressor(level_)), nullptr, {}};
        if (slot < slot_count_) {
            w.filtered = slots_ + size_t{slot} * slot_bytes_;
        } else {
            w.own.resize(slot_bytes_);
            w.filtered = w.own.data();
        }
        return w;
    }

    // A workspace that cannot be kept (no room to list it) is freed.
    void give(Workspace&& w) noexcept {
        try {
            std::lock_guard hold(lock_);
            free_.push_back(std::move(w));
        } catch (...) {
        }
    }

    int level_;
    uint8_t* slots_;
    size_t slot_bytes_;
    uint32_t slot_count_;
    uint32_t made_ = 0;
    std::mutex lock_;
    std::vector<Workspace> free_;
};

struct Encoder {
    const PngLayout& layout;
    PngRowProducer rows;
    void* context;
    size_t row_bytes;
    uint32_t band_rows;
    uint32_t bands;
    Workspaces& spaces;

    // Rows [b * band_rows, ...) filtered, then deflated as one buffer; the last
    // band finishes the stream, the others end on a byte boundary with an empty
    // stored block, as a sync flush would.
    void make(uint32_t b, Band& band) const {
        const uint32_t y0 = b * band_rows;
        const uint32_t y1 = std::min(layout.height, y0 + band_rows);
        Workspaces::Lease space(spaces);
        if (!space->compressor) return;
        RowFilter filter(row_bytes, layout.bytes_per_pixel(), allowed_filters(layout));
        band.filtered = uint64_t{y1 - y0} * (row_bytes + 1);
        uint8_t* const filtered = space->filtered;
        if (y0 > 0) {
            rows(context, y0 - 1, filter.current());
            filter.advance();
        }
        for (uint32_t y = y0; y < y1; ++y) {
            rows(context, y, filter.current());
            std::memcpy(filtered + (y - y0) * (row_bytes + 1), filter.filter(), row_bytes + 1);
            filter.advance();
        }
        const size_t n = band.filtered;
        band.adler = libdeflate_adler32(1, filtered, n);
        const size_t bound = libdeflate_deflate_compress_bound(space->compressor.get(), n);
        // The room was made for the largest band (band_room).
        if (band.room < std::max(bound + 5, stored_bound(n))) return;
        band.size =
            libdeflate_deflate_compress(space->compressor.get(), filtered, n, band.bytes, bound);
        if (band.size == 0) return;
        if (b + 1 < bands) {
            // A stream that does not walk (never seen) is kept as stored blocks
            // rather than left final.
            const auto joined = make_not_final(band.bytes, band.size);
            band.size = joined ? *joined : store_not_final(filtered, n, band.bytes);
        }
        band.ok = true;
    }
};

void put32(uint8_t* p, uint32_t v) noexcept {
    p[0] = uint8_t(v >> 24), p[1] = uint8_t(v >> 16), p[2] = uint8_t(v >> 8), p[3] = uint8_t(v);
}

struct Bytes {
    const uint8_t* data;
    size_t size;
};

// The two bytes that open the zlib stream: deflate with a 32 KiB window, and
// the level's class as zlib itself writes it (0x78 0x9C at the default level).
std::array<uint8_t, 2> zlib_header(int level) noexcept {
    const uint32_t level_class = level < 2 ? 0 : level < 6 ? 1 : level == 6 ? 2 : 3;
    uint32_t header = (0x78u << 8) | (level_class << 6);
    header += 31 - header % 31;
    return {static_cast<uint8_t>(header >> 8), static_cast<uint8_t>(header)};
}

// One chunk: length, type, data (given in three parts, any of them empty), CRC.
bool write_chunk(ByteSink& out, const char* type, const Bytes (&parts)[3]) noexcept {
    uint8_t head[8], tail[4];
    put32(head, static_cast<uint32_t>(parts[0].size + parts[1].size + parts[2].size));
    std::memcpy(head + 4, type, 4);
    uLong crc = crc32(0, head + 4, 4);
    for (const Bytes& p : parts) {
        if (p.size) crc = crc32(crc, p.data, static_cast<uInt>(p.size));
    }
    put32(tail, static_cast<uint32_t>(crc));
    if (!out.write(head, 8)) return false;
    for (const Bytes& p : parts) {
        if (p.size && !out.write(p.data, p.size)) return false;
    }
    return out.write(tail, 4);
}

// Room for a band of at most filtered bytes: the compressor's bound with the
// five bytes of an empty stored block, or the band as stored blocks, whichever
// is more.
size_t band_room(libdeflate_compressor* c, size_t filtered) noexcept {
    return std::max(libdeflate_deflate_compress_bound(c, filtered) + 5, stored_bound(filtered));
}

}  // namespace

uint32_t png_band_rows(uint64_t row_bytes) noexcept {
    return static_cast<uint32_t>(std::max<uint64_t>(1, kBandBytes / (row_bytes + 1)));
}

PngDataResult write_png_data(ByteSink& out, const PngLayout& layout, PngRowProducer rows,
                             void* context) noexcept {
    if (layout.width == 0 || layout.height == 0) return PngDataResult::write_failed;
    const int level = std::min<int>(layout.level, 9);
    const size_t row_bytes = size_t{layout.width} * layout.bytes_per_pixel();
    const uint32_t band_rows = png_band_rows(row_bytes);
    const uint32_t bands = (layout.height - 1) / band_rows + 1;
    const size_t filtered_bytes = size_t{std::min(band_rows, layout.height)} * (row_bytes + 1);
    Compressor first(libdeflate_alloc_compressor(level));
    if (!first) return PngDataResult::out_of_memory;
    const size_t room = band_room(first.get(), filtered_bytes);
    // Bands go out in order, a batch of them made at a time so that only the
    // batch's compressed bytes are held. At a batch's end the threads wait
    // for its last band, so a batch holds as many bands as kBatchBytes has
    // room for (at least two per thread): batches of four on two threads
    // took about 5 % longer to save a 4096 x 4096 RGB image. A batch never
    // exceeds the image's bands, so that twice a thread count of 2^31 or more
    // cannot wrap to a batch of 0 (which would never finish).
    const uint32_t batch = static_cast<uint32_t>(std::min<uint64_t>(
        bands, std::max<uint64_t>({4, 2 * uint64_t{thread_count()}, kBatchBytes / room})));
    const uint32_t slots = batch;
    const uint32_t workers = std::min(slots, thread_count());
    // The batch's compressed bytes and the workers' filtered bytes, about
    // 1 MiB each, in one block: from the cache it is faulted in once per
    // process, where malloc maps each afresh and faults it in page by page at
    // every save.
    const auto block_bytes = checked_product(
        uint64_t{slots} * room + uint64_t{workers} * filtered_bytes, 1, 1, uint64_t{1} << 40);
    const Block block(block_bytes ? static_cast<size_t>(*block_bytes) : 0);
    if (!block_bytes || !block) return PngDataResult::out_of_memory;
    uint8_t* const buffers = block.get<uint8_t>();
    std::optional<Workspaces> spaces;
    std::vector<Band> made;
    if (!guarded(false, [&] {
            spaces.emplace(level, std::move(first), buffers + size_t{slots} * room, filtered_bytes,
                           workers);
            made.resize(slots);
            return true;
        }))
        return PngDataResult::out_of_memory;
    const Encoder encoder{layout, rows, context, row_bytes, band_rows, bands, *spaces};
    for (uint32_t i = 0; i < slots; ++i) {
        made[i].bytes = buffers + size_t{i} * room;
        made[i].room = room;
    }
    const std::array<uint8_t, 2> header = zlib_header(level);
    uLong adler = 1;
    for (uint32_t first = 0; first < bands; first += batch) {
        const uint32_t count = std::min(batch, bands - first);
        parallel_for(count, [&](uint32_t i) noexcept {
            Band& band = made[i];
            band.ok = false;
            guarded([&] { encoder.make(first + i, band); });
        });
        for (uint32_t i = 0; i < count; ++i) {
            Band& band = made[i];
            if (!band.ok) return PngDataResult::out_of_memory;
            const uint32_t b = first + i;
            adler = b == 0
                        ? band.adler
                        : adler32_combine(adler, band.adler, static_cast<z_off_t>(band.filtered));
            // The stream's header leads the first band, its checksum ends the last.
            uint8_t check[4];
            put32(check, static_cast<uint32_t>(adler));
            const Bytes parts[3] = {{header.data(), b == 0 ? 2u : 0u},
                                    {band.bytes, band.size},
                                    {check, b + 1 == bands ? 4u : 0u}};
            if (!write_chunk(out, "IDAT", parts)) return PngDataResult::write_failed;
        }
    }
    const Bytes nothing[3] = {};
    return write_chunk(out, "IEND", nothing) ? PngDataResult::written : PngDataResult::write_failed;
}

}  // namespace rk
