#include "data/icon/png_icon.h"

#include <zlib.h>

#include <cctype>
#include <cstddef>

namespace vmod_icon {

namespace {

// Largest side the reader accepts; far above any icon size and small enough that
// width * height * 4 cannot overflow.
constexpr int kMaxSide = 16384;

// Skips whitespace and "#...\n" comments of a PPM header, then reads one decimal number.
bool ReadHeaderNumber(const std::vector<uint8_t>& b, size_t* pos, long* value) {
    while (*pos < b.size()) {
        if (b[*pos] == '#') {
            while (*pos < b.size() && b[*pos] != '\n')
                ++*pos;
        } else if (std::isspace(b[*pos])) {
            ++*pos;
        } else {
            break;
        }
    }
    if (*pos >= b.size() || !std::isdigit(b[*pos]))
        return false;
    long v = 0;
    while (*pos < b.size() && std::isdigit(b[*pos])) {
        v = v * 10 + (b[*pos] - '0');
        if (v > kMaxSide * 16L)
            return false;
        ++*pos;
    }
    *value = v;
    return true;
}

void PutBe32(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v >> 24));
    out.push_back(static_cast<uint8_t>(v >> 16));
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

// One chunk: length, type, data, CRC-32 of type and data (PNG 1.2 section 3.2).
void PutChunk(std::vector<uint8_t>& out, const char type[4], const std::vector<uint8_t>& data) {
    PutBe32(out, static_cast<uint32_t>(data.size()));
    size_t typeAt = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    uLong crc = crc32(0L, Z_NULL, 0);
    crc = crc32(crc, out.data() + typeAt, static_cast<uInt>(4 + data.size()));
    PutBe32(out, static_cast<uint32_t>(crc));
}

} // namespace

bool ParsePpm(const std::vector<uint8_t>& bytes, Image* rgb, std::string* error) {
    if (bytes.size() < 2 || bytes[0] != 'P' || bytes[1] != '6') {
        *error = "not a binary PPM (P6)";
        return false;
    }
    size_t pos = 2;
    long width = 0, height = 0, maxval = 0;
    if (!ReadHeaderNumber(bytes, &pos, &width) || !ReadHeaderNumber(bytes, &pos, &height) ||
        !ReadHeaderNumber(bytes, &pos, &maxval)) {
        *error = "damaged PPM header";
        return false;
    }
    if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide) {
        *error = "PPM size out of range";
        return false;
    }
    if (maxval != 255) {
        *error = "PPM maxval is not 255";
        return false;
    }
    // Exactly one whitespace byte ends the header.
    if (pos >= bytes.size() || !std::isspace(bytes[pos])) {
        *error = "damaged PPM header";
        return false;
    }
    ++pos;
    size_t need = static_cast<size_t>(width) * static_cast<size_t>(height) * 3;
    if (bytes.size() - pos < need) {
        *error = "PPM pixel data is short";
        return false;
    }
    rgb->width = static_cast<int>(width);
    rgb->height = static_cast<int>(height);
    rgb->pixels.assign(bytes.begin() + static_cast<std::ptrdiff_t>(pos),
                       bytes.begin() + static_cast<std::ptrdiff_t>(pos + need));
    return true;
}

Image ClearBorderWhite(const Image& rgb) {
    const int w = rgb.width, h = rgb.height;
    const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
    auto white = [&](size_t i) {
        return rgb.pixels[i * 3] == 255 && rgb.pixels[i * 3 + 1] == 255 &&
               rgb.pixels[i * 3 + 2] == 255;
    };
    std::vector<uint8_t> clear(n, 0);
    std::vector<size_t> todo;
    auto seed = [&](int x, int y) {
        size_t i = static_cast<size_t>(y) * static_cast<size_t>(w) + static_cast<size_t>(x);
        if (!clear[i] && white(i)) {
            clear[i] = 1;
            todo.push_back(i);
        }
    };
    for (int x = 0; x < w; ++x) {
        seed(x, 0);
        seed(x, h - 1);
    }
    for (int y = 0; y < h; ++y) {
        seed(0, y);
        seed(w - 1, y);
    }
    while (!todo.empty()) {
        size_t i = todo.back();
        todo.pop_back();
        int x = static_cast<int>(i % static_cast<size_t>(w));
        int y = static_cast<int>(i / static_cast<size_t>(w));
        if (x > 0)
            seed(x - 1, y);
        if (x + 1 < w)
            seed(x + 1, y);
        if (y > 0)
            seed(x, y - 1);
        if (y + 1 < h)
            seed(x, y + 1);
    }
    Image out;
    out.width = w;
    out.height = h;
    out.pixels.resize(n * 4);
    for (size_t i = 0; i < n; ++i) {
        for (int c = 0; c < 3; ++c)
            out.pixels[i * 4 + static_cast<size_t>(c)] =
                clear[i] ? 0 : rgb.pixels[i * 3 + static_cast<size_t>(c)];
        out.pixels[i * 4 + 3] = clear[i] ? 0 : 255;
    }
    return out;
}

std::vector<uint8_t> EncodePng(const Image& rgba) {
    static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> out(kSignature, kSignature + 8);

    std::vector<uint8_t> ihdr;
    PutBe32(ihdr, static_cast<uint32_t>(rgba.width));
    PutBe32(ihdr, static_cast<uint32_t>(rgba.height));
    ihdr.push_back(8); // bit depth
    ihdr.push_back(6); // colour type: truecolour with alpha
    ihdr.push_back(0); // compression: deflate
    ihdr.push_back(0); // filter method 0
    ihdr.push_back(0); // no interlace
    PutChunk(out, "IHDR", ihdr);

    // Each scanline is its filter type byte (0, none) and the row's bytes.
    const size_t stride = static_cast<size_t>(rgba.width) * 4;
    std::vector<uint8_t> raw;
    raw.reserve((stride + 1) * static_cast<size_t>(rgba.height));
    for (int y = 0; y < rgba.height; ++y) {
        raw.push_back(0);
        auto row =
            rgba.pixels.begin() + static_cast<std::ptrdiff_t>(stride * static_cast<size_t>(y));
        raw.insert(raw.end(), row, row + static_cast<std::ptrdiff_t>(stride));
    }
    uLongf packedSize = compressBound(static_cast<uLong>(raw.size()));
    std::vector<uint8_t> packed(packedSize);
    if (compress2(packed.data(), &packedSize, raw.data(), static_cast<uLong>(raw.size()),
                  Z_BEST_COMPRESSION) != Z_OK)
        return {};
    packed.resize(packedSize);
    PutChunk(out, "IDAT", packed);
    PutChunk(out, "IEND", {});
    return out;
}

} // namespace vmod_icon
