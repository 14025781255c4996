// The EXR and DDS writers: BC4 against the brute-force best endpoints, the mip
// chain's sizes, mean and unit normals, the DDS layout, the same bytes on any
// thread count, hostile sizes and a refusing sink; then the files read back by
// OpenCV and Pillow (texture_readback.py).
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/thread_pool.h"
#include "image_helpers.h"
#include "save/bc_blocks.h"
#include "save/dds_writer.h"
#include "save/exr_writer.h"
#include "save/mip_chain.h"
#include "save/output_file.h"
#include "save/save_outcome.h"
#include "temp_dir.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The 8 levels of a BC4 block with endpoints e0, e1, as Direct3D defines them.
std::array<double, 8> bc4_palette(int e0, int e1) {
    std::array<double, 8> pal = {double(e0), double(e1), 0, 0, 0, 0, 0, 255};
    for (int k = 2; k < 8; ++k)
        if (e0 > e1)
            pal[k] = ((8 - k) * e0 + (k - 1) * e1) / 7.0;
        else if (k < 6)
            pal[k] = ((6 - k) * e0 + (k - 1) * e1) / 5.0;
    return pal;
}

double bc4_error(const uint8_t* b, const float v[16]) {
    const auto pal = bc4_palette(b[0], b[1]);
    uint64_t bits = 0;
    for (int i = 0; i < 6; ++i) bits |= uint64_t{b[2 + i]} << (8 * i);
    double sum = 0;
    for (int i = 0; i < 16; ++i) sum += std::pow(pal[(bits >> (3 * i)) & 7] - 255.0 * v[i], 2);
    return sum;
}

// Every pair of endpoints, each sample at its nearest level.
double best_bc4_error(const float v[16]) {
    double best = 1e30;
    for (int e0 = 0; e0 < 256; ++e0) {
        for (int e1 = 0; e1 < 256; ++e1) {
            const auto pal = bc4_palette(e0, e1);
            double sum = 0;
            for (int i = 0; i < 16 && sum < best; ++i) {
                double least = 1e30;
                for (double p : pal) least = std::min(least, std::pow(p - 255.0 * v[i], 2));
                sum += least;
            }
            best = std::min(best, sum);
        }
    }
    return best;
}

// Searching every pair would cost a thousand times more; the encoder's starts
// and climbs come within a few percent on average.
TEST(Bc4Encoder, CloseToTheBestEndpoints) {
    double sum = 0;
    // A gentle slope, noise, noise over black and white, a step, one value.
    for (int kind = 0; kind < 5; ++kind) {
        for (uint32_t seed = 1; seed <= 3; ++seed) {
            const Img n = noise(4, 4, seed + 10 * kind);
            float v[16];
            for (int i = 0; i < 16; ++i) {
                const float r = imgbuf_buf(n.get())[4 * i];
                const float options[5] = {0.3f + 0.02f * i + 0.01f * r, r,
                                          i % 5 == 0 ? float(i % 2) : r,
                                          i < 8 ? 0.2f : 0.7f + 0.1f * r, 0.123f * seed};
                v[i] = options[kind];
            }
            uint8_t out[8];
            rk::encode_bc4_block(v, out);
            const double ratio = (bc4_error(out, v) + 1) / (best_bc4_error(v) + 1);
            EXPECT_LE(ratio, 2.0) << "kind " << kind << " seed " << seed;
            sum += ratio;
        }
    }
    EXPECT_LE(sum / 15, 1.05);
}

// Opaque blocks stay opaque and clear ones clear: mode 6's alpha endpoints
// 2 x code + parity must both be 255 or both 0 (a parity that frees a colour
// step once left 14 % of a photograph's pixels at alpha 254); mode 5 keeps
// alpha in its 8-bit scalar (rotation 0) or as colour code 127 or 0.
TEST(Bc7Encoder, OpaqueAndClearBlocksKeepTheirAlpha) {
    const auto bits = [](const uint8_t* b, int at, int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i) v |= uint32_t{(b[(at + i) / 8] >> ((at + i) % 8)) & 1u} << i;
        return v;
    };
    for (uint32_t seed = 1; seed <= 80; ++seed) {
        const bool opaque = seed % 2;
        // From seed 41 on, alphas a step's fraction off: resampling leaves 0.99999994.
        const float alpha = seed > 40 ? (opaque ? 0.99999994f : 0.001f) : float(opaque);
        const Img n = noise(4, 4, seed);
        float px[64];
        for (int i = 0; i < 64; ++i)
            px[i] = i % 4 == 3 ? alpha : 0.3f + 0.005f * i + 0.05f * imgbuf_buf(n.get())[i];
        uint8_t b[16];
        rk::encode_bc7_block(px, b);
        // Mode 6: A0, A1, P0, P1; mode 5: the scalar's ends (rotation 0) or colour channel r - 1's.
        const bool six = (b[0] & 0x7f) == 0x40;
        const uint32_t r = bits(b, 6, 2);
        const uint32_t got = six      ? bits(b, 49, 16)
                             : r == 0 ? bits(b, 50, 16)
                                      : bits(b, 8 + 14 * (r - 1), 14);
        EXPECT_EQ(got, opaque ? (six || r == 0 ? 0xffffu : 0x3fffu) : 0u) << seed;
    }
}

TEST(MipChain, LevelSizesAndConservedMean) {
    EXPECT_EQ(rk::mip_level_count(1, 1), 1u);
    EXPECT_EQ(rk::mip_level_count(5, 3), 3u);
    EXPECT_EQ(rk::mip_level_count(1, 7), 3u);
    EXPECT_EQ(rk::mip_level_count(4096, 2), 13u);
    for (auto space : {rk::MipSpace::plain, rk::MipSpace::normal}) {
        const Img img = noise(7, 5, 3);
        rk::ImgbufPtr level = rk::to_filter_space(img.get(), space);
        const auto mean = [](const imgbuf* l, int c) {
            double s = 0;
            for (uint32_t y = 0; y < l->height; ++y)
                for (uint32_t x = 0; x < l->width; ++x) s += get_px(l, x, y)[c];
            return s / (l->width * l->height);
        };
        const double first = mean(level.get(), 0);
        for (uint32_t w : {3u, 1u}) {
            level = rk::next_mip_level(level.get(), space);
            ASSERT_EQ(level->width, w);
            ASSERT_EQ(level->height, w == 3 ? 2u : 1u);
            for (uint32_t y = 0; y < level->height; ++y)
                for (uint32_t x = 0; x < w && space == rk::MipSpace::normal; ++x) {
                    const Px p = get_px(level.get(), x, y);
                    EXPECT_NEAR(p[0] * p[0] + p[1] * p[1] + p[2] * p[2], 1.0, 1e-6);
                }
            if (space == rk::MipSpace::plain) {
                EXPECT_NEAR(mean(level.get(), 0), first, 1e-6);
            }
        }
    }
    // Samples count as the encoders show them on level 0: NaN as 0, not as
    // the mean, and the rest clamped to 0..1.
    Img one_nan = filled(4, 2, Px{0.5f, 0.5f, 0.5f, 0.5f});
    set_px(one_nan.get(), 1, 1, Px{NAN, NAN, NAN, NAN});
    set_px(one_nan.get(), 0, 0, Px{4.0f, INFINITY, -INFINITY, NAN});
    const rk::ImgbufPtr half = rk::next_mip_level(one_nan.get(), rk::MipSpace::plain);
    EXPECT_EQ(get_px(half.get(), 0, 0), (Px{0.5f, 0.5f, 0.25f, 0.25f}));
    EXPECT_EQ(get_px(half.get(), 1, 0)[3], 0.5f);
    const rk::ImgbufPtr linear = rk::to_filter_space(one_nan.get(), rk::MipSpace::srgb);
    EXPECT_EQ(get_px(linear.get(), 0, 0), (Px{1.0f, 1.0f, 0.0f, 0.0f}));
    // Opaque stays exactly opaque where 25 pixels' weights sum to under 1.
    const rk::ImgbufPtr opaque = rk::next_mip_level(filled(25, 1, Px{0.5f, 0.5f, 0.5f, 1.0f}).get(),
                                                    rk::MipSpace::srgb, true);
    for (uint32_t x = 0; x < 12; ++x) EXPECT_EQ(get_px(opaque.get(), x, 0)[3], 1.0f) << x;
    // Made straight from stored values, a level is the one of their copy in filter space.
    Img mixed = noise(7, 5, 3);
    set_px(mixed.get(), 2, 2, Px{4.0f, NAN, -1.0f, 2.0f});
    for (auto space : {rk::MipSpace::srgb, rk::MipSpace::normal}) {
        const rk::ImgbufPtr copy = rk::to_filter_space(mixed.get(), space);
        EXPECT_TRUE(same_image(rk::next_mip_level(mixed.get(), space, true).get(),
                               rk::next_mip_level(copy.get(), space).get()));
    }
}

// The temporary file is its owner's alone; the saved one gets the replaced
// file's permissions, or a new file's under the mask.
TEST(OutputFile, PermissionsOfTheTemporaryAndTheSavedFile) {
    EXPECT_EQ(rk::kTemporaryFileMode, 0600u);
    struct stat replaced {};
    replaced.st_mode = S_IFREG | 0640;
    EXPECT_EQ(rk::saved_file_mode(&replaced, 022), 0640u);
    EXPECT_EQ(rk::saved_file_mode(nullptr, 022), 0644u);
    EXPECT_EQ(rk::saved_file_mode(nullptr, 077), 0600u);
    const TempDir dir;  // and a save over a file keeps its mode
    const std::string kept = (dir / "kept.dds").string();
    write_bytes(kept, Bytes{1});
    ASSERT_EQ(::chmod(kept.c_str(), 0640), 0);
    const Img small = noise(4, 4, 1);
    EXPECT_TRUE(rk::save_to_file(kept, [&](rk::ByteSink& s) { return rk::write_dds(small.get(), {rk::DdsFormat::bc4}, s); }).ok());
    struct stat now {};
    EXPECT_EQ(::stat(kept.c_str(), &now) == 0 ? now.st_mode & 07777 : 0u, 0640u);
}

Bytes written(const imgbuf* img, const auto& write, uint32_t threads = 0) {
    Bytes out;
    const auto append = [](void* user, const void* data, size_t size) {
        auto* b = static_cast<Bytes*>(user);
        b->insert(b->end(), static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
        return 0;
    };
    rk::set_thread_count_to(threads);
    const rk::SaveOutcome outcome =
        rk::save_to_callback(append, &out, [&](rk::ByteSink& sink) { return write(img, sink); });
    rk::set_thread_count_to(0);
    EXPECT_TRUE(outcome.ok()) << outcome.message;
    return out;
}

uint32_t u32(const Bytes& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t{b[at + 3]} << 24;
}

TEST(TextureWriters, DdsHeaderAndEveryLevelsSizeAndExrOfAnySize) {
    using rk::DdsFormat;
    for (auto [w, h] : {std::pair{1u, 1u}, {5u, 3u}, {64u, 32u}, {1u, 9u}}) {
        const Img img = noise(w, h, 1);
        EXPECT_FALSE(written(img.get(), [](const imgbuf* i, rk::ByteSink& s) {
                         return rk::write_exr(i, {rk::ExrLayout::y}, s);
                     }).empty());
        for (DdsFormat f : {DdsFormat::bc4, DdsFormat::bc5, DdsFormat::bc7}) {
            const Bytes file = written(img.get(), [f](const imgbuf* i, rk::ByteSink& s) {
                return rk::write_dds(i, {f, true, f == DdsFormat::bc5, false}, s);
            });
            const uint32_t levels = rk::mip_level_count(w, h);
            size_t size = f == DdsFormat::bc7 ? 148 : 128;
            for (uint32_t l = 0; l < levels; ++l)
                size += rk::dds_level_bytes(f, std::max(1u, w >> l), std::max(1u, h >> l));
            EXPECT_EQ(file.size(), size) << w << "x" << h;
            EXPECT_EQ(u32(file, 12), h);
            EXPECT_EQ(u32(file, 16), w);
            EXPECT_EQ(u32(file, 28), levels);
            EXPECT_EQ(u32(file, 84), f == DdsFormat::bc4   ? 0x31495441u    // ATI1
                                     : f == DdsFormat::bc5 ? 0x32495441u    // ATI2
                                                           : 0x30315844u);  // DX10
        }
    }
}

// A chunk exactly as large as its raw samples is read as raw samples, so it
// must hold them, not zip bytes that came out that large (these small maps
// meet that case in some chunk).
TEST(TextureWriters, ExrChunkOfRawSizeHoldsTheRawSamples) {
    const auto half_of_sixteenths = [](uint32_t k) {  // k / 16 for k in 0..16
        uint32_t e = 0;
        while (k >> (e + 1)) ++e;
        return k ? uint16_t((e + 11) << 10 | (k - (1u << e)) << (10 - e)) : uint16_t{0};
    };
    int raw_chunks = 0;
    for (auto [w, h] : {std::pair{4u, 4u}, {2u, 8u}, {8u, 2u}, {1u, 40u}}) {
        const Img img = image_of(w, h, [](uint32_t x, uint32_t y) {
            return Px{float((7 * x + 13 * y) % 17) / 16, 0, 0, 0};
        });
        const Bytes f = written(img.get(), [](const imgbuf* i, rk::ByteSink& s) {
            return rk::write_exr(i, {rk::ExrLayout::y, rk::ExrSample::half}, s);
        });
        size_t at = 8;  // past the magic number and version: the attributes
        while (f[at]) {
            for (int text = 0; text < 2; ++text)  // its name and type
                at += std::strlen(reinterpret_cast<const char*>(&f[at])) + 1;
            at += 4 + u32(f, at);
        }
        const uint32_t chunks = (h + 15) / 16;
        at += 1 + 8 * chunks;  // the header's end and the chunk offsets
        for (uint32_t c = 0; c < chunks; ++c, at += 8 + u32(f, at + 4)) {
            const uint32_t y0 = 16 * c, rows = std::min(16u, h - y0);
            ASSERT_EQ(u32(f, at), y0);
            ASSERT_LE(u32(f, at + 4), 2 * w * rows);
            if (u32(f, at + 4) != 2 * w * rows) continue;
            ++raw_chunks;
            for (uint32_t i = 0; i < w * rows; ++i) {
                const uint16_t want = half_of_sixteenths((7 * (i % w) + 13 * (y0 + i / w)) % 17);
                ASSERT_EQ(f[at + 8 + 2 * i] | f[at + 9 + 2 * i] << 8, want) << w << "x" << h;
            }
        }
    }
    EXPECT_GT(raw_chunks, 0);
}

TEST(TextureWriters, SameBytesOnEveryThreadCount) {
    const Img img = noise(301, 77, 5);  // more EXR chunks and block rows than threads
    const auto dds = [](rk::DdsOptions o) {
        return [o](const imgbuf* i, rk::ByteSink& s) { return rk::write_dds(i, o, s); };
    };
    const auto exr = [](rk::ExrOptions o) {
        return [o](const imgbuf* i, rk::ByteSink& s) { return rk::write_exr(i, o, s); };
    };
    for (uint32_t threads : {2u, 3u}) {
        EXPECT_EQ(written(img.get(), dds({rk::DdsFormat::bc7, true, false, true}), 1),
                  written(img.get(), dds({rk::DdsFormat::bc7, true, false, true}), threads));
        EXPECT_EQ(written(img.get(), dds({rk::DdsFormat::bc5, true, true, false}), 1),
                  written(img.get(), dds({rk::DdsFormat::bc5, true, true, false}), threads));
        EXPECT_EQ(written(img.get(), exr({rk::ExrLayout::rgb, rk::ExrSample::half}), 1),
                  written(img.get(), exr({rk::ExrLayout::rgb, rk::ExrSample::half}), threads));
    }
}

// Thread counts whose double does not fit in 32 bits or whose batch of
// encoders would not fit in memory: the EXR batch once wrapped to 0 (the save
// never ended; the alarm ends the child then) or asked for 2e9 encoders.
TEST(TextureWritersDeathTest, HugeThreadCountsGiveTheSameBytes) {
    const Img img = noise(9, 40, 3);
    const auto exr = [](const imgbuf* i, rk::ByteSink& s) {
        return rk::write_exr(i, {rk::ExrLayout::rgb, rk::ExrSample::half}, s);
    };
    const Bytes one = written(img.get(), exr, 1);
    EXPECT_EXIT(
        {
            alarm(20);
            const bool same = written(img.get(), exr, 1u << 31) == one &&
                              written(img.get(), exr, 1000000000u) == one;
            std::_Exit(same ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(TextureWriters, RefuseEmptyImagesBadOptionsAndStopWhenTheSinkRefuses) {
    const Img empty = make_img(0, 4), one = noise(1, 1, 2), big = noise(64, 64, 3);
    int calls = 0;
    const auto refusing = [](void* n, const void*, size_t) { return ++*static_cast<int*>(n); };
    const auto dds = [&](const imgbuf* img, rk::DdsOptions o) {
        return rk::save_to_callback(refusing, &calls, [&](rk::ByteSink& s) { return rk::write_dds(img, o, s); }).status;
    };
    const auto exr = [&](const imgbuf* img) {
        return rk::save_to_callback(refusing, &calls, [&](rk::ByteSink& s) { return rk::write_exr(img, {}, s); }).status;
    };
    EXPECT_EQ(dds(empty.get(), {}), RK_ERROR_ARGUMENT);
    EXPECT_EQ(exr(empty.get()), RK_ERROR_ARGUMENT);
    EXPECT_EQ(exr(nullptr), RK_ERROR_ARGUMENT);
    EXPECT_EQ(dds(one.get(), {rk::DdsFormat::bc4, true, true, false}), RK_ERROR_ARGUMENT);
    EXPECT_EQ(dds(one.get(), {rk::DdsFormat::bc5, true, false, true}), RK_ERROR_ARGUMENT);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(dds(big.get(), {}), RK_ERROR_ABORTED);
    EXPECT_EQ(exr(big.get()), RK_ERROR_ABORTED);
    EXPECT_EQ(calls, 2);  // nothing after the first refusal
}

TEST(TextureWriters, FilesReadBackByOpenCvAndPillow) {
    if (std::system("/usr/bin/python3 -c 'import cv2, PIL' 2>/dev/null") != 0)
        GTEST_SKIP() << "python3-opencv and python3-pil are not installed";
    const TempDir dir;
    // Smooth maps (the block formats' error is then small) and a noisy one.
    const Img smooth = image_of(64, 32, [](uint32_t x, uint32_t y) {
        const float a = 0.5f + 0.4f * std::sin(0.05f * x) * std::cos(0.04f * y);
        return Px{a, 0.5f + 0.3f * std::sin(0.03f * (x + y)), 1.0f - a, 0.25f + 0.5f * a};
    });
    const Img rough = noise(37, 21, 9);
    for (auto [name, source] : {std::pair{"smooth", smooth.get()}, {"rough", rough.get()}}) {
        const imgbuf* img = source;
        write_bytes(
            dir / (std::string(name) + ".f32"),
            Bytes(reinterpret_cast<const uint8_t*>(imgbuf_buf(img)),
                  reinterpret_cast<const uint8_t*>(imgbuf_buf(img)) + imgbuf_buf_size(img)));
        const std::string stem = (dir / name).string();
        const auto save = [&](const std::string& suffix, const auto& write) {
            const rk::SaveOutcome o =
                rk::save_to_file(stem + suffix, [&](rk::ByteSink& s) { return write(img, s); });
            EXPECT_TRUE(o.ok()) << o.message;
        };
        save("_y.exr", [](auto i, auto& s) {
            return rk::write_exr(i, {rk::ExrLayout::y, rk::ExrSample::float32}, s);
        });
        save("_rgba.exr",
             [](auto i, auto& s) { return rk::write_exr(i, {rk::ExrLayout::rgba}, s); });
        save("_bc4.dds", [](auto i, auto& s) { return rk::write_dds(i, {rk::DdsFormat::bc4}, s); });
        save("_bc5.dds", [](auto i, auto& s) {
            return rk::write_dds(i, {rk::DdsFormat::bc5, true, true}, s);
        });
        save("_bc7.dds", [](auto i, auto& s) {
            return rk::write_dds(i, {rk::DdsFormat::bc7, true, false, true}, s);
        });
    }
    const std::string script = std::string(RK_TESTS_DIR) + "/save/texture_readback.py";
    EXPECT_EQ(std::system(("/usr/bin/python3 " + script + " " + dir.str()).c_str()), 0);
}

}  // namespace
