#include "package/srec.h"

#include <cstdio>

int SrecAddressBytes(int type) {
    // Indexed by the record type digit: address field width in bytes; 0 for S4 (none).
    static const int kAddressBytes[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
    return type >= 0 && type <= 9 ? kAddressBytes[type] : 0;
}

namespace {

// Indexed by a character's code: its value as a hex digit (either case), or -1.
struct HexTable {
    signed char value[256];
    constexpr HexTable() : value() {
        for (int c = 0; c < 256; ++c) {
            value[c] = c >= '0' && c <= '9'   ? static_cast<signed char>(c - '0')
                       : c >= 'A' && c <= 'F' ? static_cast<signed char>(c - 'A' + 10)
                       : c >= 'a' && c <= 'f' ? static_cast<signed char>(c - 'a' + 10)
                                              : static_cast<signed char>(-1);
        }
    }
};
constexpr HexTable kHex;

inline int HexValue(char c) {
    return kHex.value[static_cast<unsigned char>(c)];
}

// The record's byte i, from its two hex digits (already checked).
inline unsigned ByteAt(std::string_view digits, size_t i) {
    return static_cast<unsigned>(HexValue(digits[2 * i]) * 16 + HexValue(digits[2 * i + 1]));
}

std::string Printf(const char* format, unsigned a, unsigned b = 0) {
    char text[128];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

} // namespace

std::string ParseSrec(std::string_view text, SrecRecord* out) {
    if (text.empty()) {
        return "empty line";
    }
    if (text[0] != 'S') {
        return "not an S-record (does not begin with \"S\")";
    }
    if (text.size() < 2 || text[1] < '0' || text[1] > '9') {
        return "no record type digit after \"S\"";
    }
    const int type = text[1] - '0';
    const int addressBytes = SrecAddressBytes(type);
    if (addressBytes == 0) {
        return Printf("unknown record type S%u", static_cast<unsigned>(type));
    }
    const std::string_view digits = text.substr(2);
    for (size_t i = 0; i < digits.size(); ++i) {
        if (HexValue(digits[i]) < 0) {
            return Printf("not a hex digit at column %u", static_cast<unsigned>(i + 3));
        }
    }
    if (digits.size() % 2 != 0) {
        return "odd number of hex digits";
    }
    // The bytes are read from the digits where they stand: nothing is allocated for them.
    const size_t byteCount = digits.size() / 2;
    if (byteCount == 0) {
        return "no count byte";
    }
    const unsigned count = ByteAt(digits, 0);
    if (count != byteCount - 1) {
        return Printf("count says %u bytes follow, %u do", count,
                      static_cast<unsigned>(byteCount - 1));
    }
    if (count < static_cast<unsigned>(addressBytes) + 1) {
        return Printf("count %u too small for an S%u record", count, static_cast<unsigned>(type));
    }
    unsigned sum = 0;
    for (size_t i = 0; i + 1 < byteCount; ++i) {
        sum += ByteAt(digits, i);
    }
    const unsigned expected = ~sum & 0xFFu;
    const unsigned checksum = ByteAt(digits, byteCount - 1);
    if (checksum != expected) {
        return Printf("checksum 0x%02X, the record needs 0x%02X", checksum, expected);
    }
    uint32_t address = 0;
    for (int i = 0; i < addressBytes; ++i) {
        address = (address << 8) | ByteAt(digits, 1 + static_cast<size_t>(i));
    }
    const size_t dataLength = count - addressBytes - 1;
    if (!SrecIsData(type) && type != 0 && dataLength != 0) {
        return Printf("S%u record carries %u data bytes", static_cast<unsigned>(type),
                      static_cast<unsigned>(dataLength));
    }
    if (SrecIsData(type) && uint64_t{address} + dataLength > (uint64_t{1} << (8 * addressBytes))) {
        return Printf("S%u record at 0x%X runs past the end of its address space",
                      static_cast<unsigned>(type), address);
    }
    if (out) {
        out->type = type;
        out->address = address;
        out->data.resize(dataLength);
        for (size_t i = 0; i < dataLength; ++i) {
            out->data[i] = static_cast<uint8_t>(ByteAt(digits, 1 + addressBytes + i));
        }
    }
    return "";
}
