// Gzip member header reader (RFC 1952) and the byte operations of the decoding side.
//
// ziplib sits between the payload stream and the inflater: at open it checks the member
// header once, leaving the input at the first byte of the DEFLATE data; afterwards every
// pull runs one inflater step. The member trailer is never read and no checksum is
// computed. Rejections are reported as one "ziplib: " line on standard error. The current
// table, like the inflater behind it, is the calling thread's: each thread decodes its own
// stream.
#pragma once

#include <cstdint>

// The table through which ziplib and the inflater reach the stream, filled by the stream at
// open and kept by ziplib for the life of the stream. Eight words, in this order.
struct StreamOps {
    // Steps the input back one byte; returns the new read position (>= 0), or a negative
    // value when it cannot step back.
    int (*unget_byte)();
    // The next input byte as 0..255, or -1 when the input is exhausted.
    int (*next_byte)();
    // Appends one output byte; the inflater ignores the result.
    int (*put_byte)(int byte);
    // Byte / little-endian 16-bit / 32-bit value at an offset of the current chunk, counted
    // from the read position when from_position is nonzero. Unused by the decoding side.
    int (*peek_u8)(int offset, int from_position);
    int (*peek_u16)(int offset, int from_position);
    int (*peek_u32)(int offset, int from_position);
    int32_t bytes_in;  // input bytes consumed, kept by the stream
    int32_t bytes_out; // output bytes appended, kept by the stream
};

// Makes ops this thread's current table, zeroes its counters and arms the inflater's start
// flag.
void ziplib_attach(StreamOps* ops);

// Reads and checks one gzip member header through next_byte, consuming exactly its bytes.
// Returns 0 when accepted, -1 after one diagnostic line on standard error otherwise
// (bad magic, method other than 8, flags 0x20, 0x02, 0x40 or 0x80, or input ending inside
// the header).
int ziplib_read_header();

// Runs one inflater step (inflate_step) and returns its result: 0 while more blocks follow,
// nonzero once the stream has ended (final block decoded, or a failure).
int ziplib_pull();

// This thread's current table, or nullptr before its first attach.
StreamOps* ziplib_ops();
