// The firmware package: the four files of the tool's install folder, loaded once at start-up
// and kept for the life of the process.
//
// Files (device paths, mapped to the host through the device root):
//   \Program Files\V-MOD VersionUp Tool\kv615mq.data    main payload, read whole
//   \Program Files\V-MOD VersionUp Tool\kv615mqb.data   boot-block payload, read whole
//   \Program Files\V-MOD VersionUp Tool\kv615mq.bin     main header
//   \Program Files\V-MOD VersionUp Tool\kv615mqb.bin    boot-block header
// A header is 8 bytes of line count (ASCII decimal) and 12 bytes of version number (ANSI text
// of a decimal whose hexadecimal digit pairs are the character codes to show); bytes after 20
// are not read.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/cstring.h"

struct FirmwarePackage {
    std::unique_ptr<uint8_t[]> mainImage; // the whole main payload file
    uint32_t mainImageSize = 0;           // its length in bytes
    std::unique_ptr<uint8_t[]> bootImage; // the whole boot-block payload file
    uint32_t bootImageSize = 0;           // its length in bytes
    int32_t mainLineCount = 0;            // line count of the main header
    int32_t bootLineCount = 0;            // line count of the boot-block header
    CString mainVersionText;              // display text of the main header's version
    CString bootVersionText;              // display text of the boot-block header's version
};

// The one package of the process; empty until LoadPackage, never released. Read-only once
// loaded: updates on several threads read it at once, each from its own positions (the chunk
// sources' read offsets are per thread, payload_read_offsets in payload/payload_stream.h).
extern FirmwarePackage g_firmwarePackage;

// Reads the four files, in the order main payload, boot-block payload, main header,
// boot-block header. Returns false at the first file that cannot be opened or read whole;
// what was loaded before stays in place. Never shows a message.
bool LoadPackage();
// The same from a folder of the host (its path as it is, not through the device root). On
// failure *failed (when given) is the path of the first file that could not be read whole.
bool LoadPackageFrom(const std::wstring& folder, std::wstring* failed);

// The display text of a version field's text: the field parsed as a signed 32-bit decimal
// (leading white space, optional sign, digits; none gives 0; beyond the 32-bit range clamps
// to its nearest end), written as "%x" writes it, cut into two-digit groups from the left (an
// odd last group has one digit), each group one UTF-16 code unit.
CString FormatVersionText(const CString& text);

// The line count of an 8-byte count field: leading white space, optional sign, then digits up
// to the first other byte or the end of the field; no digits gives 0.
int32_t ParseLineCountField(const uint8_t field[8]);
