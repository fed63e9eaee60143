// S-records and the sparse memory image they program, as the stand-in module sees them.
//
// The module takes Motorola S-record text: "S", a type digit, then hex pairs: the count
// (bytes that follow), the address (2 bytes for S0/S1/S5/S9, 3 for S2/S6/S8, 4 for S3/S7),
// the data and a checksum, the ones' complement of the low byte of the sum of count,
// address and data. S1/S2/S3 carry data, S5/S6 the number of data records so far, S7/S8/S9
// the start address and end the image; S0 is a header and S4 does not exist.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

struct SrecRecord {
    int type = 0;         // the digit after "S"
    uint32_t address = 0; // address field (for S5/S6 the record count)
    std::vector<uint8_t> data;
};

// Bytes of the address field of a record type; 0 for a type that does not exist.
int SrecAddressBytes(int type);
inline bool SrecIsData(int type) {
    return type >= 1 && type <= 3;
}
inline bool SrecIsTermination(int type) {
    return type >= 7 && type <= 9;
}

// Checks and decodes one record's text (without its line end). Returns "" when the record
// is sound, else a one-line description of the first fault found: not an S-record, an
// unknown type, a bad hex digit, an odd digit count, a count that disagrees with the bytes
// that follow, a wrong checksum, data in a count or termination record, or a record
// running past the end of its address space.
std::string ParseSrec(std::string_view text, SrecRecord* out);

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
