// The benchmark's rows for the surface generators: several photographs under
// several lights, heights from a normal map.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <reliefkit.h>

#include "scenes.h"

namespace fidelity {

// Mean and 90th-percentile angle (degrees) of a normal map against the true
// slopes (see fidelity_main.cpp); a null map scores as flat.
struct Score {
    double mean = 0.0, p90 = 0.0;
};
Score score(const imgbuf* nmap, const std::vector<float>& gx, const std::vector<float>& gy,
            uint32_t size);

struct Img {
    imgbuf* p = nullptr;
    explicit Img(imgbuf* q) : p(q) {}
    Img(Img&& o) noexcept : p(o.p) { o.p = nullptr; }
    Img(const Img&) = delete;
    Img& operator=(const Img&) = delete;
    ~Img() { delete_imgbuf(p); }
};

imgbuf* to_image(const Field& f);
// The command's defaults: a height map of the mode (7 luminance, 8 delit), and
// the normal map of a height map.
imgbuf* heights(const imgbuf* photo, uint32_t mode);
imgbuf* normals(const imgbuf* height);
// Scene light (clockwise from +x, towards the light) as the library's azimuth
// (counter-clockwise on screen from the right edge).
float screen_azimuth(const Light& light);

// Root-mean-square difference between the image's luminance times the one
// best global scale and the true albedo, as a share of the albedo's mean
// (4 px border left out).
double albedo_error(const imgbuf* img, const Field& albedo);

// Which end of the light's axis the de-lit mode takes, on reliefs of each
// kind under suns from eight sides at two elevations.
void convention_rows(const std::vector<Surface>& surfaces, uint32_t size);

// Photometric stereo over the surfaces: four and three lights, given and
// estimated, beside the flat map and the first photograph's luminance map.
void photometric_rows(const std::vector<Surface>& surfaces, uint32_t size);

// Heights from each surface's true normal map written as a 16-bit (and an
// 8-bit) PNG, beside a flat map and the overcast photograph's luminance map.
void integration_rows(const std::vector<Surface>& surfaces, const std::string& tmp_dir);

}  // namespace fidelity
