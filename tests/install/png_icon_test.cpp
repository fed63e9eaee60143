// The desktop icon's converter: PPM reading, background clearing and the PNG it writes, read
// back with zlib as an independent decoder.
#include "data/icon/png_icon.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using vmod_icon::Image;

std::vector<uint8_t> Bytes(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

// A w x h RGB image from rows of letters: '.' white, 'k' black, 'r' red, 'g' near-white grey.
Image FromRows(const std::vector<std::string>& rows) {
    Image img;
    img.height = static_cast<int>(rows.size());
    img.width = static_cast<int>(rows[0].size());
    for (const std::string& row : rows) {
        for (char c : row) {
            uint8_t r = 255, g = 255, b = 255;
            if (c == 'k')
                r = g = b = 0;
            else if (c == 'r')
                g = b = 0;
            else if (c == 'g')
                r = g = b = 254;
            img.pixels.insert(img.pixels.end(), {r, g, b});
        }
    }
    return img;
}

// The alpha plane as rows of '.' (clear) and '#' (opaque).
std::vector<std::string> AlphaRows(const Image& rgba) {
    std::vector<std::string> rows;
    for (int y = 0; y < rgba.height; ++y) {
        std::string row;
        for (int x = 0; x < rgba.width; ++x)
            row += rgba.pixels[static_cast<size_t>((y * rgba.width + x) * 4 + 3)] ? '#' : '.';
        rows.push_back(row);
    }
    return rows;
}

struct PpmCase {
    std::string input;
    const char* description;
    bool ok;
    int width, height;
};

TEST(PngIconTest, ReadsBinaryPpmAndRefusesDamagedOnes) {
    const std::string px12(12, '\x7f');
    const PpmCase cases[] = {
        {"P6\n2 2\n255\n" + px12, "plain header", true, 2, 2},
        {"P6 2 2 255 " + px12, "spaces between the fields", true, 2, 2},
        {"P6\n# drawn by the icon tool\n2 2\n# depth\n255\n" + px12, "comments", true, 2, 2},
        {"P6\n2 2\n255\n" + px12 + "extra", "bytes after the pixels are ignored", true, 2, 2},
        {"P3\n2 2\n255\n" + px12, "ASCII PPM", false, 0, 0},
        {"P6\n2 2\n255\n" + px12.substr(1), "one byte short", false, 0, 0},
        {"P6\n0 2\n255\n", "zero width", false, 0, 0},
        {"P6\n2 99999\n255\n", "oversized height", false, 0, 0},
        {"P6\n99999999999999999999 2\n255\n", "width overflows", false, 0, 0},
        {"P6\n2 2\n65535\n" + px12 + px12, "16-bit samples", false, 0, 0},
        {"P6\n2 2\n255", "header without its closing whitespace", false, 0, 0},
        {"P6\n2 x\n255\n" + px12, "non-numeric height", false, 0, 0},
        {"", "empty file", false, 0, 0},
    };
    for (const PpmCase& c : cases) {
        Image img;
        std::string error;
        bool ok = vmod_icon::ParsePpm(Bytes(c.input), &img, &error);
        EXPECT_EQ(ok, c.ok) << c.description << ": " << error;
        if (ok && c.ok) {
            EXPECT_EQ(img.width, c.width) << c.description;
            EXPECT_EQ(img.height, c.height) << c.description;
            EXPECT_EQ(img.pixels.size(), static_cast<size_t>(c.width * c.height * 3))
                << c.description;
        } else if (!ok) {
            EXPECT_FALSE(error.empty()) << c.description;
        }
    }
}

struct ClearCase {
    std::vector<std::string> rows;
    const char* description;
    std::vector<std::string> alpha;
};

TEST(PngIconTest, ClearsOnlyTheWhiteThatReachesTheBorder) {
    const ClearCase cases[] = {
        {{"...", "...", "..."}, "all white: all background", {"...", "...", "..."}},
        {{"kkk", "kkk"}, "no white: all opaque", {"###", "###"}},
        {{".....", ".kkk.", ".k.k.", ".kkk.", "....."},
         "white enclosed by the picture stays opaque",
         {".....", ".###.", ".###.", ".###.", "....."}},
        {{".....", ".k.k.", ".k.k.", ".kkk.", "....."},
         "white open to the border is background",
         {".....", ".#.#.", ".#.#.", ".###.", "....."}},
        {{"..k..", ".k.k.", "..k.."},
         "a diagonal gap does not let the background through",
         {"..#..", ".###.", "..#.."}},
        {{"ggg", "g.g", "ggg"}, "near-white is picture, not background", {"###", "###", "###"}},
        {{"rrrr", "r..r", "r..r", "rrrr"},
         "contact strip inside the card",
         {"####", "####", "####", "####"}},
    };
    for (const ClearCase& c : cases) {
        Image rgba = vmod_icon::ClearBorderWhite(FromRows(c.rows));
        EXPECT_EQ(AlphaRows(rgba), c.alpha) << c.description;
    }
}

TEST(PngIconTest, OpaquePixelsKeepTheirColourAndClearOnesAreZero) {
    Image rgba = vmod_icon::ClearBorderWhite(FromRows({".r", "rk"}));
    const std::vector<uint8_t> expected = {0,   0, 0, 0,   255, 0, 0, 255,
                                           255, 0, 0, 255, 0,   0, 0, 255};
    EXPECT_EQ(rgba.pixels, expected);
}

uint32_t Be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

TEST(PngIconTest, PngReadsBackToTheSamePixels) {
    const struct {
        std::vector<std::string> rows;
        const char* description;
    } cases[] = {
        {{"k"}, "one pixel"},
        {{".kr.", "rk.g", "...."}, "wider than high, with clear pixels"},
        {std::vector<std::string>(64, std::string(48, 'r')), "large uniform image"},
    };
    for (const auto& c : cases) {
        Image rgba = vmod_icon::ClearBorderWhite(FromRows(c.rows));
        std::vector<uint8_t> png = vmod_icon::EncodePng(rgba);
        ASSERT_GE(png.size(), 8u) << c.description;
        EXPECT_EQ(std::memcmp(png.data(), "\x89PNG\r\n\x1a\n", 8), 0) << c.description;

        std::vector<std::string> types;
        std::vector<uint8_t> idat;
        size_t pos = 8;
        while (pos + 12 <= png.size()) {
            uint32_t len = Be32(&png[pos]);
            ASSERT_LE(pos + 12 + len, png.size()) << c.description;
            const uint8_t* type = &png[pos + 4];
            uLong crc = crc32(crc32(0L, Z_NULL, 0), type, 4 + len);
            EXPECT_EQ(Be32(&png[pos + 8 + len]), static_cast<uint32_t>(crc)) << c.description;
            std::string name(reinterpret_cast<const char*>(type), 4);
            types.push_back(name);
            if (name == "IHDR") {
                ASSERT_EQ(len, 13u);
                EXPECT_EQ(Be32(&png[pos + 8]), static_cast<uint32_t>(rgba.width));
                EXPECT_EQ(Be32(&png[pos + 12]), static_cast<uint32_t>(rgba.height));
                EXPECT_EQ(png[pos + 16], 8) << "bit depth";
                EXPECT_EQ(png[pos + 17], 6) << "colour type RGBA";
                EXPECT_EQ(png[pos + 20], 0) << "not interlaced";
            }
            if (name == "IDAT")
                idat.insert(idat.end(), &png[pos + 8], &png[pos + 8 + len]);
            pos += 12 + len;
        }
        EXPECT_EQ(pos, png.size()) << c.description << ": bytes after the last chunk";
        EXPECT_EQ(types, (std::vector<std::string>{"IHDR", "IDAT", "IEND"})) << c.description;

        const size_t stride = static_cast<size_t>(rgba.width) * 4 + 1;
        std::vector<uint8_t> raw(stride * static_cast<size_t>(rgba.height));
        uLongf rawSize = static_cast<uLongf>(raw.size());
        ASSERT_EQ(uncompress(raw.data(), &rawSize, idat.data(), static_cast<uLong>(idat.size())),
                  Z_OK)
            << c.description;
        ASSERT_EQ(rawSize, raw.size()) << c.description;
        std::vector<uint8_t> pixels;
        for (int y = 0; y < rgba.height; ++y) {
            EXPECT_EQ(raw[static_cast<size_t>(y) * stride], 0) << c.description << ": filter";
            auto row =
                raw.begin() + static_cast<std::ptrdiff_t>(static_cast<size_t>(y) * stride + 1);
            pixels.insert(pixels.end(), row, row + static_cast<std::ptrdiff_t>(stride - 1));
        }
        EXPECT_EQ(pixels, rgba.pixels) << c.description;
    }
}

} // namespace
