// versionup_icon: draws the program's icon and writes it as a Windows .ico file.
//
// The drawing below is the icon's only source: the build runs this tool to make the .ico that
// the resource script embeds (32x32 and 16x16, each at 16 and 256 colours), and other renderings
// (a PNG for a desktop entry) come from the same drawing. The picture: a handheld with a plug-in
// radio module at its foot and an upward arrow on its screen, the version-up.
//
//   versionup_icon OUT.ico        writes the four images
//   versionup_icon --ppm SIZE OUT writes one true-colour rendering (binary PPM with the
//                                 transparent background shown white), for checking by eye
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Rgb {
    uint8_t r, g, b;
};

// One shape of the picture in unit coordinates (0..1 across the icon, y down), painted in order.
struct Shape {
    enum Kind { RoundRect, Polygon } kind;
    float x0, y0, x1, y1, radius;             // RoundRect
    std::vector<std::array<float, 2>> points; // Polygon, any winding
    Rgb colour;
};

// The 16 colours of the standard VGA palette, which the 16-colour images use and which also
// open the 256-colour palette.
const Rgb kVgaPalette[16] = {
    {0, 0, 0},     {128, 0, 0},     {0, 128, 0},     {128, 128, 0},   {0, 0, 128}, {128, 0, 128},
    {0, 128, 128}, {192, 192, 192}, {128, 128, 128}, {255, 0, 0},     {0, 255, 0}, {255, 255, 0},
    {0, 0, 255},   {255, 0, 255},   {0, 255, 255},   {255, 255, 255},
};

// The picture, drawn back to front. Colours are VGA palette entries so that both colour depths
// show the same picture; the 256-colour images add the smoothed edges between shapes.
std::vector<Shape> Picture() {
    std::vector<Shape> s;
    // Device body and its dark outline.
    s.push_back({Shape::RoundRect, 0.13f, 0.02f, 0.87f, 0.98f, 0.14f, {}, {0, 0, 0}});
    s.push_back({Shape::RoundRect, 0.17f, 0.05f, 0.83f, 0.95f, 0.11f, {}, {128, 128, 128}});
    // Screen.
    s.push_back({Shape::RoundRect, 0.23f, 0.11f, 0.77f, 0.60f, 0.02f, {}, {0, 0, 0}});
    s.push_back({Shape::RoundRect, 0.26f, 0.14f, 0.74f, 0.57f, 0.0f, {}, {0, 128, 128}});
    // The upward arrow on the screen.
    s.push_back({Shape::Polygon,
                 0,
                 0,
                 0,
                 0,
                 0,
                 {{{0.50f, 0.16f},
                   {0.71f, 0.38f},
                   {0.58f, 0.38f},
                   {0.58f, 0.55f},
                   {0.42f, 0.55f},
                   {0.42f, 0.38f},
                   {0.29f, 0.38f}}},
                 {255, 255, 0}});
    // The plug-in radio module: a red card in the foot with a white contact strip.
    s.push_back({Shape::RoundRect, 0.27f, 0.67f, 0.73f, 0.90f, 0.03f, {}, {0, 0, 0}});
    s.push_back({Shape::RoundRect, 0.30f, 0.70f, 0.70f, 0.87f, 0.0f, {}, {255, 0, 0}});
    s.push_back({Shape::RoundRect, 0.36f, 0.75f, 0.64f, 0.81f, 0.0f, {}, {255, 255, 255}});
    return s;
}

bool Inside(const Shape& shape, float x, float y) {
    if (shape.kind == Shape::RoundRect) {
        if (x < shape.x0 || x > shape.x1 || y < shape.y0 || y > shape.y1)
            return false;
        float r = shape.radius;
        float cx = std::clamp(x, shape.x0 + r, shape.x1 - r);
        float cy = std::clamp(y, shape.y0 + r, shape.y1 - r);
        return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r;
    }
    // Even-odd rule.
    bool in = false;
    const auto& p = shape.points;
    for (size_t i = 0, j = p.size() - 1; i < p.size(); j = i++) {
        if ((p[i][1] > y) != (p[j][1] > y) &&
            x < (p[j][0] - p[i][0]) * (y - p[i][1]) / (p[j][1] - p[i][1]) + p[i][0])
            in = !in;
    }
    return in;
}

struct Pixel {
    Rgb colour;
    bool opaque;
};

// Renders the picture at size x size with samples x samples points per pixel. A pixel is opaque
// when at least half its samples hit a shape; its colour is the mean of the hit samples.
std::vector<Pixel> Render(int size, int samples) {
    std::vector<Shape> picture = Picture();
    std::vector<Pixel> out(static_cast<size_t>(size * size));
    for (int py = 0; py < size; ++py) {
        for (int px = 0; px < size; ++px) {
            int hits = 0;
            int r = 0, g = 0, b = 0;
            for (int sy = 0; sy < samples; ++sy) {
                for (int sx = 0; sx < samples; ++sx) {
                    float x = (px + (sx + 0.5f) / samples) / size;
                    float y = (py + (sy + 0.5f) / samples) / size;
                    const Shape* top = nullptr;
                    for (const Shape& shape : picture)
                        if (Inside(shape, x, y))
                            top = &shape;
                    if (top) {
                        ++hits;
                        r += top->colour.r, g += top->colour.g, b += top->colour.b;
                    }
                }
            }
            Pixel& p = out[static_cast<size_t>(py * size + px)];
            p.opaque = hits * 2 >= samples * samples;
            if (hits) {
                p.colour = {static_cast<uint8_t>(r / hits), static_cast<uint8_t>(g / hits),
                            static_cast<uint8_t>(b / hits)};
            } else {
                p.colour = {0, 0, 0};
            }
        }
    }
    return out;
}

// The 256-colour palette: the VGA colours, a 6x6x6 colour cube, then 24 greys.
std::vector<Rgb> Palette256() {
    std::vector<Rgb> pal(kVgaPalette, kVgaPalette + 16);
    for (int r = 0; r < 6; ++r)
        for (int g = 0; g < 6; ++g)
            for (int b = 0; b < 6; ++b)
                pal.push_back({static_cast<uint8_t>(r * 51), static_cast<uint8_t>(g * 51),
                               static_cast<uint8_t>(b * 51)});
    for (int i = 0; i < 24; ++i) {
        auto v = static_cast<uint8_t>(8 + 10 * i);
        pal.push_back({v, v, v});
    }
    return pal;
}

int Nearest(const std::vector<Rgb>& pal, Rgb c) {
    int best = 0;
    long bestDist = -1;
    for (size_t i = 0; i < pal.size(); ++i) {
        long dr = pal[i].r - c.r, dg = pal[i].g - c.g, db = pal[i].b - c.b;
        long d = dr * dr + dg * dg + db * db;
        if (bestDist < 0 || d < bestDist)
            bestDist = d, best = static_cast<int>(i);
    }
    return best;
}

void Put16(std::vector<uint8_t>& v, uint32_t x) {
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}
void Put32(std::vector<uint8_t>& v, uint32_t x) {
    Put16(v, x & 0xFFFF);
    Put16(v, x >> 16);
}

// One icon image: BITMAPINFOHEADER (height doubled for the mask), palette, colour bits and
// the AND mask, both bottom-up with rows padded to 4 bytes.
std::vector<uint8_t> IconImage(int size, int bpp) {
    std::vector<Rgb> pal =
        bpp == 4 ? std::vector<Rgb>(kVgaPalette, kVgaPalette + 16) : Palette256();
    // The 16-colour image takes one sample per pixel so its edges stay crisp.
    std::vector<Pixel> px = Render(size, bpp == 4 ? 1 : 4);
    int xorStride = ((size * bpp + 31) / 32) * 4;
    int andStride = ((size + 31) / 32) * 4;
    std::vector<uint8_t> img;
    Put32(img, 40);
    Put32(img, static_cast<uint32_t>(size));
    Put32(img, static_cast<uint32_t>(size * 2));
    Put16(img, 1);
    Put16(img, static_cast<uint32_t>(bpp));
    Put32(img, 0); // BI_RGB
    Put32(img, static_cast<uint32_t>((xorStride + andStride) * size));
    Put32(img, 0);
    Put32(img, 0);
    Put32(img, 0);
    Put32(img, 0);
    for (const Rgb& c : pal) {
        img.push_back(c.b);
        img.push_back(c.g);
        img.push_back(c.r);
        img.push_back(0);
    }
    for (int y = size - 1; y >= 0; --y) {
        std::vector<uint8_t> row(static_cast<size_t>(xorStride), 0);
        for (int x = 0; x < size; ++x) {
            const Pixel& p = px[static_cast<size_t>(y * size + x)];
            int index = p.opaque ? Nearest(pal, p.colour) : 0;
            if (bpp == 8)
                row[static_cast<size_t>(x)] = static_cast<uint8_t>(index);
            else
                row[static_cast<size_t>(x / 2)] |= static_cast<uint8_t>(x % 2 ? index : index << 4);
        }
        img.insert(img.end(), row.begin(), row.end());
    }
    for (int y = size - 1; y >= 0; --y) {
        std::vector<uint8_t> row(static_cast<size_t>(andStride), 0);
        for (int x = 0; x < size; ++x)
            if (!px[static_cast<size_t>(y * size + x)].opaque)
                row[static_cast<size_t>(x / 8)] |= static_cast<uint8_t>(0x80 >> (x % 8));
        img.insert(img.end(), row.begin(), row.end());
    }
    return img;
}

bool WriteFile(const char* path, const std::vector<uint8_t>& bytes) {
    FILE* f = std::fopen(path, "wb");
    if (!f)
        return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

int WriteIco(const char* path) {
    // The images of the icon group, in the order the group lists them.
    const struct { int size, bpp; } kImages[] = {{32, 4}, {16, 4}, {32, 8}, {16, 8}};
    std::vector<std::vector<uint8_t>> images;
    for (const auto& im : kImages)
        images.push_back(IconImage(im.size, im.bpp));
    std::vector<uint8_t> ico;
    Put16(ico, 0);
    Put16(ico, 1); // icon
    Put16(ico, static_cast<uint32_t>(images.size()));
    uint32_t offset = static_cast<uint32_t>(6 + 16 * images.size());
    for (size_t i = 0; i < images.size(); ++i) {
        ico.push_back(static_cast<uint8_t>(kImages[i].size));
        ico.push_back(static_cast<uint8_t>(kImages[i].size));
        ico.push_back(static_cast<uint8_t>(kImages[i].bpp == 4 ? 16 : 0)); // colours, 0 = 256
        ico.push_back(0);
        Put16(ico, 1); // planes
        Put16(ico, static_cast<uint32_t>(kImages[i].bpp));
        Put32(ico, static_cast<uint32_t>(images[i].size()));
        Put32(ico, offset);
        offset += static_cast<uint32_t>(images[i].size());
    }
    for (const auto& im : images)
        ico.insert(ico.end(), im.begin(), im.end());
    if (!WriteFile(path, ico)) {
        std::fprintf(stderr, "versionup_icon: cannot write %s\n", path);
        return 1;
    }
    return 0;
}

int WritePpm(int size, const char* path) {
    std::vector<Pixel> px = Render(size, 4);
    std::string head = "P6\n" + std::to_string(size) + " " + std::to_string(size) + "\n255\n";
    std::vector<uint8_t> out(head.begin(), head.end());
    for (const Pixel& p : px) {
        Rgb c = p.opaque ? p.colour : Rgb{255, 255, 255};
        out.push_back(c.r);
        out.push_back(c.g);
        out.push_back(c.b);
    }
    if (!WriteFile(path, out)) {
        std::fprintf(stderr, "versionup_icon: cannot write %s\n", path);
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--help") != 0)
        return WriteIco(argv[1]);
    if (argc == 4 && std::strcmp(argv[1], "--ppm") == 0) {
        int size = std::atoi(argv[2]);
        if (size > 0 && size <= 1024)
            return WritePpm(size, argv[3]);
    }
    std::fprintf(stderr, "usage: versionup_icon OUT.ico\n"
                         "       versionup_icon --ppm SIZE OUT.ppm\n");
    return 2;
}
