#include "bench/firmware.h"

#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <stdexcept>

#include "payload/des.h"

const unsigned char kPayloadKey[8] = {'r', 't', 'o', 'g', '5', 'u', '3', 0};

std::vector<unsigned char> make_firmware(size_t size, uint32_t seed) {
    std::mt19937 rng(seed);
    uint32_t vocabulary[256];
    for (auto& word : vocabulary)
        word = rng();
    std::vector<unsigned char> image(size, 0xFF);
    size_t code_end = size - size / 16;
    for (size_t i = 0; i + 4 <= code_end; i += 4) {
        uint32_t pick = rng();
        uint32_t word = vocabulary[pick & 0xFF];
        unsigned kind = (pick >> 8) % 10;
        if (kind >= 8) {
            word = rng();
        } else if (kind >= 5) {
            word = (word & ~0xFFu) | (pick >> 24);
        }
        std::memcpy(&image[i], &word, 4);
    }
    return image;
}

static const char kHex[] = "0123456789ABCDEF";

static void append_record(std::string& text, char type, uint32_t address, int address_bytes,
                          const unsigned char* data, size_t count) {
    unsigned sum = 0;
    unsigned length = static_cast<unsigned>(address_bytes + count + 1);
    text += 'S';
    text += type;
    auto put = [&](unsigned byte) {
        text += kHex[(byte >> 4) & 15];
        text += kHex[byte & 15];
        sum += byte;
    };
    put(length);
    for (int i = address_bytes - 1; i >= 0; --i)
        put((address >> (8 * i)) & 0xFF);
    for (size_t i = 0; i < count; ++i)
        put(data[i]);
    unsigned checksum = ~sum & 0xFF;
    text += kHex[checksum >> 4];
    text += kHex[checksum & 15];
    text += "\r\n";
}

void append_srecords(std::string& text, const unsigned char* data, size_t size, uint32_t address,
                     bool header, bool trailer) {
    if (header) {
        static const unsigned char name[] = "KV615MQ BENCH";
        append_record(text, '0', 0, 2, name, sizeof name - 1);
    }
    for (size_t off = 0; off < size; off += 32) {
        size_t count = size - off < 32 ? size - off : 32;
        append_record(text, '3', address + static_cast<uint32_t>(off), 4, data + off, count);
    }
    if (trailer)
        append_record(text, '7', address, 4, nullptr, 0);
}

std::string make_srecord_text(const std::vector<unsigned char>& firmware, uint32_t address) {
    std::string text;
    text.reserve(firmware.size() / 32 * 80 + 200);
    append_srecords(text, firmware.data(), firmware.size(), address, true, true);
    return text;
}

namespace {

// A zlib deflate stream writing one gzip member into a growing vector.
class GzipWriter {
  public:
    explicit GzipWriter(int level) {
        std::memset(&m_z, 0, sizeof m_z);
        if (deflateInit2(&m_z, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
            throw std::runtime_error("deflateInit2 failed");
        }
        static char name[] = "firmware.mot";
        std::memset(&m_header, 0, sizeof m_header);
        m_header.name = reinterpret_cast<Bytef*>(name);
        m_header.os = 3;
        deflateSetHeader(&m_z, &m_header);
    }
    ~GzipWriter() { deflateEnd(&m_z); }

    void write(const std::string& text, bool finish) {
        m_z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
        m_z.avail_in = static_cast<uInt>(text.size());
        int flush = finish ? Z_FINISH : Z_NO_FLUSH;
        for (;;) {
            size_t used = m_out.size();
            m_out.resize(used + 65536);
            m_z.next_out = m_out.data() + used;
            m_z.avail_out = 65536;
            int rc = deflate(&m_z, flush);
            m_out.resize(used + 65536 - m_z.avail_out);
            if (rc == Z_STREAM_END)
                break;
            if (rc != Z_OK && rc != Z_BUF_ERROR)
                throw std::runtime_error("deflate failed");
            if (!finish && m_z.avail_in == 0 && m_z.avail_out != 0)
                break;
        }
    }

    size_t size() const { return m_out.size(); }
    std::vector<unsigned char> take() { return std::move(m_out); }

  private:
    z_stream m_z;
    gz_header m_header;
    std::vector<unsigned char> m_out;
};

} // namespace

std::vector<unsigned char> gzip_member(const std::string& text, int level) {
    GzipWriter writer(level);
    writer.write(text, true);
    return writer.take();
}

size_t gzip_header_length(const std::vector<unsigned char>& member) {
    if (member.size() < 10 || member[0] != 0x1F || member[1] != 0x8B)
        throw std::runtime_error("not a gzip member");
    unsigned flags = member[3];
    size_t pos = 10;
    auto need = [&](size_t n) {
        if (pos + n > member.size())
            throw std::runtime_error("gzip header runs past the member");
    };
    if (flags & 0x04) {
        need(2);
        pos += 2 + (member[pos] | (member[pos + 1] << 8));
    }
    for (unsigned field : {0x08u, 0x10u}) {
        if (flags & field) {
            do {
                need(1);
            } while (member[pos++] != 0);
        }
    }
    if (flags & 0x02)
        pos += 2;
    need(0);
    return pos;
}

void seal_payload(std::vector<unsigned char>& member) {
    member.resize((member.size() + 7) / 8 * 8, 0);
    for (size_t off = 0; off < member.size(); off += 65536) {
        size_t n = member.size() - off < 65536 ? member.size() - off : 65536;
        des_ecb_crypt(kPayloadKey, member.data() + off, static_cast<int>(n), VMOD_DES_ENCRYPT);
    }
}

std::vector<unsigned char> make_payload_image(size_t target, int level, size_t* text_bytes) {
    GzipWriter writer(level);
    const size_t piece = 256 * 1024; // firmware bytes per piece of text
    uint32_t address = 0;
    size_t total = 0;
    std::string text;
    for (uint32_t seed = 1; writer.size() < target; ++seed) {
        std::vector<unsigned char> firmware = make_firmware(piece, seed);
        text.clear();
        append_srecords(text, firmware.data(), firmware.size(), address, address == 0, false);
        address += static_cast<uint32_t>(piece);
        total += text.size();
        writer.write(text, false);
    }
    text.clear();
    append_srecords(text, nullptr, 0, 0, false, true);
    total += text.size();
    writer.write(text, true);
    std::vector<unsigned char> image = writer.take();
    seal_payload(image);
    if (text_bytes)
        *text_bytes = total;
    return image;
}
