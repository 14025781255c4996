#include "save/exr_writer.h"

#include <openexr.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "common/thread_pool.h"

namespace rk {
namespace {

// Far beyond the largest file of the largest image the library makes (2^28
// pixels of four float channels, plus the chunk table).
constexpr uint64_t kMaxWrittenBytes = uint64_t{1} << 36;

// The file as OpenEXR writes it: at offsets, since the chunk table at the
// front is filled in last. Also the first message OpenEXR gave, and whether
// the bytes found no memory (OpenEXR hears only that a write failed).
struct MemoryFile {
    std::vector<uint8_t> bytes;
    std::string error;
    bool out_of_memory = false;
};

// The file of the save the calling thread runs. OpenEXR calls its error
// handler with the context locked, so the handler cannot ask the context for
// its user data: that waits for the same lock for ever.
thread_local MemoryFile* t_saving = nullptr;

// Makes file the thread's for the scope's life, then restores the one before.
class SavingInto {
  public:
    explicit SavingInto(MemoryFile& file) noexcept : previous_(t_saving) { t_saving = &file; }
    ~SavingInto() { t_saving = previous_; }
    SavingInto(const SavingInto&) = delete;
    SavingInto& operator=(const SavingInto&) = delete;

  private:
    MemoryFile* previous_;
};

int64_t write_at(exr_const_context_t, void* user, const void* data, uint64_t size, uint64_t offset,
                 exr_stream_error_func_ptr_t) {
    auto* file = static_cast<MemoryFile*>(user);
    if (offset > kMaxWrittenBytes || size > kMaxWrittenBytes - offset) return -1;
    try {
        if (file->bytes.size() < offset + size) file->bytes.resize(offset + size);
    } catch (const std::bad_alloc&) {  // nothing may leave into OpenEXR's C code
        file->out_of_memory = true;
        return -1;
    } catch (...) {
        return -1;
    }
    std::memcpy(file->bytes.data() + offset, data, size);
    return static_cast<int64_t>(size);
}

// OpenEXR would print to stderr; the library keeps the reason instead. Only
// the saving thread keeps one: a worker encoding a chunk has no file, and its
// failure still comes back as the chunk's result.
void keep_error(exr_const_context_t, exr_result_t, const char* message) {
    MemoryFile* file = t_saving;
    if (!file || !file->error.empty() || !message) return;
    try {
        file->error = message;
    } catch (...) {
    }
}

// Owns the write context; finishing a failed one only tidies memory.
struct ExrContext {
    exr_context_t ctx = nullptr;
    ~ExrContext() {
        if (ctx) exr_finish(&ctx);
    }
};

exr_result_t not_yet(exr_encode_pipeline_t*) {
    return EXR_ERR_SUCCESS;
}

// One chunk's encoder. Chunks are packed and compressed in parallel, with the
// write step (and OpenEXR's wait for the chunk's turn) held back, then written
// in order, so the bytes never depend on which thread encoded which chunk.
struct ChunkEncoder {
    exr_encode_pipeline_t pipe{};  // zeroed, as OpenEXR's initializer makes it
    exr_result_t (*write)(exr_encode_pipeline_t*) = nullptr;
    exr_result_t result = EXR_ERR_SUCCESS;
    exr_chunk_info_t chunk{};
    bool started = false;

    // Asks the context, so it runs on the calling thread.
    void prepare(exr_context_t ctx, int32_t y) noexcept {
        chunk = exr_chunk_info_t{};
        result = exr_write_scanline_chunk_info(ctx, 0, y, &chunk);
    }

    void encode(exr_const_context_t ctx, const imgbuf* img) noexcept {
        if (result != EXR_ERR_SUCCESS) return;
        result = started ? exr_encoding_update(ctx, 0, &chunk, &pipe)
                         : exr_encoding_initialize(ctx, 0, &chunk, &pipe);
        if (result != EXR_ERR_SUCCESS) return;
        for (int16_t c = 0; c < pipe.channel_count; ++c) {
            exr_coding_channel_info_t& channel = pipe.channels[c];
            const char name = channel.channel_name[0];
            const int source = name == 'G' ? 1 : name == 'B' ? 2 : name == 'A' ? 3 : 0;
            channel.encode_from_ptr = reinterpret_cast<const uint8_t*>(
                row_unchecked(img, static_cast<uint32_t>(chunk.start_y)) + source);
            channel.user_bytes_per_element = 4;
            channel.user_data_type = EXR_PIXEL_FLOAT;
            channel.user_pixel_stride = 16;
            channel.user_line_stride = static_cast<int32_t>(stride_floats(img) * 4u);
        }
        if (!started) {
            result = exr_encoding_choose_default_routines(ctx, 0, &pipe);
            if (result != EXR_ERR_SUCCESS) return;
            write = pipe.write_fn;
            pipe.write_fn = not_yet;
            pipe.yield_until_ready_fn = not_yet;
            started = true;
        }
        result = exr_encoding_run(ctx, 0, &pipe);
        // The zip step reports any failure of zlib as a corrupt chunk; with the
        // library's own samples and a buffer OpenEXR sized, zlib fails only for
        // want of memory.
        if (result == EXR_ERR_CORRUPT_CHUNK) result = EXR_ERR_OUT_OF_MEMORY;
    }

    // Writes the encoded chunk. A reader takes a chunk as large as its raw
    // samples for the raw samples, yet OpenEXR keeps compressed bytes that come
    // out exactly that large (it falls back only when they are larger): such a
    // chunk goes out raw. The pipeline's own buffers are put back afterwards,
    // since it frees and reuses them.
    exr_result_t write_chunk() noexcept {
        void* const compressed = pipe.compressed_buffer;
        const size_t compressed_bytes = pipe.compressed_bytes;
        if (compressed && compressed != pipe.packed_buffer &&
            compressed_bytes >= pipe.packed_bytes) {
            pipe.compressed_buffer = pipe.packed_buffer;
            pipe.compressed_bytes = pipe.packed_bytes;
        }
        const exr_result_t r = write(&pipe);
        pipe.compressed_buffer = compressed;
        pipe.compressed_bytes = compressed_bytes;
        return r;
    }
};

struct ChannelSpec {
    const char* names[4];
    int count;
};

ChannelSpec channels_of(ExrLayout layout) noexcept {
    switch (layout) {
        case ExrLayout::y:
            return {{"Y"}, 1};
        case ExrLayout::rgb:
            return {{"R", "G", "B"}, 3};
        case ExrLayout::rgba:
            break;
    }
    return {{"R", "G", "B", "A"}, 4};
}

SaveOutcome failure(const MemoryFile& file, const char* step, exr_result_t code) {
    if (file.out_of_memory || code == EXR_ERR_OUT_OF_MEMORY) return out_of_memory();
    std::string why = file.error.empty() ? exr_get_default_error_message(code) : file.error;
    return save_failure(RK_ERROR_INTERNAL, std::string("OpenEXR: ") + step + ": " + why);
}

SaveOutcome encode_file(const imgbuf* img, const ExrOptions& options, MemoryFile& file) {
    const SavingInto reporting(file);  // outlives the context, whose finish may report
    exr_context_initializer_t init = EXR_DEFAULT_CONTEXT_INITIALIZER;
    init.user_data = &file;
    init.write_fn = write_at;
    init.error_handler_fn = keep_error;
    ExrContext owner;
    exr_result_t r = exr_start_write(&owner.ctx, "reliefkit", EXR_WRITE_FILE_DIRECTLY, &init);
    if (r != EXR_ERR_SUCCESS) return failure(file, "start", r);
    exr_context_t ctx = owner.ctx;
    int part = 0;
    r = exr_add_part(ctx, "", EXR_STORAGE_SCANLINE, &part);
    if (r == EXR_ERR_SUCCESS) {
        const exr_compression_t compression =
            options.compression == ExrCompression::zip ? EXR_COMPRESSION_ZIP : EXR_COMPRESSION_NONE;
        r = exr_initialize_required_attr_simple(ctx, part, static_cast<int32_t>(img->width),
                                                static_cast<int32_t>(img->height), compression);
    }
    const exr_pixel_type_t type =
        options.sample == ExrSample::float32 ? EXR_PIXEL_FLOAT : EXR_PIXEL_HALF;
    const ChannelSpec named = channels_of(options.layout);
    // The flag tells lossy compressors a channel holds perceptually linear
    // values (hue, chroma); colour and heights are neither, so it stays clear.
    for (int c = 0; c < named.count && r == EXR_ERR_SUCCESS; ++c) {
        r = exr_add_channel(ctx, part, named.names[c], type, EXR_PERCEPTUALLY_LOGARITHMIC, 1, 1);
    }
    if (r == EXR_ERR_SUCCESS) r = exr_write_header(ctx);
    if (r != EXR_ERR_SUCCESS) return failure(file, "header", r);

    int32_t lines = 0;
    int32_t chunks = 0;
    r = exr_get_scanlines_per_chunk(ctx, part, &lines);
    if (r == EXR_ERR_SUCCESS) r = exr_get_chunk_count(ctx, part, &chunks);
    if (r != EXR_ERR_SUCCESS || lines < 1 || chunks < 1) return failure(file, "layout", r);
    // A batch of chunks is in memory at once; its size changes no byte. It
    // never holds more than the image's chunks, so that no thread count can
    // make it empty (twice 2^31 wraps to 0: no chunk would ever be written)
    // or ask for billions of encoders.
    std::vector<ChunkEncoder> batch(static_cast<size_t>(
        std::min<uint64_t>(static_cast<uint64_t>(chunks), 2 * uint64_t{thread_count()})));
    const auto destroy = [&] {
        for (ChunkEncoder& e : batch) exr_encoding_destroy(ctx, &e.pipe);
    };
    for (int32_t first = 0; first < chunks && r == EXR_ERR_SUCCESS;
         first += static_cast<int32_t>(batch.size())) {
        const auto n = static_cast<uint32_t>(
            std::min<int64_t>(static_cast<int64_t>(batch.size()), chunks - first));
        for (uint32_t i = 0; i < n; ++i) {
            batch[i].prepare(ctx, (first + static_cast<int32_t>(i)) * lines);
        }
        parallel_for(n, [&](uint32_t i) noexcept { batch[i].encode(ctx, img); });
        for (uint32_t i = 0; i < n && r == EXR_ERR_SUCCESS; ++i) {
            r = batch[i].result;
            if (r == EXR_ERR_SUCCESS) r = batch[i].write_chunk();
        }
    }
    destroy();
    if (r != EXR_ERR_SUCCESS) return failure(file, "pixels", r);
    r = exr_finish(&owner.ctx);
    if (r != EXR_ERR_SUCCESS) return failure(file, "finish", r);
    return {};
}

}  // namespace

SaveOutcome write_exr(const imgbuf* img, const ExrOptions& options, ByteSink& sink) noexcept {
    try {
        if (!has_pixels(img) || img->width == 0 || img->height == 0) {
            return save_failure(RK_ERROR_ARGUMENT, "No image to save.");
        }
        // OpenEXR's sizes and row strides are 32-bit signed.
        if (uint64_t{img->width} * 16 > INT32_MAX || img->height > INT32_MAX) {
            return save_failure(RK_ERROR_LIMIT, "The image is too wide for OpenEXR.");
        }
        MemoryFile file;
        SaveOutcome outcome = encode_file(img, options, file);
        if (!outcome.ok()) return outcome;
        return sink.write(file.bytes.data(), file.bytes.size()) ? SaveOutcome{} : sink_refused();
    } catch (const std::bad_alloc&) {
        return out_of_memory();
    } catch (...) {
        return save_failure(RK_ERROR_INTERNAL, "OpenEXR writer failed.");
    }
}

}  // namespace rk
