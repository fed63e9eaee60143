// Test support for the decoding core: a StreamOps over memory, a DEFLATE bit writer, zlib as
// the reference encoder and decoder, and sample data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "payload/ziplib.h"

namespace decode_test {

using Bytes = std::vector<uint8_t>;

// A StreamOps whose input is a byte vector and whose output is appended to another. One
// instance is current at a time (the operations are plain functions). put_byte calls are
// counted per inflater step so tests can check how output is batched.
class MemoryStream {
  public:
    explicit MemoryStream(Bytes input);
    ~MemoryStream();

    // Makes this stream current and calls ziplib_attach with its table.
    void Attach();

    // Runs ziplib_pull until a nonzero result or max_steps; returns the last result. Records
    // after every step how many bytes had been put so far.
    int PullAll(int max_steps = 1000000);

    StreamOps ops{};
    Bytes input;
    size_t pos = 0;
    // unget_byte refuses to step back to a position below this one (a chunk boundary).
    size_t unget_floor = 0;
    Bytes output;
    std::vector<size_t> output_after_step; // cumulative output after each step
    std::vector<int> results;              // result of each step
    int next_calls_past_end = 0;
};

// Writes a DEFLATE bit stream: fields least significant bit first, Huffman codes most
// significant bit first (RFC 1951 3.1.1).
class BitWriter {
  public:
    void Bits(uint32_t value, unsigned count);
    void Code(uint32_t code, unsigned length);
    // Pads to a byte boundary with zero bits.
    void Align();
    void Byte(uint8_t b);
    Bytes Finish();
    size_t BitCount() const { return m_bytes.size() * 8 - (m_bits ? 8 - m_bits : 0); }

  private:
    Bytes m_bytes;
    unsigned m_bits = 0; // bits used in the last byte (0 = none started)
};

// Canonical codes (RFC 1951 3.2.2) for a list of code lengths; codes[i] is meaningful where
// lengths[i] is nonzero.
std::vector<uint32_t> CanonicalCodes(const std::vector<unsigned>& lengths);

// Writes the fixed-code symbol sym (0..287) of a fixed block.
void FixedLiteral(BitWriter& w, unsigned sym);
// Writes length (3..258) with fixed codes; then distance (1..32768) with fixed codes.
void FixedMatch(BitWriter& w, unsigned length, unsigned distance);

// A dynamic block header written with a complete code-length code: code-length symbols
// 0..12 have length 4, 13..18 length 5. `symbols` are the code-length symbols with their
// extra bits, written as given (so tests can write invalid runs).
struct ClSymbol {
    unsigned sym;
    unsigned extra; // value of the extra bits for 16, 17, 18
};
void DynamicHeader(BitWriter& w, bool final, unsigned hlit, unsigned hdist,
                   const std::vector<ClSymbol>& symbols);
// The same with plain code lengths (one symbol each, no run-length codes).
void DynamicHeaderFromLengths(BitWriter& w, bool final, const std::vector<unsigned>& lit,
                              const std::vector<unsigned>& dist);

// zlib deflate with raw output (window_bits 9..15) or gzip output (window_bits + 16).
// flush_every > 0 issues Z_SYNC_FLUSH after every that many input bytes.
Bytes ZlibDeflate(const Bytes& data, int level, int strategy, int window_bits,
                  size_t flush_every = 0, int mem_level = 8);

// zlib inflate of raw DEFLATE data stopping at every block boundary: the cumulative output
// at the end of each block, and the whole output.
struct ZlibBlocks {
    bool ok = false;
    Bytes output;
    std::vector<size_t> output_after_block;
};
ZlibBlocks ZlibInflateBlocks(const Bytes& raw);

// Sample data: S-record text lines, incompressible bytes, long runs, or a mix.
Bytes SrecText(size_t size, uint32_t seed);
Bytes RandomBytes(size_t size, uint32_t seed);
Bytes Runs(size_t size, uint32_t seed);
Bytes Mixed(size_t size, uint32_t seed);

// A gzip member header with FLG 0 followed by the given DEFLATE data and an 8-byte trailer.
Bytes GzipWrap(const Bytes& raw, const Bytes& original);

std::string Hex(const Bytes& b);

} // namespace decode_test
