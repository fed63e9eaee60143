#include "tools/pack/package_image.h"

#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "package/firmware_package.h"
#include "payload/des.h"
#include "payload/payload_stream.h"
#include "payload/ziplib.h"
#include "platform/winbase.h"

namespace vmod_pack {

namespace {

// The image the payload stream reads while DecodeThroughStream runs.
const unsigned char* g_image;
uint32_t g_imageSize;
uint32_t g_imagePosition;

int32_t ImageChunkSource(unsigned char* buffer) {
    return payload_copy_chunk(g_image, g_imageSize, &g_imagePosition, buffer);
}

// The DES key the stream forms from the key text: at most 8 of its bytes, then zeros.
void PayloadKey(unsigned char key[8]) {
    std::memset(key, 0, 8);
    for (int i = 0; i < 8 && kPayloadKeyText[i] != '\0'; i++) {
        key[i] = static_cast<unsigned char>(kPayloadKeyText[i]);
    }
}

bool AppendToString(const char* data, size_t n, void* ctx) {
    auto* target = static_cast<std::pair<std::string*, size_t>*>(ctx);
    if (target->first->size() + n > target->second) {
        return false;
    }
    target->first->append(data, n);
    return true;
}

// Consecutive -1 reads, with the decoder's byte counters standing still, after which the
// stream has ended. A pull that consumes no input byte decodes its block from the bits the
// inflater already holds (at most 64), and every block takes at least 10 bits, so no more
// than 7 such pulls can follow one another; the margin costs nothing.
constexpr int kIdleReadsAtEnd = 64;

// Bytes of text per DEFLATE block, so that every block but the last fills the window.
constexpr size_t kBlockText = 32768;

uint32_t ReadLe32(const unsigned char* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// Where the DEFLATE data of a gzip member begins (RFC 1952 2.3), or 0 with a reason. Both
// magic pairs the device accepts are accepted; so are the flags it accepts, and FHCRC.
size_t GzipDataOffset(const Bytes& m, std::string* problem) {
    const size_t n = m.size();
    if (n < 10) {
        *problem = "the image ends inside the gzip member header";
        return 0;
    }
    if (m[0] != 0x1F || (m[1] != 0x8B && m[1] != 0x9E)) {
        char text[96];
        std::snprintf(text, sizeof text, "gzip member header: magic bytes %02X %02X, not 1F 8B",
                      m[0], m[1]);
        *problem = text;
        return 0;
    }
    if (m[2] != 8) {
        *problem = "gzip member header: method " + std::to_string(m[2]) + ", not 8 (deflate)";
        return 0;
    }
    const unsigned flags = m[3];
    if ((flags & 0xE0) != 0) {
        *problem = "gzip member header: reserved flag bits set";
        return 0;
    }
    size_t at = 10;
    if (flags & 0x04) { // FEXTRA
        if (at + 2 > n) {
            *problem = "the image ends inside the gzip member header";
            return 0;
        }
        at += 2 + (size_t{m[at]} | size_t{m[at + 1]} << 8);
    }
    for (unsigned field : {0x08u, 0x10u}) { // FNAME, FCOMMENT: zero-terminated
        if (flags & field) {
            while (at < n && m[at] != 0) {
                at++;
            }
            at++;
        }
    }
    if (flags & 0x02) { // FHCRC
        at += 2;
    }
    if (at >= n) {
        *problem = "the image ends inside the gzip member header";
        return 0;
    }
    return at;
}

} // namespace

bool PackVersionText(const std::string& text, std::string* decimal, std::string* problem) {
    if (text.empty()) {
        *problem = "the version text is empty";
        return false;
    }
    if (text.size() > 4) {
        *problem = "the version text \"" + text +
                   "\" has more than 4 characters; the header's version field holds at most 4";
        return false;
    }
    uint32_t value = 0;
    for (unsigned char c : text) {
        if (c < 0x20 || c > 0x7E) {
            *problem = "the version text may hold printable ASCII characters only";
            return false;
        }
        value = (value << 8) | c;
    }
    *decimal = std::to_string(value);
    // The loader's own reading is the arbiter: what it shows must be the text given.
    if (FormatVersionText(CString(std::wstring(decimal->begin(), decimal->end()))).str() !=
        std::wstring(text.begin(), text.end())) {
        *problem = "the version text \"" + text + "\" does not survive the header's packing";
        return false;
    }
    return true;
}

bool VersionReadsAsNumber(const CString& shown) {
    return std::wcstod(shown.str().c_str(), nullptr) > 0.0;
}

Bytes EncodeHeader(int32_t count, const std::string& decimal) {
    Bytes header(kHeaderSize, 0);
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08d", static_cast<int>(count));
    std::memcpy(header.data(), digits, kCountFieldSize);
    std::memcpy(header.data() + kCountFieldSize, decimal.data(),
                decimal.size() < kVersionFieldSize ? decimal.size() : kVersionFieldSize);
    return header;
}

HeaderFields ParseHeader(const std::string& bytes) {
    unsigned char field[kHeaderSize] = {};
    std::memcpy(field, bytes.data(), bytes.size() < kHeaderSize ? bytes.size() : kHeaderSize);
    HeaderFields h;
    h.count = ParseLineCountField(field);
    const char* version = reinterpret_cast<const char*>(field + kCountFieldSize);
    size_t length = 0;
    while (length < kVersionFieldSize && version[length] != '\0') {
        length++;
    }
    h.versionField.assign(version, length);
    wchar_t wide[kVersionFieldSize + 1] = {};
    int converted = length > 0 ? MultiByteToWideChar(CP_ACP, 0, version, static_cast<int>(length),
                                                     wide, static_cast<int>(kVersionFieldSize))
                               : 0;
    wide[converted > 0 ? converted : 0] = L'\0';
    h.shown = FormatVersionText(CString(wide));
    return h;
}

bool SplitSourceLines(const std::string& text, std::vector<std::string>* lines,
                      std::string* problem) {
    lines->clear();
    size_t start = 0;
    while (start < text.size()) {
        size_t lf = text.find('\n', start);
        size_t end = lf == std::string::npos ? text.size() : lf;
        size_t next = lf == std::string::npos ? text.size() : lf + 1;
        if (lf != std::string::npos && end > start && text[end - 1] == '\r') {
            end--;
        }
        std::string line = text.substr(start, end - start);
        std::string where = "line " + std::to_string(lines->size() + 1) + ": ";
        if (line.empty()) {
            *problem = where + "empty line (the download would swallow it into the line before)";
            return false;
        }
        if (line.find('\r') != std::string::npos) {
            *problem = where + "a CR that does not end the line";
            return false;
        }
        if (line.find('\0') != std::string::npos) {
            *problem = where + "a NUL byte";
            return false;
        }
        lines->push_back(std::move(line));
        start = next;
    }
    if (lines->empty()) {
        *problem = "the file holds no lines";
        return false;
    }
    return true;
}

bool SealPayloadWith(const std::string& text, const SealSettings& settings, Bytes* image,
                     std::string* problem) {
    if (text.size() > (size_t{1} << 31)) {
        *problem = "the text is too large for a payload image";
        return false;
    }
    z_stream z{};
    // windowBits 15 + 16: zlib writes a gzip member around the DEFLATE data.
    if (deflateInit2(&z, settings.level, Z_DEFLATED, 15 + 16, settings.memLevel,
                     Z_DEFAULT_STRATEGY) != Z_OK) {
        *problem = "zlib cannot start compressing";
        return false;
    }
    gz_header header{};
    Bytes extra(settings.extraLength > 0 ? static_cast<size_t>(settings.extraLength) : 1, 0);
    header.os = 3; // Unix, as zlib writes by default
    if (settings.extraLength >= 0) {
        header.extra = extra.data();
        header.extra_len = static_cast<uInt>(settings.extraLength);
        deflateSetHeader(&z, &header);
    }

    Bytes& out = *image;
    out.assign(deflateBound(&z, static_cast<uLong>(text.size())) + 1024, 0);
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    size_t pos = 0;
    int rc = Z_OK;
    do {
        size_t room = settings.alignBlocks ? kBlockText : text.size();
        size_t slice = text.size() - pos < room ? text.size() - pos : room;
        bool last = pos + slice == text.size();
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data() + pos));
        z.avail_in = static_cast<uInt>(slice);
        // Z_BLOCK ends the block at the end of this slice without the empty block that a
        // sync flush adds, which would be a pull that delivers nothing.
        const int flush = last ? Z_FINISH : Z_BLOCK;
        for (;;) {
            if (z.avail_out < 4096) {
                size_t used = out.size() - z.avail_out;
                out.resize(out.size() * 2);
                z.next_out = out.data() + used;
                z.avail_out = static_cast<uInt>(out.size() - used);
            }
            rc = deflate(&z, flush);
            if (rc != Z_OK && rc != Z_BUF_ERROR) {
                break;
            }
            if (!last && z.avail_in == 0 && z.avail_out >= 4096) {
                break;
            }
        }
        pos += slice;
    } while (pos < text.size() && (rc == Z_OK || rc == Z_BUF_ERROR));
    size_t size = z.total_out;
    deflateEnd(&z);
    if (rc != Z_STREAM_END) {
        *problem = "zlib could not compress the text";
        return false;
    }
    out.resize((size + 7) / 8 * 8, 0);
    unsigned char key[8];
    PayloadKey(key);
    des_ecb_crypt(key, out.data(), static_cast<int>(out.size()), VMOD_DES_ENCRYPT);
    return true;
}

bool SealPayload(const std::string& text, Bytes* image, std::string* problem) {
    // Compressed first; stored blocks of one window each line up whatever the text.
    SealSettings tries[2];
    tries[1].level = 0;
    for (const SealSettings& settings : tries) {
        if (!SealPayloadWith(text, settings, image, problem)) {
            return false;
        }
        std::string decoded;
        StreamReport report;
        if (DecodeThroughStream(*image, &decoded, &report, text.size()) && !report.capped &&
            report.pauses.empty() && decoded == text) {
            return true;
        }
    }
    *problem = "no sealing of the text reads back exactly through the payload stream";
    return false;
}

GzipCheck UnsealWithZlib(const Bytes& image) {
    GzipCheck check;
    Bytes plain(image);
    plain.resize((plain.size() + 7) / 8 * 8, 0);
    unsigned char key[8];
    PayloadKey(key);
    des_ecb_crypt(key, plain.data(), static_cast<int>(image.size()), VMOD_DES_DECRYPT);
    plain.resize(image.size());

    size_t start = GzipDataOffset(plain, &check.problem);
    if (start == 0) {
        return check;
    }
    check.headerOk = true;

    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) {
        check.problem = "zlib cannot start decompressing";
        return check;
    }
    z.next_in = plain.data() + start;
    z.avail_in = static_cast<uInt>(plain.size() - start);
    static unsigned char out[65536];
    int rc;
    do {
        z.next_out = out;
        z.avail_out = sizeof out;
        rc = inflate(&z, Z_NO_FLUSH);
        check.text.append(reinterpret_cast<char*>(out), sizeof out - z.avail_out);
        if (check.text.size() > kMaxDecodedText) {
            rc = Z_MEM_ERROR;
            break;
        }
    } while (rc == Z_OK);
    size_t dataEnd = start + z.total_in;
    if (rc == Z_STREAM_END) {
        check.inflated = true;
    } else if (rc == Z_MEM_ERROR) {
        check.problem =
            "the DEFLATE data inflates beyond " + std::to_string(kMaxDecodedText >> 20) + " MiB";
    } else if (rc == Z_BUF_ERROR) {
        check.problem = "the image ends inside the DEFLATE data";
    } else {
        check.problem = std::string("DEFLATE data: ") + (z.msg != nullptr ? z.msg : "invalid");
    }
    inflateEnd(&z);
    if (!check.inflated) {
        return check;
    }

    if (dataEnd + 8 > plain.size()) {
        check.problem = "the gzip trailer is missing (" + std::to_string(plain.size() - dataEnd) +
                        " of its 8 bytes after the DEFLATE data)";
        return check;
    }
    check.memberSize = dataEnd + 8;
    uint32_t storedCrc = ReadLe32(plain.data() + dataEnd);
    uint32_t storedSize = ReadLe32(plain.data() + dataEnd + 4);
    uint32_t crc =
        static_cast<uint32_t>(crc32(0L, reinterpret_cast<const Bytef*>(check.text.data()),
                                    static_cast<uInt>(check.text.size())));
    uint32_t size = static_cast<uint32_t>(check.text.size());
    char text[160];
    if (storedCrc != crc) {
        std::snprintf(text, sizeof text, "gzip trailer: CRC-32 %08X, the decoded text's is %08X",
                      storedCrc, crc);
        check.problem = text;
    } else if (storedSize != size) {
        std::snprintf(text, sizeof text, "gzip trailer: ISIZE %u, the decoded text has %u bytes",
                      storedSize, size);
        check.problem = text;
    } else {
        check.trailerOk = true;
    }
    return check;
}

bool DecodeThroughStream(const Bytes& image, StreamSink sink, void* ctx, StreamReport* report) {
    *report = StreamReport{};
    if (image.size() > UINT32_MAX) {
        return false;
    }
    g_image = image.data();
    g_imageSize = static_cast<uint32_t>(image.size());
    g_imagePosition = 0;
    if (payload_open(ImageChunkSource, kPayloadChunkSize, kPayloadKeyText) != 0) {
        payload_close();
        return false;
    }
    report->opened = true;
    char buffer[4096];
    size_t used = 0;
    int idle = 0;
    bool paused = false;
    const StreamOps* ops = ziplib_ops();
    int32_t lastIn = ops->bytes_in;
    int32_t lastOut = ops->bytes_out;
    while (idle < kIdleReadsAtEnd) {
        int c = payload_getc();
        if (c >= 0) {
            if (paused) {
                report->pauses.push_back(report->delivered);
                paused = false;
            }
            buffer[used++] = static_cast<char>(c);
            report->delivered++;
            if (used == sizeof buffer) {
                if (!sink(buffer, used, ctx)) {
                    report->capped = true;
                    used = 0;
                    break;
                }
                used = 0;
            }
            idle = 0;
            continue;
        }
        paused = true;
        if (ops->bytes_in != lastIn || ops->bytes_out != lastOut) {
            lastIn = ops->bytes_in;
            lastOut = ops->bytes_out;
            idle = 0;
        } else {
            idle++;
        }
    }
    if (used > 0 && !sink(buffer, used, ctx)) {
        report->capped = true;
    }
    report->endState = payload_end_state();
    payload_close();
    return true;
}

bool DecodeThroughStream(const Bytes& image, std::string* text, StreamReport* report,
                         size_t limit) {
    text->clear();
    std::pair<std::string*, size_t> target{text, limit};
    return DecodeThroughStream(image, AppendToString, &target, report);
}

std::vector<std::string> DeviceLines(const std::string& text) {
    std::vector<std::string> lines;
    const size_t room = static_cast<size_t>(kLineBufferSize) - 1;
    size_t pos = 0;
    for (;;) {
        std::string stored;
        bool endOfText = false;
        while (stored.size() < room) {
            if (pos >= text.size()) {
                endOfText = true;
                break;
            }
            char c = text[pos++];
            if (c == '\r' || c == '\n') {
                break;
            }
            stored += c;
        }
        if (endOfText) {
            if (!stored.empty()) {
                lines.push_back(stored);
            }
            return lines;
        }
        while (pos < text.size() && (text[pos] == '\r' || text[pos] == '\n')) {
            pos++;
        }
        lines.push_back(stored);
    }
}

bool ReadWholeFile(const std::string& path, std::string* data, std::string* problem) {
    std::error_code error;
    if (!std::filesystem::exists(path, error)) {
        *problem = path + ": no such file";
        return false;
    }
    if (!std::filesystem::is_regular_file(path, error)) {
        *problem = path + ": not a regular file";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *problem = path + ": cannot be opened for reading";
        return false;
    }
    data->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        *problem = path + ": read error";
        return false;
    }
    return true;
}

bool WriteWholeFile(const std::string& path, const void* data, size_t n, std::string* problem) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (out) {
        out.write(static_cast<const char*>(data), static_cast<std::streamsize>(n));
        out.close();
    }
    if (!out) {
        *problem = path + ": cannot be written";
        return false;
    }
    return true;
}

} // namespace vmod_pack
