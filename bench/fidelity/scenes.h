// Surfaces of known relief and colour, and their photographs under a low sun or
// an overcast sky, made by code from fixed seeds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fidelity {

struct Field {
    uint32_t width = 0, height = 0;
    std::vector<float> v;                  // row-major; heights in pixels, or albedo 0..1
    float at(int64_t x, int64_t y) const;  // clamped to the edges
};

struct Surface {
    std::string name;
    Field height;
    Field albedo;
};

// The benchmark's surfaces, each size x size.
std::vector<Surface> make_surfaces(uint32_t size);

struct Light {
    std::string name;
    bool overcast = false;
    float azimuth_deg = 0.0f;    // towards the light, clockwise from +x (image y runs down)
    float elevation_deg = 0.0f;  // above the surface's plane
};

std::vector<Light> make_lights();

// A second set, never tuned on: other surfaces and colours (colour edges on the
// relief's edges among them), suns from every side and other elevations.
std::vector<Surface> make_own_surfaces(uint32_t size);
std::vector<Light> make_own_lights();
// Hollows, bumps on flat ground, packed bumps and joints: the relief kinds
// that decide which end of an estimated light's axis is right.
std::vector<Surface> make_convention_surfaces(uint32_t size);

// 8-bit photograph (as 0..1 floats, grey) of the surface under the light.
Field photograph(const Surface& s, const Light& light, uint32_t seed);

// True slopes (dh/dx, dh/dy) by central differences.
void slopes(const Field& h, std::vector<float>& gx, std::vector<float>& gy);

}  // namespace fidelity
