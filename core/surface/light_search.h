// The directions of lights nobody gave, from the photographs of one surface
// under each of them.
#pragma once

#include <cstdint>
#include <vector>

namespace rk {

// Azimuths (degrees, 0 = from the right edge, counter-clockwise on screen) of
// count >= 3 lights of one elevation from their readings (pixels * count
// floats, a pixel's readings together, rows of width pixels). Only a turn of
// half a circle stays open: a relief lit from one side and its inverse lit
// from the other give the same photographs; the caller settles it. Empty when
// the readings cannot tell (no relief, or lights in a line).
//
// How: the readings over their mean per pixel, less one, are (to first order)
// each light's horizontal direction, less their mean, dotted with a field h
// proportional to the horizontal part of the normal: a matrix of rank two,
// whose two leading singular vectors give the lights and h up to a 2 x 2 map
// M (h = M X, light i at M^-T y_i). The lights are taken as spread round the
// surface (their mean direction straight down; photographs lit from one side
// only would need it given). M is the one, searched on a grid and refined,
// whose field has least curl (it must be a surface's slopes) and whose
// lights lie on one circle (one elevation); that leaves the half turn.
// Needs count <= 32.
std::vector<float> search_azimuths(const float* readings, uint32_t width, uint32_t height,
                                   uint32_t count);

}  // namespace rk
