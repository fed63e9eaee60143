// DES as defined in FIPS 46-3, electronic-codebook mode.
//
// The standard's tables appear below exactly as FIPS 46-3 prints them; the lookup tables the
// rounds use are derived from them at compile time, so the derivation is the only place where
// the two could part.
//
// Bit numbering follows the standard: bit 1 is the most significant bit of the first byte of
// a block or key. A 64-bit block is handled as two 32-bit words, L (bits 1 to 32) and R (bits
// 33 to 64), each with its bit 1 in the word's most significant place.
#include "payload/des.h"

#include <array>
#include <cstring>

namespace {

// ---------------------------------------------------------------------------------------------
// FIPS 46-3 tables.

// Permuted choice 1 (FIPS 46-3, key schedule): entry j is the key bit that lands at position
// j + 1 of C (entries 0 to 27) or of D (entries 28 to 55). Parity bits 8, 16, ..., 64 are absent.
static constexpr unsigned char des_pc1[56] = {
    57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18, //
    10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36, //
    63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22, //
    14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4,
};

// Permuted choice 2 (FIPS 46-3, key schedule): entry j is the bit of the 56-bit C D register
// (C is bits 1 to 28, D bits 29 to 56) that becomes bit j + 1 of the 48-bit subkey. Entries
// 6g to 6g + 5 form the group that feeds S-box g + 1.
static constexpr unsigned char des_pc2[48] = {
    14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, //
    23, 19, 12, 4,  26, 8,  16, 7,  27, 20, 13, 2,  //
    41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48, //
    44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32,
};

// Left rotations of C and D before rounds 1 to 16 (FIPS 46-3, key schedule).
static constexpr unsigned char des_shifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

// Permutation P (FIPS 46-3, cipher function f): entry j is the bit of the S-box output word
// (S1 in bits 1 to 4, ..., S8 in bits 29 to 32) that becomes bit j + 1 of f.
static constexpr unsigned char des_p[32] = {
    16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
    2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25,
};

// Selection functions S1 to S8 (FIPS 46-3), indexed [box][row][column] as printed: the row is
// the first and last bit of the 6-bit group, the column its four middle bits.
static constexpr unsigned char des_sbox[8][4][16] = {
    {{14, 4, 13, 1, 2, 15, 11, 8, 3, 10, 6, 12, 5, 9, 0, 7},
     {0, 15, 7, 4, 14, 2, 13, 1, 10, 6, 12, 11, 9, 5, 3, 8},
     {4, 1, 14, 8, 13, 6, 2, 11, 15, 12, 9, 7, 3, 10, 5, 0},
     {15, 12, 8, 2, 4, 9, 1, 7, 5, 11, 3, 14, 10, 0, 6, 13}},
    {{15, 1, 8, 14, 6, 11, 3, 4, 9, 7, 2, 13, 12, 0, 5, 10},
     {3, 13, 4, 7, 15, 2, 8, 14, 12, 0, 1, 10, 6, 9, 11, 5},
     {0, 14, 7, 11, 10, 4, 13, 1, 5, 8, 12, 6, 9, 3, 2, 15},
     {13, 8, 10, 1, 3, 15, 4, 2, 11, 6, 7, 12, 0, 5, 14, 9}},
    {{10, 0, 9, 14, 6, 3, 15, 5, 1, 13, 12, 7, 11, 4, 2, 8},
     {13, 7, 0, 9, 3, 4, 6, 10, 2, 8, 5, 14, 12, 11, 15, 1},
     {13, 6, 4, 9, 8, 15, 3, 0, 11, 1, 2, 12, 5, 10, 14, 7},
     {1, 10, 13, 0, 6, 9, 8, 7, 4, 15, 14, 3, 11, 5, 2, 12}},
    {{7, 13, 14, 3, 0, 6, 9, 10, 1, 2, 8, 5, 11, 12, 4, 15},
     {13, 8, 11, 5, 6, 15, 0, 3, 4, 7, 2, 12, 1, 10, 14, 9},
     {10, 6, 9, 0, 12, 11, 7, 13, 15, 1, 3, 14, 5, 2, 8, 4},
     {3, 15, 0, 6, 10, 1, 13, 8, 9, 4, 5, 11, 12, 7, 2, 14}},
    {{2, 12, 4, 1, 7, 10, 11, 6, 8, 5, 3, 15, 13, 0, 14, 9},
     {14, 11, 2, 12, 4, 7, 13, 1, 5, 0, 15, 10, 3, 9, 8, 6},
     {4, 2, 1, 11, 10, 13, 7, 8, 15, 9, 12, 5, 6, 3, 0, 14},
     {11, 8, 12, 7, 1, 14, 2, 13, 6, 15, 0, 9, 10, 4, 5, 3}},
    {{12, 1, 10, 15, 9, 2, 6, 8, 0, 13, 3, 4, 14, 7, 5, 11},
     {10, 15, 4, 2, 7, 12, 9, 5, 6, 1, 13, 14, 0, 11, 3, 8},
     {9, 14, 15, 5, 2, 8, 12, 3, 7, 0, 4, 10, 1, 13, 11, 6},
     {4, 3, 2, 12, 9, 5, 15, 10, 11, 14, 1, 7, 6, 0, 8, 13}},
    {{4, 11, 2, 14, 15, 0, 8, 13, 3, 12, 9, 7, 5, 10, 6, 1},
     {13, 0, 11, 7, 4, 9, 1, 10, 14, 3, 5, 12, 2, 15, 8, 6},
     {1, 4, 11, 13, 12, 3, 7, 14, 10, 15, 6, 8, 0, 5, 9, 2},
     {6, 11, 13, 8, 1, 4, 10, 7, 9, 5, 0, 15, 14, 2, 3, 12}},
    {{13, 2, 8, 4, 6, 15, 11, 1, 10, 9, 3, 14, 5, 0, 12, 7},
     {1, 15, 13, 8, 10, 3, 7, 4, 12, 5, 6, 11, 0, 14, 9, 2},
     {7, 11, 4, 1, 9, 12, 14, 2, 0, 6, 10, 13, 15, 3, 5, 8},
     {2, 1, 14, 7, 4, 10, 8, 13, 15, 12, 9, 0, 3, 5, 6, 11}},
};

// ---------------------------------------------------------------------------------------------
// Lookup tables of the round function, derived from the tables above.

// The S-box itself indexed directly by the 6-bit group b1..b6 (b1 most significant):
// row b1 b6, column b2 b3 b4 b5.
constexpr unsigned char sbox_direct(int box, unsigned group) {
    unsigned row = ((group >> 4) & 2) | (group & 1);
    unsigned column = (group >> 1) & 15;
    return des_sbox[box][row][column];
}

// The 4-bit output of S-box `box` (0 for S1) placed in its nibble of the S-box output word and
// permuted by P.
constexpr uint32_t p_of_nibble(int box, unsigned nibble) {
    uint32_t word = static_cast<uint32_t>(nibble) << (28 - 4 * box);
    uint32_t out = 0;
    for (int j = 0; j < 32; ++j) {
        if ((word >> (32 - des_p[j])) & 1)
            out |= 1u << (31 - j);
    }
    return out;
}

using SpTables = std::array<std::array<uint32_t, 64>, 8>;

// Combined S and P tables: des_sp[box][group] is P applied to S-box `box`'s output for the
// 6-bit group, in its nibble. The eight lookups of a round, ORed, give f.
constexpr SpTables make_sp() {
    SpTables sp{};
    for (int box = 0; box < 8; ++box) {
        for (unsigned group = 0; group < 64; ++group) {
            sp[box][group] = p_of_nibble(box, sbox_direct(box, group));
        }
    }
    return sp;
}

alignas(64) static constexpr SpTables des_sp = make_sp();

// ---------------------------------------------------------------------------------------------
// The key-schedule cache: one per thread, built at the thread's first key and rebuilt only for
// a key that differs in a non-parity bit. The rounds take the subkeys as an argument, so a
// buffer costs one look-up of the thread's cache, not one per block.

struct DesCache {
    bool valid;
    unsigned char key[8];
    // Subkeys of rounds 1 to 16, each as the two packed words of des_subkey.
    uint32_t subkey[16][2];
    long builds;
};

static thread_local DesCache des_cache;

// Subkeys of rounds 1 to 16 as DesCache holds them.
using Subkeys = const uint32_t (*)[2];

static inline uint32_t load_be32(const unsigned char* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

static inline void store_be32(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

static inline uint32_t rotl32(uint32_t v, int n) {
    return (v << n) | (v >> (32 - n));
}
static inline uint32_t rotr32(uint32_t v, int n) {
    return (v >> n) | (v << (32 - n));
}

// Exchanges the bits of a selected by mask << shift with the bits of b selected by mask. The
// initial permutation is five such exchanges, its inverse the same five in reverse order.
#define DES_SWAP_BITS(a, b, shift, mask)                                                           \
    do {                                                                                           \
        uint32_t t_ = (((a) >> (shift)) ^ (b)) & (mask);                                           \
        (b) ^= t_;                                                                                 \
        (a) ^= t_ << (shift);                                                                      \
    } while (0)

// Initial permutation IP (FIPS 46-3) of the block l r, in place: afterwards l is L0, r is R0.
static inline void des_ip(uint32_t& l, uint32_t& r) {
    DES_SWAP_BITS(l, r, 4, 0x0f0f0f0fu);
    DES_SWAP_BITS(l, r, 16, 0x0000ffffu);
    DES_SWAP_BITS(r, l, 2, 0x33333333u);
    DES_SWAP_BITS(r, l, 8, 0x00ff00ffu);
    DES_SWAP_BITS(l, r, 1, 0x55555555u);
}

// Final permutation IP^-1 (FIPS 46-3) of the preoutput l r, in place.
static inline void des_fp(uint32_t& l, uint32_t& r) {
    DES_SWAP_BITS(l, r, 1, 0x55555555u);
    DES_SWAP_BITS(r, l, 8, 0x00ff00ffu);
    DES_SWAP_BITS(r, l, 2, 0x33333333u);
    DES_SWAP_BITS(l, r, 16, 0x0000ffffu);
    DES_SWAP_BITS(l, r, 4, 0x0f0f0f0fu);
}

// The cipher function f(R, K) (FIPS 46-3) for a subkey in packed form. R rotated right by 3
// has the E-expansion groups for S1, S3, S5, S7 in the low 6 bits of its bytes (most
// significant first); R rotated left by 1 those for S2, S4, S6, S8. XORed with the matching
// packed subkey word, each byte's low 6 bits index its combined S and P table.
static inline uint32_t des_f(uint32_t r, const uint32_t* k) {
    uint32_t x = rotl32(r, 1);
    uint32_t y = rotr32(x, 4) ^ k[0];
    x ^= k[1];
    return des_sp[6][y & 0x3f] | des_sp[7][x & 0x3f] | des_sp[4][(y >> 8) & 0x3f] |
           des_sp[5][(x >> 8) & 0x3f] | des_sp[2][(y >> 16) & 0x3f] | des_sp[3][(x >> 16) & 0x3f] |
           des_sp[0][(y >> 24) & 0x3f] | des_sp[1][(x >> 24) & 0x3f];
}

// The 16 rounds on L0 R0 in l r; afterwards l r is the preoutput R16 L16. Subkeys are taken
// in order for encryption, in reverse order for decryption (FIPS 46-3, deciphering).
template <bool Decrypt> static inline void des_rounds(Subkeys ks, uint32_t& l, uint32_t& r) {
    for (int i = 0; i < 16; i += 2) {
        l ^= des_f(r, ks[Decrypt ? 15 - i : i]);
        r ^= des_f(l, ks[Decrypt ? 14 - i : i + 1]);
    }
    uint32_t t = l;
    l = r;
    r = t;
}

template <bool Decrypt> static inline void des_block(Subkeys ks, unsigned char* block) {
    uint32_t l = load_be32(block);
    uint32_t r = load_be32(block + 4);
    des_ip(l, r);
    des_rounds<Decrypt>(ks, l, r);
    des_fp(l, r);
    store_be32(block, l);
    store_be32(block + 4, r);
}

// Two independent blocks at once: the same steps as des_block, interleaved so that the table
// lookups of one block overlap those of the other.
template <bool Decrypt>
static inline void des_block_pair(Subkeys ks, unsigned char* a, unsigned char* b) {
    uint32_t la = load_be32(a), ra = load_be32(a + 4);
    uint32_t lb = load_be32(b), rb = load_be32(b + 4);
    des_ip(la, ra);
    des_ip(lb, rb);
    for (int i = 0; i < 16; i += 2) {
        const uint32_t* k1 = ks[Decrypt ? 15 - i : i];
        const uint32_t* k2 = ks[Decrypt ? 14 - i : i + 1];
        la ^= des_f(ra, k1);
        lb ^= des_f(rb, k1);
        ra ^= des_f(la, k2);
        rb ^= des_f(lb, k2);
    }
    des_fp(ra, la);
    des_fp(rb, lb);
    store_be32(a, ra);
    store_be32(a + 4, la);
    store_be32(b, rb);
    store_be32(b + 4, lb);
}

template <bool Decrypt> static void des_ecb_blocks(Subkeys ks, unsigned char* data, long blocks) {
    long i = 0;
    for (; i + 2 <= blocks; i += 2)
        des_block_pair<Decrypt>(ks, data + 8 * i, data + 8 * i + 8);
    if (i < blocks)
        des_block<Decrypt>(ks, data + 8 * i);
}

} // namespace

// Key schedule (FIPS 46-3, Appendix: key schedule calculation). PC-1 loads C and D, each
// right-aligned in a 32-bit word; before each round both rotate left within 28 bits; PC-2
// selects the round's 48 bits, stored as eight 6-bit groups packed into two words.
void des_set_key(const unsigned char* key) {
    if (des_cache.valid) {
        bool same = true;
        for (int i = 0; i < 8; ++i) {
            if ((key[i] & 0xFE) != (des_cache.key[i] & 0xFE))
                same = false;
        }
        if (same)
            return;
    }
    std::memcpy(des_cache.key, key, 8);
    des_cache.valid = true;
    des_cache.builds++;

    uint32_t c = 0, d = 0;
    for (int j = 0; j < 56; ++j) {
        int bit = des_pc1[j] - 1;
        uint32_t v = (key[bit >> 3] >> (7 - (bit & 7))) & 1;
        if (j < 28) {
            c |= v << (27 - j);
        } else {
            d |= v << (55 - j);
        }
    }
    for (int round = 0; round < 16; ++round) {
        int s = des_shifts[round];
        c = ((c << s) | (c >> (28 - s))) & 0x0fffffffu;
        d = ((d << s) | (d >> (28 - s))) & 0x0fffffffu;
        uint32_t words[2] = {0, 0};
        for (int group = 0; group < 8; ++group) {
            uint32_t g = 0;
            for (int j = 0; j < 6; ++j) {
                int src = des_pc2[6 * group + j];
                uint32_t v = src <= 28 ? (c >> (28 - src)) & 1 : (d >> (56 - src)) & 1;
                g = (g << 1) | v;
            }
            // Groups 1, 3, 5, 7 go to word 0 and 2, 4, 6, 8 to word 1, most significant first.
            words[group & 1] |= g << (24 - 8 * (group >> 1));
        }
        des_cache.subkey[round][0] = words[0];
        des_cache.subkey[round][1] = words[1];
    }
}

void des_crypt_block(unsigned char* block, int mode) {
    if (mode & 1) {
        des_block<true>(des_cache.subkey, block);
    } else {
        des_block<false>(des_cache.subkey, block);
    }
}

// ECB (FIPS 81): blocks are independent, so two are transformed together where there are two.
int des_ecb_crypt(const unsigned char* key, unsigned char* data, int length, int mode) {
    des_set_key(key);
    // ceil(length / 8) without overflowing near INT_MAX; nothing for length <= 0.
    long blocks = length > 0 ? (static_cast<long>(length) + 7) / 8 : 0;
    Subkeys ks = des_cache.subkey;
    if (mode & 1) {
        des_ecb_blocks<true>(ks, data, blocks);
    } else {
        des_ecb_blocks<false>(ks, data, blocks);
    }
    return 0;
}

long des_schedule_builds(void) {
    return des_cache.builds;
}

int des_subkey(int round, uint32_t words[2]) {
    if (!des_cache.valid || round < 1 || round > 16)
        return -1;
    words[0] = des_cache.subkey[round - 1][0];
    words[1] = des_cache.subkey[round - 1][1];
    return 0;
}
