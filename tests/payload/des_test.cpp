// The DES cipher against classic known answers, OpenSSL's DES-ECB, and the buffer contract
// (whole-block processing of a trailing partial block, parity bits ignored, mode bit 0).
#include <gtest/gtest.h>

// OpenSSL's DES names stand beside the cipher's own here, as in any file that checks one against
// the other; the directions must not depend on the order of the includes.
#include <openssl/des.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "payload/des.h"

namespace {

using Block = std::array<unsigned char, 8>;

Block from_hex(const char* hex) {
    Block b{};
    for (int i = 0; i < 8; ++i)
        b[i] = static_cast<unsigned char>(std::stoul(std::string(hex + 2 * i, 2), nullptr, 16));
    return b;
}

std::string to_hex(const unsigned char* p, size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

struct Kat {
    const char* key;
    const char* plain;
    const char* cipher;
    const char* description;
};

const Kat kClassicVectors[] = {
    {"133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405", "worked example of the standard"},
    {"0123456789ABCDEF", "4E6F772069732074", "3FA40E8A984D4815", "FIPS 81 ECB block 1"},
    {"0123456789ABCDEF", "68652074696D6520", "6A271787AB8883F9", "FIPS 81 ECB block 2"},
    {"0123456789ABCDEF", "666F7220616C6C20", "893D51EC4B563B53", "FIPS 81 ECB block 3"},
    {"0000000000000000", "0000000000000000", "8CA64DE9C1B123A7", "all-zero key and block"},
    {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "7359B2163E4EDC58", "all-one key and block"},
    {"0101010101010101", "8000000000000000", "95F8A5E5DD31D900", "weak key, single plaintext bit"},
    {"0101010101010101", "0000000000000001", "166B40B44ABA4BD6", "weak key, last plaintext bit"},
    {"FEDCBA9876543210", "0123456789ABCDEF", "ED39D950FA74BCC4", "descending key"},
    {"7CA110454A1A6E57", "01A1D6D039776742", "690F5B0D9A26939B", "random-looking key"},
};

TEST(DesKnownAnswers, EncryptAndDecryptBothWays) {
    for (const Kat& v : kClassicVectors) {
        SCOPED_TRACE(v.description);
        Block key = from_hex(v.key);
        Block block = from_hex(v.plain);
        EXPECT_EQ(des_ecb_crypt(key.data(), block.data(), 8, VMOD_DES_ENCRYPT), 0);
        EXPECT_EQ(to_hex(block.data(), 8), v.cipher);
        EXPECT_EQ(des_ecb_crypt(key.data(), block.data(), 8, VMOD_DES_DECRYPT), 0);
        EXPECT_EQ(to_hex(block.data(), 8), v.plain);

        des_set_key(key.data());
        block = from_hex(v.cipher);
        des_crypt_block(block.data(), VMOD_DES_DECRYPT);
        EXPECT_EQ(to_hex(block.data(), 8), v.plain);
        des_crypt_block(block.data(), VMOD_DES_ENCRYPT);
        EXPECT_EQ(to_hex(block.data(), 8), v.cipher);
    }
}

// The worked example's subkeys K1 and K16, as 6-bit groups per S-box, in the packed layout:
// word 0 carries the groups for S1 S3 S5 S7, word 1 those for S2 S4 S6 S8.
TEST(DesKeySchedule, SubkeysArePackedPerSbox) {
    Block key = from_hex("133457799BBCDFF1");
    des_set_key(key.data());
    uint32_t words[2];
    // K1 = 000110 110000 001011 101111 111111 000111 000001 110010
    ASSERT_EQ(des_subkey(1, words), 0);
    EXPECT_EQ(words[0], 0x060B3F01u);
    EXPECT_EQ(words[1], 0x302F0732u);
    // K16 = 110010 110011 110110 001011 000011 100001 011111 110101
    ASSERT_EQ(des_subkey(16, words), 0);
    EXPECT_EQ(words[0], 0x3236031Fu);
    EXPECT_EQ(words[1], 0x330B2135u);
    EXPECT_EQ(des_subkey(0, words), -1);
    EXPECT_EQ(des_subkey(17, words), -1);
}

TEST(DesKeySchedule, ParityBitsAreIgnoredAndDoNotRebuild) {
    Block key = from_hex("0123456789ABCDEF");
    Block flipped = key;
    for (int i = 0; i < 8; i += 3)
        flipped[i] ^= 0x01;
    Block a = from_hex("4E6F772069732074");
    Block b = a;
    des_ecb_crypt(key.data(), a.data(), 8, VMOD_DES_ENCRYPT);
    long builds = des_schedule_builds();
    des_ecb_crypt(flipped.data(), b.data(), 8, VMOD_DES_ENCRYPT);
    EXPECT_EQ(a, b);
    EXPECT_EQ(des_schedule_builds(), builds) << "a parity-only change rebuilt the schedule";
}

TEST(DesKeySchedule, ChangedKeyBitRebuildsTheSchedule) {
    // Alternating keys catches a cache that keeps the first schedule, or compares parity bits.
    Block k1 = from_hex("0123456789ABCDEF");
    Block k2 = k1;
    k2[7] ^= 0x02; // lowest non-parity bit of the last byte
    Block plain = from_hex("4E6F772069732074");
    for (int round = 0; round < 2; ++round) {
        Block a = plain;
        des_ecb_crypt(k1.data(), a.data(), 8, VMOD_DES_ENCRYPT);
        EXPECT_EQ(to_hex(a.data(), 8), "3FA40E8A984D4815");
        long builds = des_schedule_builds();
        Block b = plain;
        des_ecb_crypt(k2.data(), b.data(), 8, VMOD_DES_ENCRYPT);
        EXPECT_NE(a, b);
        EXPECT_EQ(des_schedule_builds(), builds + 1);
    }
}

TEST(DesMode, OnlyBitZeroSelectsTheDirection) {
    struct Case {
        int mode;
        const char* description;
        const char* expected;
    } cases[] = {
        {0, "0 encrypts", "3FA40E8A984D4815"},  {1, "1 decrypts", nullptr},
        {2, "2 encrypts", "3FA40E8A984D4815"},  {3, "3 decrypts", nullptr},
        {-1, "all bits set decrypts", nullptr}, {-2, "all but bit 0 encrypts", "3FA40E8A984D4815"},
    };
    Block key = from_hex("0123456789ABCDEF");
    Block decrypted = from_hex("4E6F772069732074");
    des_ecb_crypt(key.data(), decrypted.data(), 8, VMOD_DES_DECRYPT);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        Block block = from_hex("4E6F772069732074");
        des_ecb_crypt(key.data(), block.data(), 8, c.mode);
        if (c.expected) {
            EXPECT_EQ(to_hex(block.data(), 8), c.expected);
        } else {
            EXPECT_EQ(block, decrypted);
        }
    }
}

// Every block that des_ecb_crypt touches must be exactly des_crypt_block of that block, and
// nothing past the last processed block may change.
TEST(DesBuffer, ProcessesWholeBlocksUpToTheRoundedLength) {
    struct Case {
        int length;
        const char* description;
        int blocks;
    } cases[] = {
        {0, "empty buffer stays untouched", 0},
        {-8, "negative length processes nothing", 0},
        {1, "one byte processes a whole block", 1},
        {7, "seven bytes", 1},
        {8, "one block", 1},
        {9, "a byte into the second block", 2},
        {13, "trailing 5 bytes: bytes 13 to 15 overwritten", 2},
        {16, "two blocks", 2},
        {24, "odd block count after pairs", 3},
        {65535, "largest chunk less one byte", 8192},
        {65536, "largest chunk", 8192},
    };
    Block key = from_hex("3849674C2602319E");
    std::mt19937 rng(7);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        std::vector<unsigned char> buffer(65536 + 32);
        for (auto& byte : buffer)
            byte = static_cast<unsigned char>(rng());
        for (int mode : {VMOD_DES_ENCRYPT, VMOD_DES_DECRYPT}) {
            std::vector<unsigned char> expected = buffer;
            des_set_key(key.data());
            for (int i = 0; i < c.blocks; ++i)
                des_crypt_block(expected.data() + 8 * i, mode);
            std::vector<unsigned char> actual = buffer;
            EXPECT_EQ(des_ecb_crypt(key.data(), actual.data(), c.length, mode), 0);
            EXPECT_TRUE(actual == expected) << "mode " << mode;
            EXPECT_TRUE(std::equal(actual.begin() + 8 * c.blocks, actual.end(),
                                   buffer.begin() + 8 * c.blocks))
                << "bytes past the last block changed, mode " << mode;
        }
    }
}

TEST(DesBuffer, BlocksAreIndependent) {
    Block key = from_hex("0123456789ABCDEF");
    std::vector<unsigned char> plain(64);
    for (size_t i = 0; i < plain.size(); ++i)
        plain[i] = static_cast<unsigned char>(i * 37);
    std::vector<unsigned char> cipher = plain;
    des_ecb_crypt(key.data(), cipher.data(), 64, VMOD_DES_ENCRYPT);
    for (int changed = 0; changed < 8; ++changed) {
        std::vector<unsigned char> damaged = cipher;
        damaged[8 * changed + 3] ^= 0x10;
        des_ecb_crypt(key.data(), damaged.data(), 64, VMOD_DES_DECRYPT);
        for (int block = 0; block < 8; ++block) {
            bool same = std::equal(plain.begin() + 8 * block, plain.begin() + 8 * block + 8,
                                   damaged.begin() + 8 * block);
            EXPECT_EQ(same, block != changed) << "changed block " << changed << ", block " << block;
        }
    }
}

// OpenSSL's DES-ECB (legacy provider) as an independent oracle.
class DesOpenSsl : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        legacy_ = OSSL_PROVIDER_load(nullptr, "legacy");
        default_ = OSSL_PROVIDER_load(nullptr, "default");
    }
    static void TearDownTestSuite() {
        if (legacy_)
            OSSL_PROVIDER_unload(legacy_);
        if (default_)
            OSSL_PROVIDER_unload(default_);
    }

    static std::vector<unsigned char>
    openssl_ecb(const Block& key, const std::vector<unsigned char>& in, bool encrypt) {
        std::vector<unsigned char> out(in.size() + 8);
        EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "DES-ECB", nullptr);
        EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
        int n = 0, total = 0;
        bool ok = cipher && ctx &&
                  EVP_CipherInit_ex(ctx, cipher, nullptr, key.data(), nullptr, encrypt ? 1 : 0) &&
                  EVP_CIPHER_CTX_set_padding(ctx, 0) &&
                  EVP_CipherUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size()));
        total = n;
        ok = ok && EVP_CipherFinal_ex(ctx, out.data() + total, &n);
        total += n;
        EVP_CIPHER_CTX_free(ctx);
        EVP_CIPHER_free(cipher);
        EXPECT_TRUE(ok) << "OpenSSL DES-ECB unavailable";
        out.resize(ok ? total : 0);
        return out;
    }

    static OSSL_PROVIDER* legacy_;
    static OSSL_PROVIDER* default_;
};

OSSL_PROVIDER* DesOpenSsl::legacy_ = nullptr;
OSSL_PROVIDER* DesOpenSsl::default_ = nullptr;

TEST_F(DesOpenSsl, RandomKeysAndDataInBothDirections) {
    ASSERT_NE(legacy_, nullptr) << "OpenSSL legacy provider not loadable";
    std::mt19937_64 rng(20240611);
    for (int trial = 0; trial < 300; ++trial) {
        Block key;
        for (auto& b : key)
            b = static_cast<unsigned char>(rng());
        size_t blocks = 1 + rng() % 40; // odd and even counts: paired and single blocks
        std::vector<unsigned char> data(8 * blocks);
        for (auto& b : data)
            b = static_cast<unsigned char>(rng());
        SCOPED_TRACE("key " + to_hex(key.data(), 8) + ", blocks " + std::to_string(blocks));

        std::vector<unsigned char> ours = data;
        des_ecb_crypt(key.data(), ours.data(), static_cast<int>(ours.size()), VMOD_DES_ENCRYPT);
        ASSERT_EQ(ours, openssl_ecb(key, data, true));

        ours = data;
        des_ecb_crypt(key.data(), ours.data(), static_cast<int>(ours.size()), VMOD_DES_DECRYPT);
        ASSERT_EQ(ours, openssl_ecb(key, data, false));

        des_ecb_crypt(key.data(), ours.data(), static_cast<int>(ours.size()), VMOD_DES_ENCRYPT);
        ASSERT_EQ(ours, data) << "decrypt then encrypt is not the identity";
    }
}

TEST_F(DesOpenSsl, PayloadKeyOnAFullChunk) {
    // The key the payload stream forms from its key text: seven characters and a zero byte.
    Block key{};
    std::memcpy(key.data(), "rtog5u3", 7);
    std::vector<unsigned char> data(65536);
    std::mt19937 rng(3);
    for (auto& b : data)
        b = static_cast<unsigned char>(rng());
    std::vector<unsigned char> ours = data;
    des_ecb_crypt(key.data(), ours.data(), static_cast<int>(ours.size()), VMOD_DES_DECRYPT);
    EXPECT_EQ(ours, openssl_ecb(key, data, false));
}

} // namespace
