// SPDX-License-Identifier: MIT
// Colour to grey, aware of linear light: sRGB values are decoded to linear
// light, weighed with the Rec. 709 luminance coefficients and, where a
// byte is wanted, re-encoded with the sRGB curve. Alpha is composited over
// white paper in linear light.
#pragma once

#include "core.hpp"

#include <cstdint>

namespace zarn::raster {

// Linear light (0..1) of an sRGB-encoded byte.
float srgb_to_linear(std::uint8_t v);
// The sRGB-encoded byte of linear light l (0..1, clamped).
std::uint8_t linear_to_srgb(float l);

// One row of width pixels in format to encoded grey bytes (0 black, 255 white).
void row_to_grey(const std::uint8_t *src, Pixels format, int width, std::uint8_t *grey);

// One row to linear-light luminance (0 black, 1 white), for scaling.
void row_to_linear(const std::uint8_t *src, Pixels format, int width, float *linear);

} // namespace zarn::raster
