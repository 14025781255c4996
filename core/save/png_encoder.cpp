#include "save/png_encoder.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "common/export_boundary.h"
#include "common/thread_pool.h"

namespace rk {
namespace {

// Filtered bytes per band: big enough that the fresh start of each band's
// compressor costs well under 1 % of the file, small enough for many bands.
constexpr uint64_t kBandBytes = uint64_t{1} << 20;

// The strategy libpng picks for filtered rows, the full window and libpng's
// memory level, at every level.
constexpr int kWindowBits = 15;
constexpr int kMemLevel = 8;

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

// Filters rows one at a time; holds the row above and one candidate per filter.
class RowFilter {
  public:
    RowFilter(size_t row_bytes, uint32_t bpp, uint32_t mask)
        : n_(row_bytes), bpp_(bpp), mask_(mask), prev_(n_, 0), cur_(n_, 0), out_(5 * (n_ + 1)) {}

    uint8_t* current() noexcept { return cur_.data(); }
    // The row just produced becomes the row above.
    void advance() noexcept { prev_.swap(cur_); }

    // The current row filtered, filter byte first (row_bytes + 1 bytes).
    const uint8_t* filter() noexcept {
        uint32_t best = 0;
        uint64_t least = ~uint64_t{0};
        for (uint32_t f = NONE; f <= PAETH; ++f) {
            if (!(mask_ & (1u << f))) continue;
            const uint64_t sum = apply(static_cast<Filter>(f), candidate(f));
            if (sum < least) least = sum, best = f;
        }
        return candidate(best);
    }

  private:
    uint8_t* candidate(uint32_t f) noexcept { return out_.data() + f * (n_ + 1); }

    uint64_t apply(Filter f, uint8_t* out) noexcept {
        const uint8_t* r = cur_.data();
        const uint8_t* p = prev_.data();
        uint8_t* d = out + 1;
        out[0] = f;
        uint64_t sum = 0;
        const size_t b = std::min<size_t>(bpp_, n_);
        switch (f) {
            case NONE:
                for (size_t i = 0; i < n_; ++i) sum += weight(d[i] = r[i]);
                break;
            case SUB:
                for (size_t i = 0; i < b; ++i) sum += weight(d[i] = r[i]);
                for (size_t i = b; i < n_; ++i) sum += weight(d[i] = uint8_t(r[i] - r[i - b]));
                break;
            case UP:
                for (size_t i = 0; i < n_; ++i) sum += weight(d[i] = uint8_t(r[i] - p[i]));
                break;
            case AVG:
                for (size_t i = 0; i < b; ++i) sum += weight(d[i] = uint8_t(r[i] - (p[i] >> 1)));
                for (size_t i = b; i < n_; ++i)
                    sum += weight(d[i] = uint8_t(r[i] - ((p[i] + r[i - b]) >> 1)));
                break;
            case PAETH:
                for (size_t i = 0; i < b; ++i) sum += weight(d[i] = uint8_t(r[i] - p[i]));
                for (size_t i = b; i < n_; ++i)
                    sum += weight(d[i] = uint8_t(r[i] - paeth(r[i - b], p[i], p[i - b])));
                break;
        }
        return sum;
    }

    size_t n_;
    size_t bpp_;
    uint32_t mask_;
    std::vector<uint8_t> prev_, cur_, out_;
};

// One band's compressed bytes and the Adler-32 of its filtered bytes.
struct Band {
    std::vector<uint8_t> bytes;
    uLong adler = 0;
    uint64_t filtered = 0;
    bool ok = false;
};

struct Deflater {
    z_stream z{};
    bool live = false;
    explicit Deflater(int level) noexcept {
        live = deflateInit2(&z, level, Z_DEFLATED, -kWindowBits, kMemLevel, Z_FILTERED) == Z_OK;
    }
    ~Deflater() {
        if (live) deflateEnd(&z);
    }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;
};

struct Encoder {
    const PngLayout& layout;
    PngRowProducer rows;
    void* context;
    size_t row_bytes;
    uint32_t band_rows;
    uint32_t bands;

    // Rows [b * band_rows, ...) filtered and deflated; the last band finishes
    // the stream, the others end on a byte boundary with a sync flush.
    void make(uint32_t b, Band& band) const {
        const uint32_t y0 = b * band_rows;
        const uint32_t y1 = std::min(layout.height, y0 + band_rows);
        RowFilter filter(row_bytes, layout.bytes_per_pixel(), allowed_filters(layout));
        Deflater d(layout.level);
        if (!d.live) return;
        band.filtered = uint64_t{y1 - y0} * (row_bytes + 1);
        band.bytes.resize(deflateBound(&d.z, static_cast<uLong>(band.filtered)) + 64);
        band.adler = adler32(0, nullptr, 0);
        d.z.next_out = band.bytes.data();
        d.z.avail_out = static_cast<uInt>(band.bytes.size());
        if (y0 > 0) {
            rows(context, y0 - 1, filter.current());
            filter.advance();
        }
        for (uint32_t y = y0; y < y1; ++y) {
            rows(context, y, filter.current());
            const uint8_t* line = filter.filter();
            band.adler = adler32(band.adler, line, static_cast<uInt>(row_bytes + 1));
            d.z.next_in = const_cast<Bytef*>(line);
            d.z.avail_in = static_cast<uInt>(row_bytes + 1);
            const bool last = y + 1 == y1;
            const int flush = !last ? Z_NO_FLUSH : (b + 1 == bands ? Z_FINISH : Z_SYNC_FLUSH);
            const int status = deflate(&d.z, flush);
            if (status == Z_STREAM_ERROR || d.z.avail_in != 0) return;
            if (last && flush == Z_FINISH && status != Z_STREAM_END) return;
            // A full output buffer may hold back part of the flush.
            if (last && d.z.avail_out == 0) return;
            filter.advance();
        }
        band.bytes.resize(band.bytes.size() - d.z.avail_out);
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

}  // namespace

uint32_t png_band_rows(uint64_t row_bytes) noexcept {
    return static_cast<uint32_t>(std::max<uint64_t>(1, kBandBytes / (row_bytes + 1)));
}

PngDataResult write_png_data(ByteSink& out, const PngLayout& layout, PngRowProducer rows,
                             void* context) noexcept {
    if (layout.width == 0 || layout.height == 0) return PngDataResult::write_failed;
    const size_t row_bytes = size_t{layout.width} * layout.bytes_per_pixel();
    const uint32_t band_rows = png_band_rows(row_bytes);
    const uint32_t bands = (layout.height - 1) / band_rows + 1;
    const Encoder encoder{layout, rows, context, row_bytes, band_rows, bands};
    // Bands go out in order, a batch of them made at a time so that only the
    // batch's compressed bytes are held.
    const uint32_t batch = std::max(4u, 2 * thread_count());
    std::vector<Band> made;
    if (!guarded(false, [&] {
            made.resize(std::min(batch, bands));
            return true;
        }))
        return PngDataResult::out_of_memory;
    const std::array<uint8_t, 2> stream_header = zlib_header(layout.level);
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
            const Bytes parts[3] = {{stream_header.data(), b == 0 ? 2u : 0u},
                                    {band.bytes.data(), band.bytes.size()},
                                    {check, b + 1 == bands ? 4u : 0u}};
            const bool written = write_chunk(out, "IDAT", parts);
            std::vector<uint8_t>().swap(band.bytes);
            if (!written) return PngDataResult::write_failed;
        }
    }
    const Bytes nothing[3] = {};
    return write_chunk(out, "IEND", nothing) ? PngDataResult::written : PngDataResult::write_failed;
}

}  // namespace rk
