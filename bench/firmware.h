// Test material of vmod-bench, made in-process: firmware images, their S-record text, gzip
// members and encrypted payload images.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A deterministic firmware image of `size` bytes that compresses like machine code: 32-bit
// words mostly drawn from a small vocabulary, some with a varying low byte, some random, and
// an erased (0xFF) tail of about a sixteenth of the image.
std::vector<unsigned char> make_firmware(size_t size, uint32_t seed);

// Appends the S-record text of the bytes as S3 records of 32 data bytes, addresses from
// `address`, each line ending in CR LF. Optionally begins with an S0 header and ends with
// an S7 record.
void append_srecords(std::string& text, const unsigned char* data, size_t size, uint32_t address,
                     bool header, bool trailer);

// The whole S-record text of a firmware image: S0 header, S3 data records, S7 end record.
std::string make_srecord_text(const std::vector<unsigned char>& firmware, uint32_t address);

// One gzip member of `text` made by zlib at `level` (9 as gzip -9), with a file name field
// as gzip writes one.
std::vector<unsigned char> gzip_member(const std::string& text, int level);

// A payload image of about `target` bytes: S-record text of generated firmware, compressed
// by zlib at `level` as one gzip member, zero-padded to a multiple of 8 bytes and encrypted
// with our cipher under the payload key. The text is produced and compressed piece by piece,
// so the uncompressed text is never held whole. *text_bytes receives its length.
std::vector<unsigned char> make_payload_image(size_t target, int level, size_t* text_bytes);

// Length of the member header at the start of a gzip member (RFC 1952 2.3), up to the first
// byte of its DEFLATE data.
size_t gzip_header_length(const std::vector<unsigned char>& member);

// Encrypts a gzip member in place as a payload image (zero padding to 8 bytes, DES-ECB under
// the payload key).
void seal_payload(std::vector<unsigned char>& member);

// The payload key: the key text "rtog5u3" and a zero byte.
extern const unsigned char kPayloadKey[8];
