// Reads over compiled resource bytes (.res entries, dialog templates, icon groups, bitmaps):
// little-endian numbers and the element rule they share. No Qt, no POSIX.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/types.h"

// A name, type, class or caption element: a number (0xFFFF and a 16-bit number), or a text
// (empty for the lone 0). Numbers of names and types are 1..65535, so number != 0 also tells
// a named resource from a numbered one.
struct ResName {
    bool isNumber = false;
    WORD number = 0; // 0 for a text
    std::wstring text;
};

// Little-endian reads that fail instead of passing the end: once a read would pass it, ok is
// false and every later read fails too, so a parser can check once per step. Failed reads give 0.
struct ResReader {
    const BYTE* data;
    size_t size;
    size_t pos = 0;
    bool ok = true;

    bool Need(size_t n) {
        if (ok && (n > size || pos > size - n))
            ok = false;
        return ok;
    }
    WORD Word() {
        if (!Need(2))
            return 0;
        WORD v = static_cast<WORD>(data[pos] | (data[pos + 1] << 8));
        pos += 2;
        return v;
    }
    DWORD Dword() {
        DWORD lo = Word();
        DWORD hi = Word();
        return lo | (hi << 16);
    }
    void Skip(size_t n) {
        if (Need(n))
            pos += n;
    }
    void Align4() {
        size_t aligned = (pos + 3) & ~static_cast<size_t>(3);
        if (aligned > size)
            ok = false;
        else
            pos = aligned;
    }
    // The element rule: 0xFFFF and a 16-bit number (4 bytes), a lone 0 (2 bytes), or UTF-16
    // text with its terminating 0. A surrogate pair is one character of the wide text; a lone
    // surrogate is kept as it is.
    ResName Element() {
        ResName e;
        WORD first = Word();
        if (!ok)
            return e;
        if (first == 0xFFFF) {
            e.isNumber = true;
            e.number = Word();
            return e;
        }
        for (WORD unit = first; ok && unit != 0; unit = Word()) {
            uint32_t c = unit;
            if (c >= 0xD800 && c < 0xDC00 && pos + 2 <= size) {
                WORD low = static_cast<WORD>(data[pos] | (data[pos + 1] << 8));
                if (low >= 0xDC00 && low < 0xE000) {
                    pos += 2;
                    c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                }
            }
            e.text += static_cast<wchar_t>(c);
        }
        return e;
    }
};
