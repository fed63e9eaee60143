// DEFLATE decoder: RFC 1951, table-driven, one block per step, output through put_byte.
#include "payload/inflate.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "payload/ziplib.h"

namespace {

constexpr unsigned kMaxCodeBits = 16; // longest code length build_code_table accepts
constexpr uint8_t kOpLiteral = 16;
constexpr uint8_t kOpEndOfBlock = 15;
constexpr uint8_t kOpInvalid = 99;

// mask[n] = 2^n - 1: the low n bits of the bit buffer, n = 0 to 16.
const uint32_t kMask[kMaxCodeBits + 1] = {
    0x0000, 0x0001, 0x0003, 0x0007, 0x000f, 0x001f, 0x003f, 0x007f, 0x00ff,
    0x01ff, 0x03ff, 0x07ff, 0x0fff, 0x1fff, 0x3fff, 0x7fff, 0xffff,
};

// Base length per literal/length symbol 257 + i (RFC 1951 3.2.5); 286 and 287 have none.
const uint16_t kLengthBase[31] = {
    3,  4,  5,  6,  7,  8,  9,  10,  11,  13,  15,  17,  19,  23, 27, 31,
    35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258, 0,  0,
};

// Extra bits per literal/length symbol 257 + i (RFC 1951 3.2.5); 99 marks the reserved
// symbols 286 and 287, which only a fixed block's code can reach.
const uint8_t kLengthExtra[31] = {
    0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0, 99, 99,
};

// Base distance per distance symbol 0 to 29 (RFC 1951 3.2.5).
const uint16_t kDistBase[30] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577,
};

// Extra bits per distance symbol 0 to 29 (RFC 1951 3.2.5).
const uint8_t kDistExtra[30] = {
    0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13,
};

// Order in which the code-length code's lengths are stored (RFC 1951 3.2.7).
const uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                      11, 4,  12, 3, 13, 2, 14, 1, 15};

// The bit reader. Bits are taken from the least significant end. Input is fetched a byte
// at a time and only when a read needs more bits, so at most the bytes of the code being
// decoded are read ahead.
//
// The end of the input, in one rule: once next_byte has reported the end it is not asked
// again, and every later fetch adds a zero byte, counted in Inflater::phantom. Phantom bits
// always sit above the real ones, so a decoder that has dropped bits reaching into them
// (overrun) has read past the end of the DEFLATE data; and they are never handed back to the
// stream.
struct BitReader {
    uint64_t buf;
    unsigned count; // valid bits in buf, phantom ones included
};

// Everything the inflater keeps between steps. Each thread has its own: each thread inflates
// its own stream.
struct Inflater {
    // Output history: the last 32768 bytes at their position modulo 32768. Zero when the
    // thread starts and never cleared, so a new stream starts over the previous stream's bytes
    // on the same thread.
    unsigned char window[INFLATE_WINDOW_SIZE];
    unsigned window_pos; // next write position, 0 to 32768
    BitReader in;
    // 1 once the current step has decoded the final block and delivered the window; the step
    // returns INFLATE_END for a data error too, and this tells the two apart.
    int final_block_done;
    unsigned phantom; // bits fetched past the end of the input; 0 while it has not ended
    StreamOps* ops;
    // Where the reader's bytes come from: the stream's next_byte until it reports the end,
    // then phantom_byte.
    int (*fetch)();
};

constinit thread_local Inflater t_inflater_storage{};
constinit thread_local Inflater* t_inflater = nullptr;

[[gnu::noinline, gnu::cold]] Inflater& first_use_of_thread_inflater() {
    t_inflater = &t_inflater_storage;
    return *t_inflater;
}

// This thread's inflater, taken once at the top of every function that uses it and handed
// down to the helpers. Reached through a pointer, as the payload stream reaches its own, so
// that the window and the fields are plain memory off a register rather than accesses
// relative to the thread segment in the byte loops.
[[gnu::always_inline]] inline Inflater& this_thread_inflater() {
    Inflater* z = t_inflater;
    return z != nullptr ? *z : first_use_of_thread_inflater();
}

// The table allocator is process-wide on purpose: it is a test seam
// (inflate_set_table_allocator), set before the code under test runs.
void* (*g_alloc)(size_t) = std::malloc;
void (*g_release)(void*) = std::free;

// The fetch after the input has ended: a zero byte, counted.
int phantom_byte() {
    this_thread_inflater().phantom += 8;
    return 0;
}

// The stream has just reported the end: the first phantom byte, and phantom_byte from now on.
[[gnu::noinline, gnu::cold]] unsigned input_ended(Inflater& z) {
    z.fetch = phantom_byte;
    z.phantom += 8;
    return 0;
}

// The next input byte, or a phantom zero once the input has ended.
[[gnu::always_inline]] inline unsigned fetch_byte(Inflater& z) {
    const int c = z.fetch();
    if (c < 0) [[unlikely]] {
        return input_ended(z);
    }
    return static_cast<unsigned>(c) & 0xFF;
}

// Makes at least n (<= 32) bits available in r.
[[gnu::always_inline]] inline void need_bits(Inflater& z, BitReader& r, unsigned n) {
    while (r.count < n) {
        r.buf |= static_cast<uint64_t>(fetch_byte(z)) << r.count;
        r.count += 8;
    }
}

inline unsigned peek_bits(const BitReader& r, unsigned n) {
    return static_cast<unsigned>(r.buf) & kMask[n];
}

inline void drop_bits(BitReader& r, unsigned n) {
    r.buf >>= n;
    r.count -= n;
}

// True once a drop has consumed bits past the end of the input.
inline bool overrun(const Inflater& z, const BitReader& r) {
    return r.count < z.phantom;
}

// Gets and drops n bits.
inline unsigned take_bits(Inflater& z, BitReader& r, unsigned n) {
    need_bits(z, r, n);
    unsigned v = peek_bits(r, n);
    drop_bits(r, n);
    return v;
}

// Hands window bytes 0 to n - 1 to put_byte, in order (flush_window).
void flush(const Inflater& z, unsigned n) {
    int (*put)(int) = z.ops->put_byte;
    const unsigned char* p = z.window;
    const unsigned char* end = z.window + n;
    for (; end - p >= 4; p += 4) {
        put(p[0]);
        put(p[1]);
        put(p[2]);
        put(p[3]);
    }
    for (; p < end; p++) {
        put(*p);
    }
}

// Stores one output byte at window_pos, delivering the window when it fills.
[[gnu::always_inline]] inline unsigned window_put(Inflater& z, unsigned pos, unsigned char byte) {
    z.window[pos++] = byte;
    if (pos == INFLATE_WINDOW_SIZE) {
        flush(z, INFLATE_WINDOW_SIZE);
        pos = 0;
    }
    return pos;
}

// Copies n bytes from s to d as a front-to-back byte copy would, gap being how far apart the
// two are. Where they are 8 or more apart every 8-byte piece reads bytes that are final: behind
// the destination they were written by earlier pieces, ahead of it they are not yet
// overwritten; the last piece may overlap the one before and rewrites the same values. Nothing
// past d + n is touched, so the window's older history stays intact. Closer than that, the
// bytes go one at a time (a distance of 1 repeats one byte).
[[gnu::always_inline]] inline void copy_forward(unsigned char* d, const unsigned char* s,
                                                unsigned n, unsigned gap) {
    if (gap >= 8) {
        if (n >= 8) {
            for (unsigned i = 0; i + 8 <= n; i += 8) {
                std::memcpy(d + i, s + i, 8);
            }
            std::memcpy(d + n - 8, s + n - 8, 8);
        } else if (n >= 4) {
            std::memcpy(d, s, 4);
            std::memcpy(d + n - 4, s + n - 4, 4);
        } else {
            for (unsigned i = 0; i < n; i++) {
                d[i] = s[i];
            }
        }
    } else if (s + 1 == d) {
        std::memset(d, s[0], n);
    } else {
        for (unsigned i = 0; i < n; i++) {
            d[i] = s[i];
        }
    }
}

// Copies length bytes from distance back (RFC 1951 3.2.3: an overlapping source repeats the
// bytes just written). Works in pieces that end where the source or the destination reaches
// the window's end; the full window is delivered between pieces. Most matches are one piece.
[[gnu::always_inline]] inline unsigned window_copy(Inflater& z, unsigned pos, unsigned distance,
                                                   unsigned length) {
    unsigned src = (pos - distance) & (INFLATE_WINDOW_SIZE - 1);
    while (length > 0) {
        unsigned n = length;
        if (n > INFLATE_WINDOW_SIZE - src) {
            n = INFLATE_WINDOW_SIZE - src;
        }
        if (n > INFLATE_WINDOW_SIZE - pos) {
            n = INFLATE_WINDOW_SIZE - pos;
        }
        copy_forward(z.window + pos, z.window + src, n, src < pos ? pos - src : src - pos);
        length -= n;
        src = (src + n) & (INFLATE_WINDOW_SIZE - 1);
        pos += n;
        if (pos == INFLATE_WINDOW_SIZE) {
            flush(z, INFLATE_WINDOW_SIZE);
            pos = 0;
        }
    }
    return pos;
}

// Looks up the next symbol in table t of first-level width w, following links to
// sub-tables. Returns the entry (its bits not yet dropped), or nullptr at an unused slot.
[[gnu::always_inline]] inline const CodeEntry* lookup(Inflater& z, BitReader& r, const CodeEntry* t,
                                                      unsigned mask) {
    t += static_cast<unsigned>(r.buf) & mask;
    while (t->op > kOpLiteral) {
        if (t->op == kOpInvalid) {
            return nullptr;
        }
        drop_bits(r, t->bits);
        unsigned sub = t->op - kOpLiteral;
        need_bits(z, r, sub);
        t = t->next + peek_bits(r, sub);
    }
    return t;
}

CodeEntry* alloc_level(unsigned width) {
    size_t n = (size_t{1} << width) + 1;
    auto* block = static_cast<CodeEntry*>(g_alloc(n * sizeof(CodeEntry)));
    if (block == nullptr) {
        return nullptr;
    }
    std::memset(block, 0, n * sizeof(CodeEntry));
    block[0].next = nullptr;
    for (size_t i = 1; i < n; i++) {
        block[i].op = kOpInvalid;
    }
    return block;
}

void free_chain(CodeEntry* header) {
    while (header != nullptr) {
        CodeEntry* next = header->next;
        g_release(header);
        header = next;
    }
}

// The low len bits of code in reverse order: codes enter the stream most significant bit
// first, while the bit buffer hands out least significant bits first.
inline unsigned reverse_bits(unsigned code, unsigned len) {
    unsigned r = 0;
    for (unsigned i = 0; i < len; i++) {
        r = (r << 1) | (code & 1);
        code >>= 1;
    }
    return r;
}

} // namespace

void inflate_set_table_allocator(void* (*alloc)(size_t), void (*release)(void*)) {
    if (alloc == nullptr || release == nullptr) {
        g_alloc = std::malloc;
        g_release = std::free;
    } else {
        g_alloc = alloc;
        g_release = release;
    }
}

void flush_window(unsigned n) {
    flush(this_thread_inflater(), n);
}

void free_code_table(CodeEntry* table) {
    if (table != nullptr) {
        free_chain(table - 1);
    }
}

// Canonical Huffman code to lookup table (RFC 1951 3.2.2).
//
// The first level is indexed by the next width bits of the stream (the code's bits
// reversed). A code no longer than the width fills every first-level slot whose low bits
// equal its reversed code. Longer codes go through a link entry (bits = the first-level
// width, op = 16 + sub-table width) to a sub-table indexed by the following bits. A
// sub-table is as narrow as the codes under its prefix allow: starting from the remaining
// length of the first code entering it, widened until those codes fill every slot, never
// beyond the first-level width nor beyond the longest code. Only a sub-table of the full
// width can link further. Unfilled slots keep op 99.
int build_code_table(const unsigned* lengths, unsigned n, unsigned s, const uint16_t* bases,
                     const uint8_t* extras, CodeEntry** table, int* width) {
    *table = nullptr;
    // Outside the contract (more than 288 symbols, a length above 16): refused as unusable.
    if (n > 288) {
        return 2;
    }
    unsigned count[kMaxCodeBits + 1] = {};
    for (unsigned i = 0; i < n; i++) {
        if (lengths[i] > kMaxCodeBits) {
            return 2;
        }
        count[lengths[i]]++;
    }
    if (count[0] == n) {
        *width = 0;
        return 0;
    }

    unsigned min = 1;
    while (count[min] == 0) {
        min++;
    }
    unsigned max = kMaxCodeBits;
    while (count[max] == 0) {
        max--;
    }
    unsigned root = *width < 0 ? 0 : static_cast<unsigned>(*width);
    if (root < min) {
        root = min;
    }
    if (root > max) {
        root = max;
    }
    *width = static_cast<int>(root);

    // Over-subscription: codes left at each length must never go negative.
    long left = 1;
    for (unsigned len = 1; len <= max; len++) {
        left <<= 1;
        left -= count[len];
        if (left < 0) {
            return 2;
        }
    }

    // Symbols sorted by length, then by value: the order of canonical code assignment.
    unsigned offset[kMaxCodeBits + 2] = {};
    for (unsigned len = 1; len <= kMaxCodeBits; len++) {
        offset[len + 1] = offset[len] + count[len];
    }
    uint16_t sorted[288];
    for (unsigned i = 0; i < n; i++) {
        if (lengths[i] != 0) {
            sorted[offset[lengths[i]]++] = static_cast<uint16_t>(i);
        }
    }
    unsigned total = n - count[0];

    struct Level {
        CodeEntry* table;
        unsigned offset; // code bits consumed by the levels above
        unsigned width;
        unsigned key; // the low `offset` bits of the reversed codes it holds
    };
    Level level[kMaxCodeBits + 1];
    unsigned depth = 1;

    CodeEntry* first = alloc_level(root);
    if (first == nullptr) {
        return 3;
    }
    CodeEntry* last = first;
    level[0] = {first + 1, 0, root, 0};

    unsigned remaining[kMaxCodeBits + 1];
    std::memcpy(remaining, count, sizeof(count));

    unsigned code = 0;
    unsigned prev_len = lengths[sorted[0]];
    for (unsigned k = 0; k < total; k++) {
        unsigned sym = sorted[k];
        unsigned len = lengths[sym];
        if (k > 0) {
            code = (code + 1) << (len - prev_len);
            prev_len = len;
        }
        unsigned rev = reverse_bits(code, len);

        unsigned h = 0;
        while (len > level[h].offset + level[h].width) {
            unsigned sub_offset = level[h].offset + level[h].width;
            unsigned key = rev & kMask[sub_offset];
            if (h + 1 < depth && level[h + 1].key == key) {
                h++;
                continue;
            }
            unsigned limit = max - sub_offset < root ? max - sub_offset : root;
            unsigned w = len - sub_offset;
            if (w >= limit) {
                w = limit;
            } else {
                long unfilled = (1L << w) - remaining[len];
                while (unfilled > 0 && w < limit) {
                    w++;
                    unfilled = 2 * unfilled - count[sub_offset + w];
                }
            }
            CodeEntry* block = alloc_level(w);
            if (block == nullptr) {
                free_chain(first);
                return 3;
            }
            last->next = block;
            last = block;
            CodeEntry& link = level[h].table[key >> level[h].offset];
            link.op = static_cast<uint8_t>(kOpLiteral + w);
            link.bits = static_cast<uint8_t>(level[h].width);
            link.next = block + 1;
            level[h + 1] = {block + 1, sub_offset, w, key};
            depth = h + 2;
            h++;
        }

        CodeEntry e;
        std::memset(&e, 0, sizeof(e));
        e.bits = static_cast<uint8_t>(len - level[h].offset);
        if (sym < s) {
            e.op = sym < 256 ? kOpLiteral : kOpEndOfBlock;
            e.value = static_cast<uint16_t>(sym);
        } else if (bases != nullptr && extras != nullptr) {
            e.op = extras[sym - s];
            e.value = bases[sym - s];
        } else {
            e.op = kOpInvalid;
        }
        unsigned step = 1u << e.bits;
        unsigned size = 1u << level[h].width;
        CodeEntry* t = level[h].table;
        for (unsigned idx = rev >> level[h].offset; idx < size; idx += step) {
            t[idx] = e;
        }
        remaining[len]--;
    }

    *table = first + 1;
    return (left > 0 && max > 1) ? 1 : 0;
}

// Literal/length and distance symbols until end of block (RFC 1951 3.2.5). Expects the bit
// reader and window position left by the block header. Literals go to the window; a
// length/distance pair copies from the window (window_copy). Returns 0 after the
// end-of-block code, 1 at an unused code, at a lookup in an absent table, and when a code
// or its extra bits would reach past the end of the input; the window is then as far as
// the last whole symbol left it.
int decode_symbols(const CodeEntry* tl, const CodeEntry* td, int bl, int bd) {
    Inflater& z = this_thread_inflater();
    if (tl == nullptr) {
        return 1;
    }
    BitReader r = z.in;
    unsigned pos = z.window_pos;
    int result = 1;
    const unsigned lw = static_cast<unsigned>(bl);
    const unsigned lmask = kMask[lw];
    const unsigned dw = static_cast<unsigned>(bd);
    const unsigned dmask = kMask[dw];

    // A length's extra bits are fetched together with the distance code's first level, and
    // a distance's extra bits with the next symbol's first level. This reads no further
    // ahead than the next lookup would anyway, so the look-ahead handed back after the final
    // block is the same.
    need_bits(z, r, lw);
    for (;;) {
        const CodeEntry* t = lookup(z, r, tl, lmask);
        if (t == nullptr) {
            break;
        }
        drop_bits(r, t->bits);
        unsigned op = t->op;
        if (op == kOpLiteral) {
            if (overrun(z, r)) {
                break;
            }
            pos = window_put(z, pos, static_cast<unsigned char>(t->value));
            need_bits(z, r, lw);
            continue;
        }
        if (op == kOpEndOfBlock) {
            if (!overrun(z, r)) {
                result = 0;
            }
            break;
        }
        if (td == nullptr) {
            break;
        }
        need_bits(z, r, op + dw);
        unsigned length = t->value + peek_bits(r, op);
        drop_bits(r, op);
        t = lookup(z, r, td, dmask);
        if (t == nullptr) {
            break;
        }
        drop_bits(r, t->bits);
        op = t->op;
        need_bits(z, r, op + lw);
        unsigned distance = t->value + peek_bits(r, op);
        drop_bits(r, op);
        if (overrun(z, r)) {
            break;
        }
        pos = window_copy(z, pos, distance, length);
    }

    z.in = r;
    z.window_pos = pos;
    return result;
}

// Stored block (RFC 1951 3.2.4): LEN and its ones' complement NLEN at a byte boundary, then
// LEN bytes copied to the output.
int decode_stored() {
    Inflater& z = this_thread_inflater();
    BitReader& r = z.in;
    drop_bits(r, r.count & 7);
    unsigned len = take_bits(z, r, 16);
    unsigned nlen = take_bits(z, r, 16);
    if (overrun(z, r) || nlen != (~len & 0xFFFF)) {
        return 1;
    }
    unsigned pos = z.window_pos;
    int result = 0;
    // Whole bytes already in the bit buffer come first, then the input directly (the block
    // starts at a byte boundary, so nothing else is left in the buffer by then).
    for (; len > 0 && r.count >= z.phantom + 8; len--) {
        pos = window_put(z, pos, static_cast<unsigned char>(r.buf));
        drop_bits(r, 8);
    }
    for (; len > 0; len--) {
        const unsigned byte = fetch_byte(z);
        if (z.phantom != 0) {
            result = 1;
            break;
        }
        pos = window_put(z, pos, static_cast<unsigned char>(byte));
    }
    z.window_pos = pos;
    return result;
}

namespace {

// The symbols of a fixed or dynamic block (decode_symbols) with the block's two tables, which
// are released on the way out whatever the result. Returns 0 after the end-of-block code, 1 at
// a data error.
int decode_and_release(CodeEntry* tl, CodeEntry* td, int bl, int bd) {
    const int r = decode_symbols(tl, td, bl, bd);
    free_code_table(tl);
    free_code_table(td);
    return r != 0 ? 1 : 0;
}

} // namespace

// Fixed-code block (RFC 1951 3.2.6). The tables are built anew for every such block and
// released on every way out, data errors included.
int decode_fixed() {
    unsigned lengths[288];
    unsigned i = 0;
    for (; i < 144; i++) {
        lengths[i] = 8;
    }
    for (; i < 256; i++) {
        lengths[i] = 9;
    }
    for (; i < 280; i++) {
        lengths[i] = 7;
    }
    for (; i < 288; i++) {
        lengths[i] = 8;
    }
    CodeEntry* tl = nullptr;
    int bl = 7;
    int r = build_code_table(lengths, 288, 257, kLengthBase, kLengthExtra, &tl, &bl);
    if (r != 0) {
        free_code_table(tl);
        return r;
    }

    for (i = 0; i < 30; i++) {
        lengths[i] = 5;
    }
    CodeEntry* td = nullptr;
    int bd = 5;
    r = build_code_table(lengths, 30, 0, kDistBase, kDistExtra, &td, &bd);
    if (r > 1) {
        free_code_table(tl);
        return r;
    }
    // Result 1 is expected: 30 of the 32 five-bit codes are used.

    return decode_and_release(tl, td, bl, bd);
}

// Dynamic-code block (RFC 1951 3.2.7): HLIT, HDIST, HCLEN, the code-length code, the
// run-length coded literal/length and distance code lengths, then the symbols. A repeat of
// the previous length (16) at the very first position repeats 0. Incomplete literal/length
// and distance codes are refused with a diagnostic, but a single code of length 1 counts as
// complete; reading the unused half of such a code-length code is a data error. Every
// table is released on every way out.
int decode_dynamic() {
    Inflater& z = this_thread_inflater();
    BitReader& r = z.in;
    unsigned nl = take_bits(z, r, 5) + 257;
    unsigned nd = take_bits(z, r, 5) + 1;
    unsigned nc = take_bits(z, r, 4) + 4;
    if (nl > 286 || nd > 30) {
        return 1;
    }

    unsigned lengths[286 + 30];
    for (unsigned j = 0; j < 19; j++) {
        lengths[kCodeLengthOrder[j]] = j < nc ? take_bits(z, r, 3) : 0;
    }
    if (overrun(z, r)) {
        return 1;
    }

    CodeEntry* tc = nullptr;
    int bc = 7;
    int res = build_code_table(lengths, 19, 19, nullptr, nullptr, &tc, &bc);
    if (res != 0) {
        free_code_table(tc);
        return res;
    }

    // A code-length code with no symbols has no table; any read from it is a data error.
    const unsigned n = nl + nd;
    const unsigned cw = static_cast<unsigned>(bc);
    unsigned prev = 0;
    unsigned i = 0;
    while (i < n) {
        if (tc == nullptr) {
            return 1;
        }
        need_bits(z, r, cw);
        const CodeEntry& e = tc[peek_bits(r, cw)];
        if (e.op == kOpInvalid) {
            free_code_table(tc);
            return 1;
        }
        drop_bits(r, e.bits);
        unsigned v = e.value;
        if (v < 16) {
            lengths[i++] = prev = v;
            continue;
        }
        unsigned repeat;
        unsigned fill = 0;
        if (v == 16) {
            repeat = 3 + take_bits(z, r, 2);
            fill = prev;
        } else if (v == 17) {
            repeat = 3 + take_bits(z, r, 3);
        } else {
            repeat = 11 + take_bits(z, r, 7);
        }
        if (i + repeat > n) {
            free_code_table(tc);
            return 1;
        }
        while (repeat-- > 0) {
            lengths[i++] = fill;
        }
        prev = fill;
    }
    free_code_table(tc);
    if (overrun(z, r)) {
        return 1;
    }

    CodeEntry* tl = nullptr;
    int bl = 9;
    res = build_code_table(lengths, nl, 257, kLengthBase, kLengthExtra, &tl, &bl);
    if (res != 0) {
        if (res == 1) {
            std::fputs(" incomplete literal tree\n", stderr);
            free_code_table(tl);
        }
        return res;
    }

    CodeEntry* td = nullptr;
    int bd = 6;
    res = build_code_table(lengths + nl, nd, 0, kDistBase, kDistExtra, &td, &bd);
    if (res != 0) {
        if (res == 1) {
            std::fputs(" incomplete distance tree\n", stderr);
            free_code_table(td);
        }
        free_code_table(tl);
        return res;
    }

    return decode_and_release(tl, td, bl, bd);
}

// Block header (RFC 1951 3.2.3): BFINAL, then BTYPE in two bits; BTYPE 3 is reserved and
// gives 2. Returns the block's result; *last is BFINAL.
int decode_block(int* last) {
    Inflater& z = this_thread_inflater();
    *last = static_cast<int>(take_bits(z, z.in, 1));
    unsigned type = take_bits(z, z.in, 2);
    if (overrun(z, z.in)) {
        return 1;
    }
    switch (type) {
    case 0:
        return decode_stored();
    case 1:
        return decode_fixed();
    case 2:
        return decode_dynamic();
    default:
        return 2;
    }
}

// One block per call (see inflate.h). The stream's input is reached through the table
// ziplib made current; the step keeps the bit reader and window between calls.
int inflate_step(int start) {
    Inflater& z = this_thread_inflater();
    z.final_block_done = 0;
    z.ops = ziplib_ops();
    if (z.ops == nullptr) {
        return 1;
    }
    if (start != 0) {
        z.window_pos = 0;
        z.in = BitReader{0, 0};
        z.phantom = 0;
    }
    if (z.phantom == 0) {
        z.fetch = z.ops->next_byte;
    }
    int last = 0;
    int r = decode_block(&last);
    if (r != 0) {
        return r;
    }
    if (last == 0) {
        return 0;
    }
    // Whole bytes read ahead belong to what follows the DEFLATE data; a partly used byte is
    // not handed back, nor are the zero bytes that stand for input past its end.
    while (z.in.count >= z.phantom + 8) {
        z.in.count -= 8;
        if (z.ops->unget_byte() < 0) {
            return 4;
        }
    }
    flush(z, z.window_pos);
    z.window_pos = 0;
    z.final_block_done = 1;
    return 1;
}

int inflate_final_block_done() {
    return this_thread_inflater().final_block_done;
}
