// The DDS writer's block encoders against NVIDIA Texture Tools 2.0 (Debian's
// libnvtt), on the maps of the sample photograph: the error of each to the
// float map (RMS and maximum, in 8-bit steps), decoded exactly as Direct3D
// defines the formats and as Pillow decodes them (integer division), and the
// CPU time of each. Usage: rk_dds_encoders [PHOTO]
#include <nvtt/nvtt.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "imgbuf/imgbuf.h"
#include "reliefkit.h"
#include "save/bc_blocks.h"

namespace {

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// One channel's BC4 block decoded: exact fractions, or Pillow's integer division.
void decode_bc4(const uint8_t* b, bool integer, float out[16]) {
    const int e0 = b[0], e1 = b[1];
    float pal[8] = {float(e0), float(e1)};
    const auto mix = [&](int w0, int w1, int d) {
        return integer ? float((w0 * e0 + w1 * e1) / d) : float(w0 * e0 + w1 * e1) / float(d);
    };
    if (e0 > e1) {
        for (int k = 2; k < 8; ++k) pal[k] = mix(8 - k, k - 1, 7);
    } else {
        for (int k = 2; k < 6; ++k) pal[k] = mix(6 - k, k - 1, 5);
        pal[6] = 0.0f;
        pal[7] = 255.0f;
    }
    uint64_t bits = 0;
    for (int i = 0; i < 6; ++i) bits |= uint64_t{b[2 + i]} << (8 * i);
    for (int i = 0; i < 16; ++i) out[i] = pal[(bits >> (3 * i)) & 7];
}

// BC1 (nvtt's colour) and BC7 mode 6 (ours), RGB only.
void decode_bc1(const uint8_t* b, bool integer, float out[48]) {
    const int c0 = b[0] | b[1] << 8, c1 = b[2] | b[3] << 8;
    const auto expand = [](int c, float rgb[3]) {
        const int r = c >> 11 & 31, g = c >> 5 & 63, bl = c & 31;
        rgb[0] = float(r << 3 | r >> 2);
        rgb[1] = float(g << 2 | g >> 4);
        rgb[2] = float(bl << 3 | bl >> 2);
    };
    float pal[4][3];
    expand(c0, pal[0]);
    expand(c1, pal[1]);
    for (int c = 0; c < 3; ++c) {
        const auto third = [&](float a, float b2) {
            return integer ? float((2 * int(a) + int(b2)) / 3) : (2 * a + b2) / 3;
        };
        if (c0 > c1) {
            pal[2][c] = third(pal[0][c], pal[1][c]);
            pal[3][c] = third(pal[1][c], pal[0][c]);
        } else {
            pal[2][c] = integer ? float((int(pal[0][c]) + int(pal[1][c])) / 2)
                                : (pal[0][c] + pal[1][c]) / 2;
            pal[3][c] = 0.0f;
        }
    }
    const uint32_t bits = b[4] | b[5] << 8 | b[6] << 16 | uint32_t{b[7]} << 24;
    for (int i = 0; i < 16; ++i)
        for (int c = 0; c < 3; ++c) out[3 * i + c] = pal[(bits >> (2 * i)) & 3][c];
}

// BC7 in the two modes the writer uses: 6 (RGBA line) and 5 (RGB line and a
// scalar, rotated into one channel).
void decode_bc7(const uint8_t* b, bool, float out[48]) {
    int p = 0;
    const auto bits = [&](int n) {
        int v = 0;
        for (int i = 0; i < n; ++i, ++p) v |= ((b[p >> 3] >> (p & 7)) & 1) << i;
        return v;
    };
    static const int w16[16] = {0, 4, 9, 13, 17, 21, 26, 30, 34, 38, 43, 47, 51, 55, 60, 64};
    static const int w4[4] = {0, 21, 43, 64};
    const auto mix = [](int a, int z, int w) { return float(((64 - w) * a + w * z + 32) >> 6); };
    if (b[0] & 0x40) {  // mode 6
        p = 7;
        int q[2][4];
        for (int c = 0; c < 4; ++c)
            for (int e = 0; e < 2; ++e) q[e][c] = bits(7);
        const int p0 = bits(1), p1 = bits(1);
        for (int i = 0; i < 16; ++i) {
            const int k = bits(i == 0 ? 3 : 4);
            for (int c = 0; c < 3; ++c)
                out[3 * i + c] = mix(2 * q[0][c] + p0, 2 * q[1][c] + p1, w16[k]);
        }
        return;
    }
    p = 6;  // mode 5
    const int rotation = bits(2);
    int q[2][4];
    for (int c = 0; c < 3; ++c)
        for (int e = 0; e < 2; ++e) q[e][c] = bits(7) << 1, q[e][c] |= q[e][c] >> 7;
    q[0][3] = bits(8), q[1][3] = bits(8);
    int ci[16], ai[16];
    for (int i = 0; i < 16; ++i) ci[i] = bits(i == 0 ? 1 : 2);
    for (int i = 0; i < 16; ++i) ai[i] = bits(i == 0 ? 1 : 2);
    for (int i = 0; i < 16; ++i) {
        float px[4];
        for (int c = 0; c < 4; ++c) px[c] = mix(q[0][c], q[1][c], w4[c == 3 ? ai[i] : ci[i]]);
        if (rotation > 0) std::swap(px[rotation - 1], px[3]);
        for (int c = 0; c < 3; ++c) out[3 * i + c] = px[c];
    }
}

struct Collector : nvtt::OutputHandler {
    std::vector<uint8_t> bytes;
    void beginImage(int, int, int, int, int, int) override {}
    bool writeData(const void* data, int size) override {
        const auto* p = static_cast<const uint8_t*>(data);
        bytes.insert(bytes.end(), p, p + size);
        return true;
    }
};

// nvtt takes 8-bit BGRA: each channel rounded from the float map.
std::vector<uint8_t> nvtt_encode(const std::vector<float>& rgba, int w, int h, nvtt::Format format,
                                 nvtt::Quality quality) {
    std::vector<uint8_t> bgra(size_t(w) * h * 4);
    for (size_t i = 0; i < size_t(w) * h; ++i) {
        const int order[4] = {2, 1, 0, 3};
        for (int c = 0; c < 4; ++c)
            bgra[4 * i + c] =
                uint8_t(std::lround(std::clamp(rgba[4 * i + order[c]], 0.0f, 1.0f) * 255));
    }
    nvtt::InputOptions in;
    in.setTextureLayout(nvtt::TextureType_2D, w, h);
    in.setMipmapData(bgra.data(), w, h);
    in.setMipmapGeneration(false);
    nvtt::CompressionOptions co;
    co.setFormat(format);
    co.setQuality(quality);
    Collector out;
    nvtt::OutputOptions oo;
    oo.setOutputHandler(&out);
    oo.setOutputHeader(false);
    nvtt::Compressor().process(in, co, oo);
    return out.bytes;
}

struct Error {
    double rms, max;
};

// Error over the given channels of 4 x 4 blocks of bytes_per_block.
Error measure(const std::vector<float>& rgba, int w, int h, const std::vector<uint8_t>& blocks,
              int block_bytes, const std::vector<int>& channels, bool integer, bool bc7) {
    double sum = 0, worst = 0;
    size_t n = 0;
    for (int by = 0; by < h / 4; ++by) {
        for (int bx = 0; bx < w / 4; ++bx) {
            const uint8_t* b = blocks.data() + (size_t(by) * (w / 4) + bx) * block_bytes;
            float dec[4][16];
            if (block_bytes == 8 && channels.size() == 3) {
                float rgb[48];
                decode_bc1(b, integer, rgb);
                for (int i = 0; i < 16; ++i)
                    for (int c = 0; c < 3; ++c) dec[c][i] = rgb[3 * i + c];
            } else if (bc7) {
                float rgb[48];
                decode_bc7(b, integer, rgb);
                for (int i = 0; i < 16; ++i)
                    for (int c = 0; c < 3; ++c) dec[c][i] = rgb[3 * i + c];
            } else {
                for (size_t c = 0; c < channels.size(); ++c) decode_bc4(b + 8 * c, integer, dec[c]);
            }
            for (int i = 0; i < 16; ++i) {
                const size_t px = size_t(4 * by + i / 4) * w + 4 * bx + i % 4;
                for (size_t c = 0; c < channels.size(); ++c) {
                    const double src = std::clamp(rgba[4 * px + channels[c]], 0.0f, 1.0f) * 255.0;
                    const double d = dec[c][i] - src;
                    sum += d * d;
                    worst = std::max(worst, std::fabs(d));
                    ++n;
                }
            }
        }
    }
    return {std::sqrt(sum / double(n)), worst};
}

std::vector<float> pixels_of(const imgbuf* img) {
    const float* p = imgbuf_buf(img);
    return std::vector<float>(p, p + size_t(imgbuf_w(img)) * imgbuf_h(img) * 4);
}

void report(const char* what, const char* encoder, const std::vector<float>& rgba, int w, int h,
            const std::vector<uint8_t>& blocks, int block_bytes, const std::vector<int>& channels,
            bool bc7, double seconds) {
    const Error exact = measure(rgba, w, h, blocks, block_bytes, channels, false, bc7);
    const Error pillow = measure(rgba, w, h, blocks, block_bytes, channels, true, bc7);
    std::printf("| %s | %s | %.3f | %.1f | %.3f | %.1f | %.2f |\n", what, encoder, exact.rms,
                exact.max, pillow.rms, pillow.max, seconds);
}

void compare(const char* what, const imgbuf* img, nvtt::Format nvtt_format, int block_bytes,
             const std::vector<int>& channels) {
    const int w = int(imgbuf_w(img)) / 4 * 4, h = int(imgbuf_h(img)) / 4 * 4;
    std::vector<float> rgba = pixels_of(img);
    if (channels.size() == 1)  // nvtt's BC4 reads one channel; give it the value in all
        for (size_t i = 0; i < rgba.size(); i += 4)
            rgba[i + 1] = rgba[i + 2] = rgba[i + 3] = rgba[i];
    const bool colour = channels.size() == 3;
    for (nvtt::Quality q : {nvtt::Quality_Production, nvtt::Quality_Highest}) {
        const double t0 = cpu_seconds();
        const std::vector<uint8_t> theirs =
            nvtt_encode(rgba, int(imgbuf_w(img)), int(imgbuf_h(img)), nvtt_format, q);
        const double t1 = cpu_seconds();
        report(what, q == nvtt::Quality_Highest ? "nvtt Highest" : "nvtt Production", rgba, w, h,
               theirs, block_bytes, channels, false, t1 - t0);
    }
    const int ours_bytes = colour ? 16 : block_bytes;
    std::vector<uint8_t> ours(size_t(w / 4) * (h / 4) * ours_bytes);
    const double t0 = cpu_seconds();
    for (int by = 0; by < h / 4; ++by) {
        for (int bx = 0; bx < w / 4; ++bx) {
            float px[64];
            for (int i = 0; i < 16; ++i)
                for (int c = 0; c < 4; ++c)
                    px[4 * i + c] =
                        rgba[4 * (size_t(4 * by + i / 4) * imgbuf_w(img) + 4 * bx + i % 4) + c];
            uint8_t* out = ours.data() + (size_t(by) * (w / 4) + bx) * ours_bytes;
            if (colour) {
                rk::encode_bc7_block(px, out);
                continue;
            }
            for (size_t c = 0; c < channels.size(); ++c) {
                float v[16];
                for (int i = 0; i < 16; ++i) v[i] = px[4 * i + channels[c]];
                rk::encode_bc4_block(v, out + 8 * c);
            }
        }
    }
    const double t1 = cpu_seconds();
    report(what, colour ? "reliefkit BC7" : "reliefkit", rgba, w, h, ours, ours_bytes, channels,
           colour, t1 - t0);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string path = argc > 1 ? argv[1] : RK_SAMPLES_DIR "/bricks.png";
    const std::u16string wide(path.begin(), path.end());
    set_thread_count(1);
    rk::ImgbufPtr photo(load_image(wide.c_str()));
    if (!photo) {
        std::fprintf(stderr, "cannot load %s\n", path.c_str());
        return 1;
    }
    rk::ImgbufPtr height(calc_heightmap_from_photo(photo.get(), 7, HM_AUTO_LEVELS | HM_SMOOTH, 0.5f,
                                                   0.0f, 1.0f, 0, 0.0f, 1.0f, 1.0f, 1.0f, 3, 0));
    rk::ImgbufPtr normal(calc_normalmap_from_heightmap(height.get(), 0, 0, 2, 1, 0, 0));
    std::printf(
        "| map | encoder | RMS | max | RMS (Pillow) | max (Pillow) | CPU s "
        "|\n|---|---|---|---|---|---|---|\n");
    compare("height (BC4)", height.get(), nvtt::Format_BC4, 8, {0});
    compare("normal (BC5)", normal.get(), nvtt::Format_BC5, 16, {0, 1});
    compare("photo (nvtt BC1)", photo.get(), nvtt::Format_BC1, 8, {0, 1, 2});
    return 0;
}
