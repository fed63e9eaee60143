// Gzip member header reader: RFC 1952 section 2.3, minus the parts the payloads never use.
#include "payload/ziplib.h"

#include <cstdio>

#include "payload/inflate.h"

namespace {

// Member header flag bits (RFC 1952 2.3.1).
constexpr int kFlagMultiPart = 0x02; // FHCRC in RFC 1952; refused as a multi-part archive
constexpr int kFlagExtra = 0x04;     // FEXTRA: XLEN and XLEN bytes follow
constexpr int kFlagName = 0x08;      // FNAME: zero-terminated file name follows
constexpr int kFlagComment = 0x10;   // FCOMMENT: zero-terminated comment follows
constexpr int kFlagEncrypted = 0x20; // reserved; refused as an encrypted archive
constexpr int kFlagReserved = 0xC0;  // reserved; refused

// The calling thread's reader: each thread attaches its own stream's table.
thread_local StreamOps* g_ops;
// 8 after attach, -1 while a header is read, then the method byte, at the end the result.
thread_local int g_method;
// The inflater's start flag: 1 after attach, then the result of the last step.
thread_local int g_start;

// A byte as the diagnostics print it: a signed char widened to int (0x8B prints as
// 0xffffff8b, the end-of-input value -1 as 0xffffffff).
unsigned as_signed_char(int value) {
    return static_cast<unsigned>(static_cast<int>(static_cast<signed char>(value & 0xFF)));
}

int header_fails(const char* message) {
    std::fputs(message, stderr);
    g_method = -1;
    return -1;
}

int truncated() {
    return header_fails("ziplib: unexpected end of ZIP header\n");
}

// Skips a zero-terminated field; false when the input ends first.
bool skip_zero_terminated(int (*next)()) {
    for (;;) {
        int c = next();
        if (c == 0) {
            return true;
        }
        if (c < 0) {
            return false;
        }
    }
}

} // namespace

void ziplib_attach(StreamOps* ops) {
    g_ops = ops;
    ops->bytes_in = 0;
    ops->bytes_out = 0;
    g_start = 1;
    g_method = 8;
}

StreamOps* ziplib_ops() {
    return g_ops;
}

// Expects: ziplib_attach made a table current and its input is at the member's first byte.
// Checks, in this order, ID1 ID2 (0x1F 0x8B, or 0x1F 0x9E alike), CM = 8 and the flag byte,
// then skips MTIME, XFL, OS and the optional extra field, file name and comment. Leaves the
// input at the first byte of the DEFLATE data. A header CRC is never present: FLG 0x02 is
// refused. The end of the input anywhere in the header fails the read.
int ziplib_read_header() {
    if (g_ops == nullptr) {
        return -1;
    }
    int (*next)() = g_ops->next_byte;
    g_method = -1;

    int id1 = next();
    int id2 = next();
    if (id1 != 0x1F || (id2 != 0x8B && id2 != 0x9E)) {
        std::fprintf(stderr, "ziplib: unsupport file format MAGIC: %#x:%#x\n", as_signed_char(id1),
                     as_signed_char(id2));
        g_method = -1;
        return -1;
    }

    g_method = next();
    if (g_method != 8) {
        std::fprintf(stderr, "ziplib: unsupport method %d\n", g_method);
        g_method = -1;
        return -1;
    }

    int flags = next();
    if (flags < 0) {
        return truncated();
    }
    if (flags & kFlagEncrypted) {
        return header_fails("ziplib: encrypted ZIP is not supported.\n");
    }
    if (flags & kFlagMultiPart) {
        return header_fails("ziplib: multi-part ZIP is not supported.\n");
    }
    if (flags & kFlagReserved) {
        std::fprintf(stderr, "ziplib: unsupported flags %#x\n", static_cast<unsigned>(flags));
        g_method = -1;
        return -1;
    }

    // MTIME (4 bytes), XFL, OS: read and not used.
    for (int i = 0; i < 6; i++) {
        if (next() < 0) {
            return truncated();
        }
    }

    if (flags & kFlagExtra) {
        int lo = next();
        int hi = next();
        if (lo < 0 || hi < 0) {
            return truncated();
        }
        for (int left = lo | (hi << 8); left > 0; left--) {
            if (next() < 0) {
                return truncated();
            }
        }
    }
    if ((flags & kFlagName) && !skip_zero_terminated(next)) {
        return truncated();
    }
    if ((flags & kFlagComment) && !skip_zero_terminated(next)) {
        return truncated();
    }

    g_method = 0;
    return 0;
}

// Every nonzero step result ends the stream; a pull after it would restart the inflater at
// the current input position, so the payload stream makes none.
int ziplib_pull() {
    if (g_ops == nullptr) {
        return INFLATE_END;
    }
    g_start = inflate_step(g_start);
    return g_start;
}
