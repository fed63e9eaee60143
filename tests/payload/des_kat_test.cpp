// The published DES-ECB known-answer vectors of the conformance folder, both directions.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "payload/des.h"

namespace {

bool parse_hex8(const std::string& hex, unsigned char out[8]) {
    if (hex.size() != 16)
        return false;
    for (int i = 0; i < 8; ++i) {
        char* end = nullptr;
        std::string pair = hex.substr(2 * i, 2);
        unsigned long v = std::strtoul(pair.c_str(), &end, 16);
        if (*end != '\0')
            return false;
        out[i] = static_cast<unsigned char>(v);
    }
    return true;
}

TEST(DesPublishedVectors, AllVectorsBothDirections) {
    std::ifstream in(VMOD_DES_KAT_FILE);
    ASSERT_TRUE(in) << VMOD_DES_KAT_FILE;
    std::string line;
    int vectors = 0;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream fields(line);
        std::string id, key_hex, plain_hex, cipher_hex;
        fields >> id >> key_hex >> plain_hex >> cipher_hex;
        unsigned char key[8], plain[8], cipher[8];
        ASSERT_TRUE(parse_hex8(key_hex, key) && parse_hex8(plain_hex, plain) &&
                    parse_hex8(cipher_hex, cipher))
            << "unreadable line: " << line;
        SCOPED_TRACE(id);

        unsigned char block[8];
        std::memcpy(block, plain, 8);
        des_ecb_crypt(key, block, 8, VMOD_DES_ENCRYPT);
        EXPECT_EQ(std::memcmp(block, cipher, 8), 0) << "encrypt";
        des_ecb_crypt(key, block, 8, VMOD_DES_DECRYPT);
        EXPECT_EQ(std::memcmp(block, plain, 8), 0) << "decrypt";

        // Parity bits flipped in every byte: the same results.
        unsigned char flipped[8];
        for (int i = 0; i < 8; ++i)
            flipped[i] = key[i] ^ 0x01;
        std::memcpy(block, cipher, 8);
        des_ecb_crypt(flipped, block, 8, VMOD_DES_DECRYPT);
        EXPECT_EQ(std::memcmp(block, plain, 8), 0) << "decrypt with parity flipped";
        ++vectors;
    }
    EXPECT_EQ(vectors, 208);
}

} // namespace
