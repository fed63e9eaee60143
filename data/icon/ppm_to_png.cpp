// vmod_ppm_to_png: the build's converter from the icon tool's PPM rendering to a PNG with a
// transparent background, for the desktop entry's icon sizes.
//
//   vmod_ppm_to_png IN.ppm OUT.png
#include <cstdio>
#include <vector>

#include "data/icon/png_icon.h"

namespace {

bool ReadAll(const char* path, std::vector<uint8_t>* bytes) {
    FILE* f = std::fopen(path, "rb");
    if (!f)
        return false;
    uint8_t buf[65536];
    size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0)
        bytes->insert(bytes->end(), buf, buf + got);
    bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

bool WriteAll(const char* path, const std::vector<uint8_t>& bytes) {
    FILE* f = std::fopen(path, "wb");
    if (!f)
        return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: vmod_ppm_to_png IN.ppm OUT.png\n");
        return 2;
    }
    std::vector<uint8_t> in;
    if (!ReadAll(argv[1], &in)) {
        std::fprintf(stderr, "vmod_ppm_to_png: cannot read %s\n", argv[1]);
        return 1;
    }
    vmod_icon::Image rgb;
    std::string error;
    if (!vmod_icon::ParsePpm(in, &rgb, &error)) {
        std::fprintf(stderr, "vmod_ppm_to_png: %s: %s\n", argv[1], error.c_str());
        return 1;
    }
    std::vector<uint8_t> png = vmod_icon::EncodePng(vmod_icon::ClearBorderWhite(rgb));
    if (png.empty() || !WriteAll(argv[2], png)) {
        std::fprintf(stderr, "vmod_ppm_to_png: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
