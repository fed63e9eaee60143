// Shared by the package tool's tests: firmware-like S-record text made in the test, and the
// decrypted view of an image for damaging it below the cipher.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "payload/des.h"
#include "tools/pack/package_image.h"

namespace pack_test {

using vmod_pack::Bytes;

// S3 records of 32 data bytes (78 characters, as long as the download's first line may be)
// from address base, data from a fixed pseudo-random sequence with runs mixed in, then an S7
// record; the first line is an S0 header. Lines end in line_end.
inline std::string FirmwareText(size_t records, uint32_t base = 0x08000000,
                                const char* line_end = "\r\n", uint32_t seed = 1) {
    std::string text = std::string("S00F000068656C6C6F20202020202020FC") + line_end;
    uint32_t x = seed;
    for (size_t r = 0; r < records; r++) {
        uint32_t address = base + static_cast<uint32_t>(r * 32);
        unsigned char bytes[1 + 4 + 32];
        bytes[0] = 4 + 32 + 1;
        for (int i = 0; i < 4; i++) {
            bytes[1 + i] = static_cast<unsigned char>(address >> (24 - 8 * i));
        }
        for (int i = 0; i < 32; i++) {
            x = x * 1103515245u + 12345u;
            // Every fourth record is a run, the way erased flash and tables look.
            bytes[5 + i] = r % 4 == 3 ? 0xFF : static_cast<unsigned char>(x >> 16);
        }
        unsigned sum = 0;
        std::string line = "S3";
        char hex[3];
        for (unsigned char b : bytes) {
            std::snprintf(hex, sizeof hex, "%02X", b);
            line += hex;
            sum += b;
        }
        std::snprintf(hex, sizeof hex, "%02X", ~sum & 0xFFu);
        line += hex;
        text += line + line_end;
    }
    char end[32];
    std::snprintf(end, sizeof end, "S705%08X", static_cast<unsigned>(base));
    unsigned sum = 5 + (base >> 24) + ((base >> 16) & 0xFF) + ((base >> 8) & 0xFF) + (base & 0xFF);
    char check[3];
    std::snprintf(check, sizeof check, "%02X", ~sum & 0xFFu);
    return text + end + check + line_end;
}

// The image's bytes as the inflater sees them (decrypted under the payload key), and back.
inline void PayloadCipher(Bytes* image, int mode) {
    unsigned char key[8] = {};
    std::memcpy(key, kPayloadKeyText, std::strlen(kPayloadKeyText));
    size_t n = image->size();
    image->resize((n + 7) / 8 * 8, 0);
    des_ecb_crypt(key, image->data(), static_cast<int>(n), mode);
    image->resize(n);
}

} // namespace pack_test
