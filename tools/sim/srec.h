// The sparse memory image S-records program, as the stand-in module sees it, and S-record
// files read into one and written from one. The records themselves are package/srec.h's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "package/srec.h"

namespace vmod_sim {

// Bytes at 32-bit addresses, as a flash holds them after programming. Runs of written
// bytes are kept merged, so two images holding the same bytes have the same segments.
class SparseImage {
  public:
    // Stores count bytes at address (the caller keeps address + count within 2^32).
    void Write(uint32_t address, const uint8_t* data, size_t count);
    // True when any byte of [address, address + count) has been written before.
    bool Overlaps(uint32_t address, size_t count) const;
    void Clear();

    bool Empty() const { return m_segments.empty(); }
    // Number of written bytes.
    size_t Size() const;
    // Lowest written address; 0 when empty.
    uint32_t Low() const;
    // One past the highest written address; 0 when empty.
    uint64_t High() const;
    // The bytes from Low() to High(), addresses never written holding fill.
    std::vector<uint8_t> ToBinary(uint8_t fill = 0xFF) const;
    // Maximal runs of written bytes by start address.
    const std::map<uint32_t, std::vector<uint8_t>>& Segments() const { return m_segments; }

    // The start address of the termination record, when one was taken.
    std::optional<uint32_t> startAddress;

  private:
    std::map<uint32_t, std::vector<uint8_t>> m_segments;
};

// Reads an S-record file (lines ending LF or CR LF, blank lines skipped) into image:
// data records programmed, the termination record's address as the start address. False
// with a description ("FILE:LINE: fault") on the first bad record or unreadable file.
bool LoadSrecFile(const std::string& path, SparseImage* image, std::string* error);

// The image as S-record text: an S0 header, data records of at most 32 bytes using the
// narrowest address type that holds the highest address, the matching termination record
// (start address, or 0). Lines end in LF.
std::string ImageToSrec(const SparseImage& image, std::string_view header);

struct Verdict {
    bool equal = false;
    std::string text; // one line: "programmed image equals NAME (...)" or what differs
};

// Compares a programmed image with the expected one: equal when the same addresses hold
// the same bytes and, where both have one, the start addresses agree. The text names the
// first difference.
Verdict CompareImages(const SparseImage& programmed, const SparseImage& expected,
                      std::string_view expectedName);

// "0x0000ABCD".
std::string Hex32(uint32_t value);

} // namespace vmod_sim
