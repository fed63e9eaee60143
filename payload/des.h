// DES (FIPS 46-3) in electronic-codebook mode over a buffer, with a key schedule cached per
// thread.
//
// The cache is the calling thread's own, so any number of threads may call the cipher at
// once without a lock (in this program, each update's payload stream on its own thread).
#pragma once

#include <cstdint>

// Mode bit 0: 1 decrypts, 0 encrypts. The other bits are ignored. Named apart from OpenSSL's
// DES_ENCRYPT and DES_DECRYPT, which have the opposite values, so that a file may include both.
enum { VMOD_DES_ENCRYPT = 0, VMOD_DES_DECRYPT = 1 };

// Transforms data[0 .. 8*ceil(length/8)) in place, block by block, under the 8-byte key
// (DES byte order, the low bit of each byte is parity and is ignored). A trailing partial
// block is processed whole: the buffer must have 8*ceil(length/8) writable bytes, and the
// bytes past length up to the next multiple of 8 are overwritten with cipher output.
// length <= 0 processes nothing. Always returns 0.
int des_ecb_crypt(const unsigned char* key, unsigned char* data, int length, int mode);

// Builds this thread's key schedule for key unless its cache already holds a key equal to it
// in the upper 7 bits of every byte.
void des_set_key(const unsigned char* key);

// Transforms one 8-byte block in place with this thread's cached schedule; des_set_key must
// have run on the thread.
void des_crypt_block(unsigned char* block, int mode);

// Inspection of this thread's cache, for tests and diagnostics.
// The number of times a schedule has been built on this thread.
long des_schedule_builds(void);
// Subkey of round 1..16 in its packed form: words[0] holds the 6-bit groups for S1, S3, S5,
// S7 (one per byte, most significant byte first), words[1] those for S2, S4, S6, S8.
// Returns 0, or -1 when no schedule has been built or round is out of range.
int des_subkey(int round, uint32_t words[2]);
