#include "decode_support.h"

#include <zlib.h>

#include <cstdio>
#include <stdexcept>

namespace decode_test {

namespace {

MemoryStream* g_current = nullptr;

int mem_unget() {
    MemoryStream& m = *g_current;
    if (m.pos == 0 || m.pos <= m.unget_floor) {
        return -1;
    }
    m.pos--;
    m.ops.bytes_in--;
    return static_cast<int>(m.pos);
}

int mem_next() {
    MemoryStream& m = *g_current;
    if (m.pos >= m.input.size()) {
        m.next_calls_past_end++;
        return -1;
    }
    m.ops.bytes_in++;
    return m.input[m.pos++];
}

int mem_put(int byte) {
    MemoryStream& m = *g_current;
    m.output.push_back(static_cast<uint8_t>(byte));
    m.ops.bytes_out++;
    return static_cast<int>(m.output.size());
}

int mem_peek(int, int) {
    return -1;
}

uint32_t xorshift(uint32_t& s) {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
}

} // namespace

MemoryStream::MemoryStream(Bytes in) : input(std::move(in)) {
    ops.unget_byte = mem_unget;
    ops.next_byte = mem_next;
    ops.put_byte = mem_put;
    ops.peek_u8 = mem_peek;
    ops.peek_u16 = mem_peek;
    ops.peek_u32 = mem_peek;
}

MemoryStream::~MemoryStream() {
    if (g_current == this) {
        g_current = nullptr;
    }
}

void MemoryStream::Attach() {
    g_current = this;
    ziplib_attach(&ops);
}

int MemoryStream::PullAll(int max_steps) {
    int r = 0;
    for (int i = 0; i < max_steps; i++) {
        r = ziplib_pull();
        results.push_back(r);
        output_after_step.push_back(output.size());
        if (r != 0) {
            break;
        }
    }
    return r;
}

void BitWriter::Bits(uint32_t value, unsigned count) {
    for (unsigned i = 0; i < count; i++) {
        if (m_bits == 0) {
            m_bytes.push_back(0);
        }
        if ((value >> i) & 1) {
            m_bytes.back() |= static_cast<uint8_t>(1u << m_bits);
        }
        m_bits = (m_bits + 1) & 7;
    }
}

void BitWriter::Code(uint32_t code, unsigned length) {
    for (unsigned i = length; i-- > 0;) {
        Bits((code >> i) & 1, 1);
    }
}

void BitWriter::Align() {
    m_bits = 0;
}

void BitWriter::Byte(uint8_t b) {
    Align();
    m_bytes.push_back(b);
}

Bytes BitWriter::Finish() {
    return m_bytes;
}

std::vector<uint32_t> CanonicalCodes(const std::vector<unsigned>& lengths) {
    unsigned count[17] = {};
    for (unsigned l : lengths) {
        count[l]++;
    }
    count[0] = 0;
    uint32_t next[17] = {};
    uint32_t code = 0;
    for (unsigned bits = 1; bits <= 16; bits++) {
        code = (code + count[bits - 1]) << 1;
        next[bits] = code;
    }
    std::vector<uint32_t> codes(lengths.size());
    for (size_t i = 0; i < lengths.size(); i++) {
        if (lengths[i] != 0) {
            codes[i] = next[lengths[i]]++;
        }
    }
    return codes;
}

void FixedLiteral(BitWriter& w, unsigned sym) {
    if (sym < 144) {
        w.Code(0x30 + sym, 8);
    } else if (sym < 256) {
        w.Code(0x190 + sym - 144, 9);
    } else if (sym < 280) {
        w.Code(sym - 256, 7);
    } else {
        w.Code(0xC0 + sym - 280, 8);
    }
}

void FixedMatch(BitWriter& w, unsigned length, unsigned distance) {
    static const unsigned lbase[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                       15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                       67, 83, 99, 115, 131, 163, 195, 227, 258};
    static const unsigned lext[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    static const unsigned dbase[30] = {
        1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
        193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
    static const unsigned dext[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                      6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
    int ls = 28;
    while (lbase[ls] > length) {
        ls--;
    }
    FixedLiteral(w, 257 + ls);
    w.Bits(length - lbase[ls], lext[ls]);
    int ds = 29;
    while (dbase[ds] > distance) {
        ds--;
    }
    w.Code(ds, 5);
    w.Bits(distance - dbase[ds], dext[ds]);
}

void DynamicHeader(BitWriter& w, bool final, unsigned hlit, unsigned hdist,
                   const std::vector<ClSymbol>& symbols) {
    static const unsigned order[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                       11, 4,  12, 3, 13, 2, 14, 1, 15};
    std::vector<unsigned> cl(19);
    for (unsigned s = 0; s < 19; s++) {
        cl[s] = s <= 12 ? 4 : 5;
    }
    std::vector<uint32_t> codes = CanonicalCodes(cl);
    w.Bits(final ? 1 : 0, 1);
    w.Bits(2, 2);
    w.Bits(hlit, 5);
    w.Bits(hdist, 5);
    w.Bits(15, 4);
    for (unsigned j = 0; j < 19; j++) {
        w.Bits(cl[order[j]], 3);
    }
    for (const ClSymbol& s : symbols) {
        w.Code(codes[s.sym], cl[s.sym]);
        if (s.sym == 16) {
            w.Bits(s.extra, 2);
        } else if (s.sym == 17) {
            w.Bits(s.extra, 3);
        } else if (s.sym == 18) {
            w.Bits(s.extra, 7);
        }
    }
}

void DynamicHeaderFromLengths(BitWriter& w, bool final, const std::vector<unsigned>& lit,
                              const std::vector<unsigned>& dist) {
    std::vector<ClSymbol> symbols;
    for (unsigned l : lit) {
        symbols.push_back({l, 0});
    }
    for (unsigned l : dist) {
        symbols.push_back({l, 0});
    }
    DynamicHeader(w, final, static_cast<unsigned>(lit.size() - 257),
                  static_cast<unsigned>(dist.size() - 1), symbols);
}

Bytes ZlibDeflate(const Bytes& data, int level, int strategy, int window_bits, size_t flush_every,
                  int mem_level) {
    z_stream s{};
    if (deflateInit2(&s, level, Z_DEFLATED, window_bits, mem_level, strategy) != Z_OK) {
        throw std::runtime_error("deflateInit2 failed");
    }
    Bytes out(deflateBound(&s, data.size()) + 64 +
              (flush_every ? data.size() / flush_every * 8 : 0));
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    size_t done = 0;
    do {
        size_t piece = data.size() - done;
        int flush = Z_FINISH;
        if (flush_every != 0 && piece > flush_every) {
            piece = flush_every;
            flush = Z_SYNC_FLUSH;
        }
        s.next_in = const_cast<Bytef*>(data.data() + done);
        s.avail_in = static_cast<uInt>(piece);
        int r = deflate(&s, flush);
        if (r == Z_STREAM_ERROR || s.avail_in != 0) {
            throw std::runtime_error("deflate failed");
        }
        done += piece;
        if (flush == Z_FINISH) {
            if (r != Z_STREAM_END) {
                throw std::runtime_error("deflate did not finish");
            }
            break;
        }
    } while (true);
    out.resize(s.total_out);
    deflateEnd(&s);
    return out;
}

ZlibBlocks ZlibInflateBlocks(const Bytes& raw) {
    ZlibBlocks z;
    z_stream s{};
    if (inflateInit2(&s, -15) != Z_OK) {
        return z;
    }
    s.next_in = const_cast<Bytef*>(raw.data());
    s.avail_in = static_cast<uInt>(raw.size());
    Bytes chunk(1 << 20);
    for (;;) {
        s.next_out = chunk.data();
        s.avail_out = static_cast<uInt>(chunk.size());
        int r = inflate(&s, Z_BLOCK);
        z.output.insert(z.output.end(), chunk.data(), s.next_out);
        if (r == Z_STREAM_END) {
            z.output_after_block.push_back(z.output.size());
            z.ok = true;
            break;
        }
        if (r != Z_OK && !(r == Z_BUF_ERROR && s.avail_out == 0)) {
            break;
        }
        if ((s.data_type & 128) && !(s.data_type & 64)) {
            z.output_after_block.push_back(z.output.size());
        }
    }
    inflateEnd(&s);
    return z;
}

Bytes SrecText(size_t size, uint32_t seed) {
    static const char hex[] = "0123456789ABCDEF";
    Bytes out;
    out.reserve(size + 80);
    uint32_t s = seed | 1;
    uint32_t address = 0x10000;
    // Firmware-like data: a small working set of words, so the text repeats at a distance.
    uint32_t words[64];
    for (uint32_t& w : words) {
        w = xorshift(s);
    }
    while (out.size() < size) {
        std::string line = "S315";
        uint8_t sum = 0x15;
        for (int i = 0; i < 4; i++) {
            uint8_t b = static_cast<uint8_t>(address >> (24 - 8 * i));
            sum += b;
            line += hex[b >> 4];
            line += hex[b & 15];
        }
        for (int i = 0; i < 16; i++) {
            uint32_t w = words[xorshift(s) % 64];
            uint8_t b = (xorshift(s) % 4 == 0) ? static_cast<uint8_t>(xorshift(s))
                                               : static_cast<uint8_t>(w >> (8 * (i % 4)));
            sum += b;
            line += hex[b >> 4];
            line += hex[b & 15];
        }
        sum = static_cast<uint8_t>(~sum);
        line += hex[sum >> 4];
        line += hex[sum & 15];
        line += "\r\n";
        out.insert(out.end(), line.begin(), line.end());
        address += 16;
    }
    out.resize(size);
    return out;
}

Bytes RandomBytes(size_t size, uint32_t seed) {
    Bytes out(size);
    uint32_t s = seed | 1;
    for (uint8_t& b : out) {
        b = static_cast<uint8_t>(xorshift(s) >> 7);
    }
    return out;
}

Bytes Runs(size_t size, uint32_t seed) {
    Bytes out;
    out.reserve(size);
    uint32_t s = seed | 1;
    while (out.size() < size) {
        uint8_t b = static_cast<uint8_t>(xorshift(s) % 3);
        size_t n = 1 + xorshift(s) % 2000;
        out.insert(out.end(), n, b);
    }
    out.resize(size);
    return out;
}

Bytes Mixed(size_t size, uint32_t seed) {
    Bytes out;
    out.reserve(size);
    uint32_t s = seed | 1;
    while (out.size() < size) {
        size_t n = 1000 + xorshift(s) % 40000;
        Bytes part;
        switch (xorshift(s) % 3) {
        case 0:
            part = SrecText(n, xorshift(s));
            break;
        case 1:
            part = RandomBytes(n, xorshift(s));
            break;
        default:
            part = Runs(n, xorshift(s));
            break;
        }
        out.insert(out.end(), part.begin(), part.end());
    }
    out.resize(size);
    return out;
}

Bytes GzipWrap(const Bytes& raw, const Bytes& original) {
    static const uint8_t header[10] = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 3};
    Bytes out;
    out.reserve(sizeof header + raw.size() + 8);
    out.assign(header, header + sizeof header);
    out.insert(out.end(), raw.begin(), raw.end());
    uLong crc = crc32(0L, original.data(), static_cast<uInt>(original.size()));
    uint32_t n = static_cast<uint32_t>(original.size());
    for (int i = 0; i < 4; i++) {
        out.push_back(static_cast<uint8_t>(crc >> (8 * i)));
    }
    for (int i = 0; i < 4; i++) {
        out.push_back(static_cast<uint8_t>(n >> (8 * i)));
    }
    return out;
}

std::string Hex(const Bytes& b) {
    std::string s;
    char buf[4];
    for (uint8_t c : b) {
        std::snprintf(buf, sizeof buf, "%02x", c);
        s += buf;
    }
    return s;
}

} // namespace decode_test
