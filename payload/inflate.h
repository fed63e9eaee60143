// DEFLATE decoder (RFC 1951), one block per step.
//
// The inflater reads its input byte by byte through next_byte of the table that
// ziplib_attach installed (payload/ziplib.h), keeps the last 32768 output bytes in a window
// for back-references, and hands output to put_byte in batches: exactly 32768 bytes whenever
// the window fills, and once more for the remainder when the final block ends. Its state
// (window, bit reader, current table) is the calling thread's: one stream at a time per
// thread, and threads inflate their own streams at once.
#pragma once

#include <cstddef>
#include <cstdint>

// Results of inflate_step and of the decode_* functions.
constexpr int INFLATE_MORE = 0;      // a non-final block was decoded
constexpr int INFLATE_END = 1;       // final block decoded (remainder delivered), or a data error
constexpr int INFLATE_BAD_CODE = 2;  // block type 3, or an over-subscribed set of code lengths
constexpr int INFLATE_NO_MEMORY = 3; // a lookup table could not be allocated
constexpr int INFLATE_UNGET = 4;     // unget_byte refused a look-ahead byte after the final block

// Size of the output window, and so of every full batch handed to put_byte.
constexpr unsigned INFLATE_WINDOW_SIZE = 32768;

// One entry of a Huffman lookup table.
//   op 0..13: a length or distance symbol with that many extra bits, value = its base
//   op 15:    end of block
//   op 16:    a literal byte or a code-length symbol, value = the symbol
//   op 17..32: a link; next = a sub-table indexed by (op - 16) further bits
//   op 99:    no code leads here (unused slot or reserved symbol)
// bits is the number of code bits the entry consumes at its own table level.
struct CodeEntry {
    uint8_t op;
    uint8_t bits;
    union {
        uint16_t value;
        CodeEntry* next;
    };
};

// Decodes one block. A nonzero start begins a new stream: the window position and the bit
// buffer are reset, the window's contents are not. Returns INFLATE_MORE after a non-final
// block (zero or more full batches went to put_byte), INFLATE_END after the final block (the
// whole bytes read ahead were handed back through unget_byte and the window's remainder went
// to put_byte), or a failure: INFLATE_END for a data error (including input that ends inside
// the DEFLATE data), INFLATE_BAD_CODE, INFLATE_NO_MEMORY or INFLATE_UNGET. After a failure
// the window's remainder is not delivered and the stream must not be stepped again.
int inflate_step(int start);

// Whether the last inflate_step ended its stream the good way: 1 when it returned INFLATE_END
// after decoding the final block (BFINAL set, RFC 1951 3.2.3) and delivering the window's
// remainder; 0 after INFLATE_MORE and after every failure, the data errors that share
// INFLATE_END among them, and before the first step.
int inflate_final_block_done();

// Reads one block header (RFC 1951 3.2.3) and decodes the block; *last receives BFINAL.
int decode_block(int* last);

// One block of type 0 (stored, RFC 1951 3.2.4), 1 (fixed codes, 3.2.6), 2 (dynamic, 3.2.7).
int decode_stored();
int decode_fixed();
int decode_dynamic();

// Decodes literal/length and distance symbols (RFC 1951 3.2.5) until end of block.
// tl/td are the tables, bl/bd their first-level widths. Returns 0 at the end-of-block symbol
// and 1 at an invalid code, at a lookup in an absent (nullptr) table, or when the input ends.
int decode_symbols(const CodeEntry* tl, const CodeEntry* td, int bl, int bd);

// Builds the lookup table of a canonical Huffman code (RFC 1951 3.2.2).
//   lengths[0..n-1]: code length per symbol (0 = unused, at most 16), n at most 288
//   s: symbols below s are simple (stored as themselves); symbol k >= s takes
//      bases[k - s] as value and extras[k - s] as op
//   *table: receives the table (nullptr when every length is 0)
//   *width: the asked first-level width on entry, the width used on return
// Returns 0 for a complete code (also for a single code of length 1 and for no code at all),
// 1 for an incomplete one (the table is built and the caller releases it), 2 for an
// over-subscribed one and 3 when memory ran out (no table left allocated in either case).
// Every table level of width w is one allocation of 2^w + 1 entries whose first entry is a
// header linking to the next allocation of the same code.
int build_code_table(const unsigned* lengths, unsigned n, unsigned s, const uint16_t* bases,
                     const uint8_t* extras, CodeEntry** table, int* width);

// Releases every allocation behind a table from build_code_table; nullptr is accepted.
void free_code_table(CodeEntry* table);

// Hands window bytes 0 to n - 1 to put_byte, in order.
void flush_window(unsigned n);

// Test seam: the allocator behind lookup tables. nullptr for either restores malloc/free.
// Process-wide, unlike the inflater's state: set it before the decoding it is meant for.
void inflate_set_table_allocator(void* (*alloc)(size_t), void (*release)(void*));
