#include "scenes.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace fidelity {
namespace {

constexpr float kPi = std::numbers::pi_v<float>;

uint32_t hash(uint32_t x, uint32_t y, uint32_t seed) {
    uint32_t h = x * 0x8da6b343u ^ y * 0xd8163841u ^ seed * 0xcb1ab31fu;
    h ^= h >> 13;
    h *= 0x5bd1e995u;
    h ^= h >> 15;
    return h;
}

float unit(uint32_t x, uint32_t y, uint32_t seed) {  // 0..1
    return static_cast<float>(hash(x, y, seed) >> 8) / 16777216.0f;
}

float smooth01(float t) {
    return t * t * (3.0f - 2.0f * t);
}

// Value noise of the given cell size, -1..1.
float noise(float x, float y, float cell, uint32_t seed) {
    const float fx = x / cell, fy = y / cell;
    const auto ix = static_cast<int32_t>(std::floor(fx)), iy = static_cast<int32_t>(std::floor(fy));
    const float tx = smooth01(fx - static_cast<float>(ix)),
                ty = smooth01(fy - static_cast<float>(iy));
    auto c = [&](int32_t a, int32_t b) {
        return 2.0f * unit(static_cast<uint32_t>(a), static_cast<uint32_t>(b), seed) - 1.0f;
    };
    const float top = c(ix, iy) + (c(ix + 1, iy) - c(ix, iy)) * tx;
    const float bottom = c(ix, iy + 1) + (c(ix + 1, iy + 1) - c(ix, iy + 1)) * tx;
    return top + (bottom - top) * ty;
}

float fbm(float x, float y, float cell, uint32_t seed, int octaves = 4) {
    float sum = 0.0f, amp = 1.0f, norm = 0.0f;
    for (int o = 0; o < octaves; ++o) {
        sum += amp * noise(x, y, cell, seed + static_cast<uint32_t>(o));
        norm += amp;
        amp *= 0.5f;
        cell *= 0.5f;
    }
    return sum / norm;
}

Field field(uint32_t size) {
    Field f;
    f.width = f.height = size;
    f.v.assign(size_t{size} * size, 0.0f);
    return f;
}

// Raised blocks on a running-bond or grid layout: flat tops with grain,
// bevelled edges down to a joint of the given depth.
Field blocks(uint32_t size, float bw, float bh, float joint, float bevel, float depth, bool bond,
             float grain, uint32_t seed) {
    Field f = field(size);
    for (uint32_t y = 0; y < size; ++y) {
        for (uint32_t x = 0; x < size; ++x) {
            const float fy = static_cast<float>(y);
            const float row = std::floor(fy / bh);
            const float shift = bond && std::fmod(row, 2.0f) != 0.0f ? 0.5f * bw : 0.0f;
            const float fx = static_cast<float>(x) + shift;
            const float u = std::fmod(fx, bw), v = std::fmod(fy, bh);
            // distance inside the block from its nearest edge, the joint excluded
            const float d = std::min(
                {u - 0.5f * joint, bw - 0.5f * joint - u, v - 0.5f * joint, bh - 0.5f * joint - v});
            const float top = std::clamp(d / bevel, 0.0f, 1.0f);
            const float cellx = std::floor(fx / bw);
            const float tilt =
                0.4f *
                (unit(static_cast<uint32_t>(cellx), static_cast<uint32_t>(row), seed) - 0.5f);
            f.v[size_t{y} * size + x] =
                depth * smooth01(top) +
                top * (grain * fbm(fx, fy, 8.0f, seed + 7) + tilt * (u - 0.5f * bw) / bw * depth);
        }
    }
    return f;
}

// Rounded stones on a jittered grid: height falls off towards the cell border.
Field cobbles(uint32_t size, float cell, float height, uint32_t seed) {
    Field f = field(size);
    const auto n = static_cast<int32_t>(std::ceil(static_cast<float>(size) / cell)) + 1;
    for (uint32_t y = 0; y < size; ++y) {
        for (uint32_t x = 0; x < size; ++x) {
            float d1 = 1e9f, d2 = 1e9f;
            const auto cx = static_cast<int32_t>(static_cast<float>(x) / cell);
            const auto cy = static_cast<int32_t>(static_cast<float>(y) / cell);
            for (int32_t j = cy - 1; j <= cy + 1; ++j) {
                for (int32_t i = cx - 1; i <= cx + 1; ++i) {
                    if (i < -1 || j < -1 || i > n || j > n) continue;
                    const auto ui = static_cast<uint32_t>(i + 2), uj = static_cast<uint32_t>(j + 2);
                    const float px =
                        (static_cast<float>(i) + 0.2f + 0.6f * unit(ui, uj, seed)) * cell;
                    const float py =
                        (static_cast<float>(j) + 0.2f + 0.6f * unit(ui, uj, seed + 1)) * cell;
                    const float d =
                        std::hypot(px - static_cast<float>(x), py - static_cast<float>(y));
                    if (d < d1) {
                        d2 = d1;
                        d1 = d;
                    } else if (d < d2) {
                        d2 = d;
                    }
                }
            }
            const float edge = std::clamp((d2 - d1) / (0.5f * cell), 0.0f, 1.0f);
            const float dome = std::sqrt(1.0f - (1.0f - edge) * (1.0f - edge));
            f.v[size_t{y} * size + x] =
                height * dome +
                0.3f * fbm(static_cast<float>(x), static_cast<float>(y), 6.0f, seed + 3);
        }
    }
    return f;
}

// Grain: bark's vertical ridges and furrows, or stone's isotropic roughness.
Field grain(uint32_t size, bool bark, float height, uint32_t seed) {
    Field f = field(size);
    for (uint32_t y = 0; y < size; ++y) {
        for (uint32_t x = 0; x < size; ++x) {
            const auto fx = static_cast<float>(x), fy = static_cast<float>(y);
            float h;
            if (bark) {
                const float warp = 10.0f * fbm(fx, fy, 64.0f, seed + 5);
                const float n = fbm(4.0f * (fx + warp), fy, 160.0f, seed, 3);
                h = 1.0f - std::pow(std::abs(n) * 2.0f, 0.5f);  // narrow furrows at zero crossings
                h = height * std::clamp(h, -1.0f, 1.0f) + 0.3f * fbm(fx, fy, 5.0f, seed + 9, 2);
            } else {
                h = height * fbm(fx, fy, 48.0f, seed, 5);
            }
            f.v[size_t{y} * size + x] = h;
        }
    }
    return f;
}

// Hollows pressed into a flat plate: round dents of random size and depth.
Field dents(uint32_t size, float radius, float depth, uint32_t seed) {
    Field f = field(size);
    const auto cells = static_cast<uint32_t>(static_cast<float>(size) / (2.5f * radius)) + 1;
    for (uint32_t j = 0; j < cells; ++j) {
        for (uint32_t i = 0; i < cells; ++i) {
            const float cx = (static_cast<float>(i) + unit(i, j, seed)) * 2.5f * radius;
            const float cy = (static_cast<float>(j) + unit(i, j, seed + 1)) * 2.5f * radius;
            const float r = radius * (0.5f + 0.6f * unit(i, j, seed + 2));
            const float d = depth * (0.5f + 0.5f * unit(i, j, seed + 3));
            for (int64_t y = static_cast<int64_t>(cy - r); y <= static_cast<int64_t>(cy + r); ++y) {
                for (int64_t x = static_cast<int64_t>(cx - r); x <= static_cast<int64_t>(cx + r);
                     ++x) {
                    if (x < 0 || y < 0 || x >= size || y >= size) continue;
                    const float t =
                        std::hypot(static_cast<float>(x) - cx, static_cast<float>(y) - cy) / r;
                    if (t >= 1.0f) continue;
                    float& v = f.v[static_cast<size_t>(y) * size + static_cast<size_t>(x)];
                    v = std::min(v, -d * (1.0f - t * t));
                }
            }
        }
    }
    for (uint32_t y = 0; y < size; ++y) {
        for (uint32_t x = 0; x < size; ++x) {
            f.v[size_t{y} * size + x] +=
                0.25f * fbm(static_cast<float>(x), static_cast<float>(y), 7.0f, seed + 4, 2);
        }
    }
    return f;
}

// Sand ripples: asymmetric waves across a slanted direction, their crests
// wandering.
Field ripples(uint32_t size, float wavelength, float height, float angle_deg, uint32_t seed) {
    Field f = field(size);
    const float a = angle_deg * kPi / 180.0f, c = std::cos(a), s = std::sin(a);
    for (uint32_t y = 0; y < size; ++y) {
        for (uint32_t x = 0; x < size; ++x) {
            const auto fx = static_cast<float>(x), fy = static_cast<float>(y);
            const float u = (c * fx + s * fy + 6.0f * fbm(fx, fy, 50.0f, seed)) / wavelength;
            const float ph = u - std::floor(u);
            // a gentle rise over most of the wave, a steep fall at its crest
            const float prof = ph < 0.75f ? ph / 0.75f : (1.0f - ph) / 0.25f;
            f.v[size_t{y} * size + x] =
                height * smooth01(prof) + 0.2f * fbm(fx, fy, 4.0f, seed + 1, 2);
        }
    }
    return f;
}

enum class Colour { smooth, speckle, stains, patches, stripes };

Field albedo(uint32_t size, Colour kind, uint32_t seed) {
    Field f = field(size);
    for (uint32_t y = 0; y < size; ++y) {
        for (uint32_t x = 0; x < size; ++x) {
            const auto fx = static_cast<float>(x), fy = static_cast<float>(y);
            float a = 0.65f + 0.15f * fbm(fx, fy, 96.0f, seed);
            if (kind == Colour::speckle) a *= 0.85f + 0.3f * unit(x, y, seed + 1);
            if (kind == Colour::patches) {
                // a colour per cell of a jittered grid of 30 px, edges sharp
                const float n = fbm(fx, fy, 30.0f, seed + 3, 1);
                a = 0.35f + 0.5f * std::floor((n + 1.0f) * 3.0f) / 6.0f;
            }
            if (kind == Colour::stripes) {
                a *= 0.8f + 0.2f * std::sin(0.9f * fx + 4.0f * fbm(fx, fy, 24.0f, seed + 4, 2));
            }
            if (kind == Colour::stains) {
                const float s = fbm(fx, fy, 40.0f, seed + 2, 3);
                a *= 1.0f - 0.45f * smooth01(std::clamp((s - 0.1f) / 0.25f, 0.0f, 1.0f));
            }
            f.v[size_t{y} * size + x] = a;
        }
    }
    return f;
}

// Share of an even sky's light reaching each point: along 16 azimuths, the
// horizon's elevation a lets cos^2(a) of the cosine-weighted sky through.
std::vector<float> sky_visibility(const Field& h) {
    std::vector<float> v(h.v.size());
    constexpr int kDirs = 16, kReach = 24;
    for (uint32_t y = 0; y < h.height; ++y) {
        for (uint32_t x = 0; x < h.width; ++x) {
            const float h0 = h.at(x, y);
            float sum = 0.0f;
            for (int d = 0; d < kDirs; ++d) {
                const float a = 2.0f * kPi * static_cast<float>(d) / kDirs;
                float tan_max = 0.0f;
                for (int t = 1; t <= kReach; ++t) {
                    const auto sx = static_cast<int64_t>(std::lround(x + t * std::cos(a)));
                    const auto sy = static_cast<int64_t>(std::lround(y + t * std::sin(a)));
                    tan_max = std::max(tan_max, (h.at(sx, sy) - h0) / static_cast<float>(t));
                }
                sum += 1.0f / (1.0f + tan_max * tan_max);  // cos^2 of the horizon
            }
            v[size_t{y} * h.width + x] = sum / kDirs;
        }
    }
    return v;
}

}  // namespace

float Field::at(int64_t x, int64_t y) const {
    x = std::clamp<int64_t>(x, 0, width - 1);
    y = std::clamp<int64_t>(y, 0, height - 1);
    return v[static_cast<size_t>(y) * width + static_cast<size_t>(x)];
}

std::vector<Surface> make_surfaces(uint32_t size) {
    std::vector<Surface> s;
    s.push_back({"bricks", blocks(size, 60, 26, 4, 3, 3, true, 0.3f, 11),
                 albedo(size, Colour::smooth, 21)});
    s.push_back({"bricks deep", blocks(size, 48, 20, 5, 4, 6, true, 0.5f, 12),
                 albedo(size, Colour::stains, 22)});
    s.push_back({"cobbles", cobbles(size, 36, 5, 13), albedo(size, Colour::speckle, 23)});
    s.push_back({"tiles", blocks(size, 44, 44, 3, 1.5f, 1.5f, false, 0.15f, 14),
                 albedo(size, Colour::stains, 24)});
    s.push_back({"bark", grain(size, true, 3, 15), albedo(size, Colour::smooth, 25)});
    s.push_back({"stone grain", grain(size, false, 6, 16), albedo(size, Colour::speckle, 26)});
    return s;
}

std::vector<Surface> make_own_surfaces(uint32_t size) {
    std::vector<Surface> s;
    s.push_back({"pebbles", cobbles(size, 22, 4, 41), albedo(size, Colour::patches, 51)});
    s.push_back({"planks", blocks(size, 1e6f, 32, 2, 2, 2, false, 0.6f, 42),
                 albedo(size, Colour::stripes, 52)});
    s.push_back({"dents", dents(size, 14, 5, 43), albedo(size, Colour::smooth, 53)});
    s.push_back({"ripples", ripples(size, 28, 3, 30, 44), albedo(size, Colour::speckle, 54)});
    s.push_back({"plaster", grain(size, false, 4, 45), albedo(size, Colour::stains, 55)});
    s.push_back({"slabs", blocks(size, 70, 40, 4, 5, 4, true, 0.8f, 46),
                 albedo(size, Colour::patches, 56)});
    return s;
}

std::vector<Surface> make_convention_surfaces(uint32_t size) {
    std::vector<Surface> s;
    s.push_back(
        {"hollows (dents in a plate)", dents(size, 14, 5, 61), albedo(size, Colour::smooth, 71)});
    Field bumps = dents(size, 14, 5, 62);
    for (float& v : bumps.v) v = -v;
    s.push_back(
        {"bumps on flat ground (studs)", std::move(bumps), albedo(size, Colour::smooth, 72)});
    s.push_back(
        {"bumps packed (cobbles)", cobbles(size, 30, 5, 63), albedo(size, Colour::speckle, 73)});
    s.push_back({"joints (raised blocks)", blocks(size, 52, 30, 4, 3, 4, true, 0.3f, 64),
                 albedo(size, Colour::smooth, 74)});
    return s;
}

std::vector<Light> make_own_lights() {
    return {{"sun right 30", false, 0, 30},
            {"sun below 25", false, 90, 25},
            {"sun lower left 40", false, 135, 40},
            {"sun upper right 50", false, 300, 50},
            {"overcast", true, 0, 0}};
}

std::vector<Light> make_lights() {
    return {{"sun upper left 35", false, 225, 35},
            {"sun upper right 25", false, 315, 25},
            {"sun left 45", false, 180, 45},
            {"sun top 20", false, 270, 20},
            {"overcast", true, 0, 0}};
}

void slopes(const Field& h, std::vector<float>& gx, std::vector<float>& gy) {
    gx.resize(h.v.size());
    gy.resize(h.v.size());
    for (uint32_t y = 0; y < h.height; ++y) {
        for (uint32_t x = 0; x < h.width; ++x) {
            const size_t i = size_t{y} * h.width + x;
            gx[i] = 0.5f * (h.at(int64_t{x} + 1, y) - h.at(int64_t{x} - 1, y));
            gy[i] = 0.5f * (h.at(x, int64_t{y} + 1) - h.at(x, int64_t{y} - 1));
        }
    }
}

Field photograph(const Surface& s, const Light& light, uint32_t seed) {
    const Field& h = s.height;
    std::vector<float> gx, gy;
    slopes(h, gx, gy);
    const std::vector<float> sky = sky_visibility(h);
    const float az = light.azimuth_deg * kPi / 180.0f, el = light.elevation_deg * kPi / 180.0f;
    const float lx = std::cos(el) * std::cos(az), ly = std::cos(el) * std::sin(az),
                lz = std::sin(el);
    // exposure: a flat, lit, mid-albedo surface near 0.75 of full scale
    const float flat = light.overcast ? 1.0f : 0.8f * lz + 0.25f;
    const float exposure = 0.75f / (0.65f * flat);
    Field out = field(h.width);
    for (uint32_t y = 0; y < h.height; ++y) {
        for (uint32_t x = 0; x < h.width; ++x) {
            const size_t i = size_t{y} * h.width + x;
            const float inv = 1.0f / std::sqrt(1.0f + gx[i] * gx[i] + gy[i] * gy[i]);
            const float nz = inv;
            float e;
            if (light.overcast) {
                e = sky[i] * 0.5f * (1.0f + nz);
            } else {
                float direct = std::max(0.0f, (-gx[i] * lx - gy[i] * ly + lz) * inv);
                const float rise = std::tan(el), h0 = h.v[i];
                for (int t = 1; t <= 48 && direct > 0.0f; ++t) {
                    const auto sx = static_cast<int64_t>(std::lround(x + t * std::cos(az)));
                    const auto sy = static_cast<int64_t>(std::lround(y + t * std::sin(az)));
                    if (h.at(sx, sy) > h0 + rise * static_cast<float>(t) + 0.5f) direct = 0.0f;
                }
                e = 0.8f * direct + 0.25f * sky[i] * 0.5f * (1.0f + nz);
            }
            const float noise = (unit(x, y, seed) + unit(x, y, seed + 1) - 1.0f) * 1.5f;
            const float v =
                std::clamp(std::round(exposure * s.albedo.v[i] * e * 255.0f + noise), 0.0f, 255.0f);
            out.v[i] = v / 255.0f;
        }
    }
    return out;
}

}  // namespace fidelity
