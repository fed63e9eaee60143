// S-records as the module takes them, judged alike wherever a record is checked: by the
// download before it sends a package, by vmod-pack before it seals one, and by the stand-in
// module as it programs one.
//
// The module takes Motorola S-record text: "S", a type digit, then hex pairs: the count
// (bytes that follow), the address (2 bytes for S0/S1/S5/S9, 3 for S2/S6/S8, 4 for S3/S7),
// the data and a checksum, the ones' complement of the low byte of the sum of count,
// address and data. S1/S2/S3 carry data, S5/S6 the number of data records so far, S7/S8/S9
// the start address and end the image; S0 is a header and S4 does not exist.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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
// running past the end of its address space. out (may be nullptr) receives a sound record;
// a record object used again keeps its data's capacity, so checking record after record
// allocates nothing once the longest has been seen.
std::string ParseSrec(std::string_view text, SrecRecord* out);
