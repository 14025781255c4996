// Several one-channel maps packed into the channels of one texture, as
// engines sample them: occlusion, roughness and metallic in R, G, B (ORM:
// glTF's metallicRoughnessTexture and occlusionTexture share it), or Unity's
// metallic map with smoothness (1 - roughness) in alpha.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "image.h"

namespace rkcli {

enum class Packing : uint8_t { orm, metallic_smoothness };

// One channel of a packed texture: a channel (0 to 3) of a map, the values of
// plane (one a pixel of the texture, row after row, as channel_values keeps
// them), or a constant where there is neither; inverted gives 1 - value.
struct ChannelSource {
    const imgbuf* map = nullptr;
    uint32_t channel = 0;
    float constant = 0.0f;
    bool inverted = false;
    const float* plane = nullptr;
};

// One channel of a map alone, one value a pixel, row after row: what packing
// reads of a map kept only for it, in a quarter of the map's memory. Empty
// when memory runs out.
std::vector<float> channel_values(const imgbuf* map, uint32_t channel);

// A width x height texture whose red, green, blue and alpha come from the
// sources. Null when a source map has another size or memory runs out.
Image pack_channels(uint32_t width, uint32_t height, const std::array<ChannelSource, 4>& sources);

// The sources of a packing from the maps' red channels: occlusion (1 where
// null: nothing occluded), roughness (null: the constant 1) and the constant
// metallic; alpha is 1 in ORM.
std::array<ChannelSource, 4> packing_sources(Packing packing, const imgbuf* occlusion,
                                             const imgbuf* roughness, float metallic);

// The same from the maps' channel_values (null: no map).
std::array<ChannelSource, 4> packing_sources(Packing packing, const float* occlusion,
                                             const float* roughness, float metallic);

}  // namespace rkcli
