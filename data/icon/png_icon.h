// Turning the icon tool's PPM rendering into the PNG a desktop entry shows.
//
// The icon tool renders its picture as a binary PPM with the transparent background painted
// white. Opacity there is all or nothing (the same rule as the .ico's mask), so a background
// pixel is exactly white, while a pixel the picture covers has a shape's colour or a mean of
// shape colours. White inside the picture (the module's contact strip) is enclosed by other
// colours, so the background is the white region reachable from the border, and that region
// alone becomes transparent.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vmod_icon {

struct Image {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels; // rows top to bottom; 3 bytes (RGB) or 4 bytes (RGBA) a pixel
};

// Reads a binary PPM (P6, maxval 255, "#" comments allowed in the header). Returns false, with
// a reason in *error, on any other input: a short pixel block, a zero or oversized dimension.
bool ParsePpm(const std::vector<uint8_t>& bytes, Image* rgb, std::string* error);

// RGBA of an RGB image: pixels of exactly (255, 255, 255) that connect to the border through
// such pixels (4-neighbourhood) get alpha 0 and colour 0; every other pixel is opaque.
Image ClearBorderWhite(const Image& rgb);

// A PNG of an RGBA image: 8-bit truecolour with alpha, not interlaced, rows unfiltered, one
// zlib-compressed IDAT. Empty when compression fails.
std::vector<uint8_t> EncodePng(const Image& rgba);

} // namespace vmod_icon
