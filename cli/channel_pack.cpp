#include "channel_pack.h"

#include <new>

namespace rkcli {
namespace {

// The sources of a packing with occlusion and roughness given as sources
// (neither map nor plane: none).
std::array<ChannelSource, 4> sources_of(Packing packing, const ChannelSource& occlusion,
                                        ChannelSource roughness, float metallic) {
    const bool occluded = occlusion.map || occlusion.plane;
    const bool rough = roughness.map || roughness.plane;
    const ChannelSource metal{nullptr, 0, metallic, false};
    if (packing == Packing::metallic_smoothness) {
        // Smoothness is 1 - roughness; without a map, fully rough: smoothness 0.
        roughness.inverted = true;
        const ChannelSource smooth = rough ? roughness : ChannelSource{nullptr, 0, 0.0f, false};
        return {metal, metal, metal, smooth};
    }
    return {occluded ? occlusion : ChannelSource{nullptr, 0, 1.0f, false},
            rough ? roughness : ChannelSource{nullptr, 0, 1.0f, false}, metal,
            ChannelSource{nullptr, 0, 1.0f, false}};
}

}  // namespace

std::vector<float> channel_values(const imgbuf* map, uint32_t channel) {
    const uint32_t width = imgbuf_w(map), height = imgbuf_h(map);
    std::vector<float> values;
    try {
        values.resize(size_t{width} * height);
    } catch (const std::bad_alloc&) {
        return {};
    }
    for (uint32_t y = 0; y < height; ++y) {
        const float* in = imgbuf_row(map, y) + channel;
        float* out = values.data() + size_t{y} * width;
        for (uint32_t x = 0; x < width; ++x) out[x] = in[4 * x];
    }
    return values;
}

Image pack_channels(uint32_t width, uint32_t height, const std::array<ChannelSource, 4>& sources) {
    for (const ChannelSource& s : sources) {
        if (s.map && (imgbuf_w(s.map) != width || imgbuf_h(s.map) != height)) return nullptr;
    }
    Image out(create_imgbuf(width, height));
    if (!out) return nullptr;
    for (uint32_t c = 0; c < 4; ++c) {
        const ChannelSource& s = sources[c];
        const uint32_t from = s.channel < 4 ? s.channel : 0;
        // A map's pixels are four values apart, a plane's one.
        const uint32_t step = s.map ? 4 : 1;
        // The sign and offset turn 1 - v and v into one expression per channel.
        const float sign = s.inverted ? -1.0f : 1.0f;
        const float offset = s.inverted ? 1.0f : 0.0f;
        const float fixed = offset + sign * s.constant;
        for (uint32_t y = 0; y < height; ++y) {
            float* row = imgbuf_row(out.get(), y);
            if (!s.map && !s.plane) {
                for (uint32_t x = 0; x < width; ++x) row[4 * x + c] = fixed;
                continue;
            }
            const float* in = s.map ? imgbuf_row(s.map, y) + from : s.plane + size_t{y} * width;
            for (uint32_t x = 0; x < width; ++x) row[4 * x + c] = offset + sign * in[step * x];
        }
    }
    return out;
}

std::array<ChannelSource, 4> packing_sources(Packing packing, const imgbuf* occlusion,
                                             const imgbuf* roughness, float metallic) {
    return sources_of(packing, ChannelSource{occlusion, 0, 0.0f, false},
                      ChannelSource{roughness, 0, 0.0f, false}, metallic);
}

std::array<ChannelSource, 4> packing_sources(Packing packing, const float* occlusion,
                                             const float* roughness, float metallic) {
    return sources_of(packing, ChannelSource{nullptr, 0, 0.0f, false, occlusion},
                      ChannelSource{nullptr, 0, 0.0f, false, roughness}, metallic);
}

}  // namespace rkcli
