#include "channel_pack.h"

namespace rkcli {

Image pack_channels(uint32_t width, uint32_t height, const std::array<ChannelSource, 4>& sources) {
    for (const ChannelSource& s : sources) {
        if (s.map && (imgbuf_w(s.map) != width || imgbuf_h(s.map) != height)) return nullptr;
    }
    Image out(create_imgbuf(width, height));
    if (!out) return nullptr;
    for (uint32_t c = 0; c < 4; ++c) {
        const ChannelSource& s = sources[c];
        const uint32_t from = s.channel < 4 ? s.channel : 0;
        // The sign and offset turn 1 - v and v into one expression per channel.
        const float sign = s.inverted ? -1.0f : 1.0f;
        const float offset = s.inverted ? 1.0f : 0.0f;
        const float fixed = offset + sign * s.constant;
        for (uint32_t y = 0; y < height; ++y) {
            float* row = imgbuf_row(out.get(), y);
            if (!s.map) {
                for (uint32_t x = 0; x < width; ++x) row[4 * x + c] = fixed;
                continue;
            }
            const float* in = imgbuf_row(s.map, y);
            for (uint32_t x = 0; x < width; ++x) row[4 * x + c] = offset + sign * in[4 * x + from];
        }
    }
    return out;
}

std::array<ChannelSource, 4> packing_sources(Packing packing, const imgbuf* occlusion,
                                             const imgbuf* roughness, float metallic) {
    const ChannelSource metal{nullptr, 0, metallic, false};
    if (packing == Packing::metallic_smoothness) {
        // Smoothness is 1 - roughness; without a map, fully rough: smoothness 0.
        const ChannelSource smooth = roughness ? ChannelSource{roughness, 0, 0.0f, true}
                                               : ChannelSource{nullptr, 0, 0.0f, false};
        return {metal, metal, metal, smooth};
    }
    return {occlusion ? ChannelSource{occlusion, 0, 0.0f, false}
                      : ChannelSource{nullptr, 0, 1.0f, false},
            roughness ? ChannelSource{roughness, 0, 0.0f, false}
                      : ChannelSource{nullptr, 0, 1.0f, false},
            metal, ChannelSource{nullptr, 0, 1.0f, false}};
}

}  // namespace rkcli
