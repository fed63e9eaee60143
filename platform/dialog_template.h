// The standard (not extended) dialog template, read once for everyone who needs one: the dialog
// host creates a dialog from its template, the layout re-flow moves a dialog's controls to the
// places another template gives them. No Qt, no POSIX.
//
// Header: style, extended style, control count, x, y, width, height; menu, class and caption
// elements (the element rule is in res_reader.h); with DS_SETFONT the point size and the face
// name. Each item then starts on a 4-byte boundary: style, extended style, x, y, width, height,
// id, class and caption elements, and a 16-bit creation-data length that counts its own two
// bytes when it is not 0 (so 1 cannot be), followed by the creation data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/res_reader.h"
#include "platform/types.h"

// One control item. Positions and sizes are in dialog units.
struct DialogItem {
    DWORD style = 0;
    DWORD exStyle = 0;
    int16_t x = 0, y = 0, cx = 0, cy = 0;
    WORD id = 0;         // 0xFFFF: the control has no id
    ResName windowClass; // number 0x80..0x85 for the predefined classes, else the class name
    ResName title;       // text, or a resource number (icons, bitmaps)
};

struct DialogTemplate {
    DWORD style = 0;
    DWORD exStyle = 0;
    int16_t x = 0, y = 0, cx = 0, cy = 0;
    ResName menu;
    ResName windowClass;
    std::wstring caption;
    bool hasFont = false;
    WORD pointSize = 0;
    std::wstring faceName;
    std::vector<DialogItem> items; // in the template's order, which is the order of creation
};

// Reads the size bytes at data (nothing beyond them) as a standard dialog template; creation
// data is stepped over. True when the template was read whole. False for the extended format, a
// malformed template or one that ends early; *out then holds the items read whole before the
// fault, in order (none when the header is at fault), so that a caller that applies a template
// item by item can apply those and no more.
bool ParseDialogTemplate(const BYTE* data, size_t size, DialogTemplate* out);
