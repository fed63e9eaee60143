// vmod-bench: throughput of the decoding core against independent implementations of the
// same algorithms, and the decoder's heap use, measured in one run.
//
// Every comparison prints the MB/s of each side (10^6 bytes per second of the data named on
// the line) and one line "ratio NAME VALUE": ours divided by the reference, higher is better.
// Each figure is the best of several timed passes, so a busy neighbour on the machine lowers
// it less. "memory" lines give the heap peak of decoding one image beyond the image itself.
#include <libdeflate.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bench/firmware.h"
#include "bench/heap_count.h"
#include "download/payload_check.h"
#include "payload/des.h"
#include "payload/inflate.h"
#include "payload/payload_stream.h"
#include "payload/ziplib.h"

namespace {

using Clock = std::chrono::steady_clock;

// Best throughputs in MB/s of the contenders of one comparison, each handling `bytes` bytes
// per pass. The contenders take turns, one pass each per round, so that a change of load on
// the machine hits all of them alike; rounds go on until `budget` seconds have gone, at least
// `min_rounds` times.
std::vector<double> race_mbps(size_t bytes, const std::vector<std::function<void()>>& passes,
                              double budget = 3.0, int min_rounds = 5) {
    std::vector<double> best(passes.size(), 1e30);
    auto start = Clock::now();
    for (int round = 0;; ++round) {
        for (size_t i = 0; i < passes.size(); ++i) {
            auto t0 = Clock::now();
            passes[i]();
            best[i] = std::min(best[i], std::chrono::duration<double>(Clock::now() - t0).count());
        }
        double spent = std::chrono::duration<double>(Clock::now() - start).count();
        if (round + 1 >= min_rounds && spent >= budget)
            break;
    }
    for (double& b : best)
        b = static_cast<double>(bytes) / b / 1e6;
    return best;
}

void print_speed(const char* what, double mbps) {
    std::printf("%-48s %9.1f MB/s\n", what, mbps);
}

void print_ratio(const char* name, double value) {
    std::printf("ratio %s %.3f\n", name, value);
}

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "vmod-bench: %s\n", what);
    std::exit(1);
}

// Keeps results alive so the compiler cannot drop the work.
volatile unsigned g_sink;

// ---------------------------------------------------------------------------------------------
// The output obligation both inflaters get: every byte handed to a callback of put_byte's
// shape, called through a pointer, storing into a window-sized buffer and hashing lightly.

unsigned char g_put_buf[32768];
unsigned g_put_pos;
unsigned g_put_hash;
size_t g_put_count;

int bench_put_byte(int byte) {
    g_put_buf[g_put_pos] = static_cast<unsigned char>(byte);
    g_put_pos = (g_put_pos + 1) & 32767;
    g_put_hash = (g_put_hash * 31) ^ static_cast<unsigned>(byte & 0xFF);
    ++g_put_count;
    return static_cast<int>(g_put_pos);
}

// Called through this pointer so that neither side can inline the callback.
int (*volatile g_put_byte)(int) = bench_put_byte;

void reset_put() {
    g_put_pos = 0;
    g_put_hash = 0;
    g_put_count = 0;
}

// OpenSSL's DES-ECB through EVP from the legacy provider.
class OpenSslDes {
  public:
    OpenSslDes() {
        m_legacy = OSSL_PROVIDER_load(nullptr, "legacy");
        m_default = OSSL_PROVIDER_load(nullptr, "default");
        if (!m_legacy)
            die("OpenSSL legacy provider unavailable");
        m_cipher = EVP_CIPHER_fetch(nullptr, "DES-ECB", nullptr);
        m_ctx = EVP_CIPHER_CTX_new();
        if (!m_cipher || !m_ctx ||
            !EVP_DecryptInit_ex(m_ctx, m_cipher, nullptr, kPayloadKey, nullptr)) {
            die("OpenSSL DES-ECB unavailable");
        }
        EVP_CIPHER_CTX_set_padding(m_ctx, 0);
    }
    ~OpenSslDes() {
        EVP_CIPHER_CTX_free(m_ctx);
        EVP_CIPHER_free(m_cipher);
        OSSL_PROVIDER_unload(m_legacy);
        if (m_default)
            OSSL_PROVIDER_unload(m_default);
    }
    // Decrypts n bytes (a multiple of 8) in place; EVP allows the output to be the input.
    void decrypt(unsigned char* data, int n) {
        int out = 0;
        EVP_DecryptUpdate(m_ctx, data, &out, data, n);
    }

  private:
    OSSL_PROVIDER* m_legacy = nullptr;
    OSSL_PROVIDER* m_default = nullptr;
    EVP_CIPHER* m_cipher = nullptr;
    EVP_CIPHER_CTX* m_ctx = nullptr;
};

// ---------------------------------------------------------------------------------------------
// DES-ECB: decrypting 64 KiB chunks, as the payload stream does.

constexpr size_t kChunk = 65536;

void bench_des(OpenSslDes& openssl) {
    const size_t total = 16 * kChunk; // one pass: 1 MiB in 16 chunks
    std::vector<unsigned char> data(total);
    std::mt19937 rng(1);
    for (auto& b : data)
        b = static_cast<unsigned char>(rng());

    std::vector<double> mbps =
        race_mbps(total, {[&] {
                              for (size_t off = 0; off < total; off += kChunk) {
                                  des_ecb_crypt(kPayloadKey, data.data() + off,
                                                static_cast<int>(kChunk), VMOD_DES_DECRYPT);
                              }
                              g_sink = data[0];
                          },
                          [&] {
                              for (size_t off = 0; off < total; off += kChunk) {
                                  openssl.decrypt(data.data() + off, static_cast<int>(kChunk));
                              }
                              g_sink = data[0];
                          }});
    double ours = mbps[0], ref = mbps[1];
    print_speed("des_ecb_crypt decrypt, 64 KiB chunks", ours);
    print_speed("OpenSSL EVP DES-ECB decrypt (legacy provider)", ref);
    print_ratio("des_ecb_vs_openssl", ours / ref);
}

} // namespace

namespace {

// ---------------------------------------------------------------------------------------------
// zlib's inflate over a gzip member in memory. Our inflater computes no checksum (the payload
// format has none that the device checks), so the references decode the raw DEFLATE data
// after the member header and skip the CRC-32 as well: the same work on both sides.

// Inflates the member's DEFLATE data, handing every output byte to the callback. Returns the
// count.
size_t zlib_inflate_per_byte(const std::vector<unsigned char>& member) {
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK)
        die("inflateInit2 failed");
    unsigned char out[32768];
    size_t header = gzip_header_length(member);
    z.next_in = const_cast<Bytef*>(member.data() + header);
    z.avail_in = static_cast<uInt>(member.size() - header);
    int (*put)(int) = g_put_byte;
    size_t total = 0;
    int rc;
    do {
        z.next_out = out;
        z.avail_out = sizeof out;
        rc = inflate(&z, Z_NO_FLUSH);
        if (rc != Z_OK && rc != Z_STREAM_END)
            die("zlib inflate failed");
        size_t n = sizeof out - z.avail_out;
        for (size_t i = 0; i < n; ++i)
            put(out[i]);
        total += n;
    } while (rc != Z_STREAM_END);
    inflateEnd(&z);
    return total;
}

// Inflates the member's DEFLATE data straight into memory.
size_t zlib_inflate_plain(const std::vector<unsigned char>& member,
                          std::vector<unsigned char>& out) {
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK)
        die("inflateInit2 failed");
    size_t header = gzip_header_length(member);
    z.next_in = const_cast<Bytef*>(member.data() + header);
    z.avail_in = static_cast<uInt>(member.size() - header);
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    if (inflate(&z, Z_FINISH) != Z_STREAM_END)
        die("zlib inflate failed");
    size_t total = z.total_out;
    inflateEnd(&z);
    return total;
}

// Our header reader and inflater over a gzip member in memory, through a StreamOps table
// whose next_byte reads the member.
const unsigned char* g_mem;
size_t g_mem_len;
size_t g_mem_pos;

int mem_next_byte() {
    return g_mem_pos < g_mem_len ? g_mem[g_mem_pos++] : -1;
}
int mem_unget_byte() {
    return g_mem_pos > 0 ? static_cast<int>(--g_mem_pos) : -1;
}
int mem_peek(int, int) {
    return 0;
}

size_t ours_inflate(const std::vector<unsigned char>& member) {
    g_mem = member.data();
    g_mem_len = member.size();
    g_mem_pos = 0;
    static StreamOps ops;
    ops.unget_byte = mem_unget_byte;
    ops.next_byte = mem_next_byte;
    ops.put_byte = g_put_byte;
    ops.peek_u8 = mem_peek;
    ops.peek_u16 = mem_peek;
    ops.peek_u32 = mem_peek;
    reset_put();
    ziplib_attach(&ops);
    if (ziplib_read_header() != 0)
        die("our header reader refused the member");
    int rc;
    while ((rc = ziplib_pull()) == 0) {
    }
    if (rc != 1)
        die("our inflater failed");
    return g_put_count;
}

void bench_inflate() {
    std::vector<unsigned char> firmware = make_firmware(4 << 20, 42);
    std::string text = make_srecord_text(firmware, 0);
    std::vector<unsigned char> member = gzip_member(text, 9);
    std::printf("inflate material: 4 MiB firmware, %zu bytes of S-record text, gzip -9 %zu bytes\n",
                text.size(), member.size());
    const size_t n = text.size();
    const size_t header = gzip_header_length(member);

    // Every side must produce the text before it is timed.
    reset_put();
    if (zlib_inflate_per_byte(member) != n)
        die("zlib inflated a wrong length");
    unsigned want_hash = g_put_hash;
    if (ours_inflate(member) != n || g_put_hash != want_hash)
        die("our inflater's output differs from zlib's");
    std::vector<unsigned char> out(n + 64);
    if (zlib_inflate_plain(member, out) != n || std::memcmp(out.data(), text.data(), n) != 0)
        die("zlib inflated wrong bytes");

    libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    std::vector<double> mbps =
        race_mbps(n, {[&] {
                          ours_inflate(member);
                          g_sink = g_put_hash;
                      },
                      [&] {
                          reset_put();
                          zlib_inflate_per_byte(member);
                          g_sink = g_put_hash;
                      },
                      [&] { g_sink = static_cast<unsigned>(zlib_inflate_plain(member, out)); },
                      [&] {
                          size_t got = 0;
                          if (libdeflate_deflate_decompress_ex(
                                  d, member.data() + header, member.size() - header, out.data(),
                                  out.size(), nullptr, &got) != LIBDEFLATE_SUCCESS ||
                              got != n) {
                              die("libdeflate failed");
                          }
                          g_sink = out[got - 1];
                      }});
    libdeflate_free_decompressor(d);

    print_speed("ours: ziplib + inflate_step, put_byte (output)", mbps[0]);
    print_speed("zlib inflate, per-byte callback (output)", mbps[1]);
    print_speed("zlib inflate into memory (output)", mbps[2]);
    print_speed("libdeflate into memory (output)", mbps[3]);
    print_ratio("inflate_vs_zlib", mbps[0] / mbps[1]);
    print_ratio("inflate_vs_zlib_plain", mbps[0] / mbps[2]);
    print_ratio("inflate_vs_libdeflate", mbps[0] / mbps[3]);
}

// ---------------------------------------------------------------------------------------------
// The whole payload road: image -> 64 KiB chunks -> DES -> gzip header + inflate -> lines.

// A chunk source over one image in memory, handing out 64 KiB at a time as the package's
// chunk sources do.
const unsigned char* g_image;
uint32_t g_image_size;
uint32_t g_image_pos;

int32_t image_chunk_source(unsigned char* buffer) {
    return payload_copy_chunk(g_image, g_image_size, &g_image_pos, buffer);
}

void use_image(const std::vector<unsigned char>& image) {
    g_image = image.data();
    g_image_size = static_cast<uint32_t>(image.size());
    g_image_pos = 0;
}

// The reference road: OpenSSL DES on each 64 KiB chunk, zlib inflate with every output byte
// through the put_byte-shaped callback into a growing output buffer, and a line reader with
// the payload stream's semantics (line ends swallowed and counted) over that buffer.
class ReferenceStream {
  public:
    explicit ReferenceStream(OpenSslDes& des) : m_des(des) {
        m_chunk.resize(65536 + 16);
        m_out.resize(32768);
    }

    // header: length of the gzip member header, skipped before raw inflation.
    void open(size_t header) {
        std::memset(&m_z, 0, sizeof m_z);
        if (inflateInit2(&m_z, -15) != Z_OK)
            die("inflateInit2 failed");
        m_skip = header;
        m_z.avail_in = 0;
        m_end = false;
        m_len = m_pos = 0;
        s_self = this;
    }
    void close() { inflateEnd(&m_z); }

    int gets(char* buffer, int size) {
        int count = 0;
        while (count < size - 1) {
            int c = getc();
            if (c == -1)
                return count > 0 ? count : -1;
            if (c == '\r' || c == '\n')
                break;
            buffer[count++] = static_cast<char>(c);
            buffer[count] = 0;
        }
        for (int c = peek(); c == '\r' || c == '\n'; c = peek()) {
            getc();
            ++count;
        }
        return count;
    }

  private:
    int peek() {
        if (m_pos == m_len) {
            pull();
            if (m_len == 0)
                return -1;
        }
        return m_out[m_pos];
    }
    int getc() {
        int c = peek();
        if (c != -1)
            ++m_pos;
        return c;
    }

    static int put(int byte) {
        ReferenceStream* s = s_self;
        if (s->m_fill == s->m_out.size())
            s->m_out.resize(s->m_out.size() + 32768);
        s->m_out[s->m_fill++] = static_cast<unsigned char>(byte);
        return static_cast<int>(s->m_fill);
    }

    // Produces the next 32 KiB batch of text (less at the end) through the callback.
    void pull() {
        m_fill = 0;
        m_len = m_pos = 0;
        if (m_end)
            return;
        unsigned char window[32768];
        m_z.next_out = window;
        m_z.avail_out = sizeof window;
        while (m_z.avail_out > 0) {
            if (m_z.avail_in == 0) {
                int n = image_chunk_source(m_chunk.data());
                if (n <= 0)
                    break;
                m_des.decrypt(m_chunk.data(), (n + 7) / 8 * 8);
                size_t skip = std::min(m_skip, static_cast<size_t>(n));
                m_skip -= skip;
                m_z.next_in = m_chunk.data() + skip;
                m_z.avail_in = static_cast<uInt>(n - skip);
            }
            int rc = inflate(&m_z, Z_NO_FLUSH);
            if (rc == Z_STREAM_END) {
                m_end = true;
                break;
            }
            if (rc != Z_OK)
                die("reference inflate failed");
        }
        size_t n = sizeof window - m_z.avail_out;
        int (*cb)(int) = put_hook;
        for (size_t i = 0; i < n; ++i)
            cb(window[i]);
        m_len = m_fill;
    }

    static int (*volatile put_hook)(int);
    static ReferenceStream* s_self;

    OpenSslDes& m_des;
    z_stream m_z;
    std::vector<unsigned char> m_chunk;
    std::vector<unsigned char> m_out;
    size_t m_fill = 0;
    size_t m_len = 0;
    size_t m_pos = 0;
    size_t m_skip = 0;
    bool m_end = false;
};

int (*volatile ReferenceStream::put_hook)(int) = ReferenceStream::put;
ReferenceStream* ReferenceStream::s_self;

struct LineTotals {
    long lines = 0;
    long counted = 0;
    unsigned hash = 0;
};

template <typename Gets> LineTotals read_lines(Gets gets) {
    LineTotals t;
    char line[256];
    int n;
    while ((n = gets(line, sizeof line)) != -1) {
        ++t.lines;
        t.counted += n;
        for (const char* p = line; *p; ++p)
            t.hash = t.hash * 31 + static_cast<unsigned char>(*p);
    }
    return t;
}

// Every line of a sealed image through our payload stream, as the download reads them.
LineTotals stream_lines(const std::vector<unsigned char>& image) {
    use_image(image);
    if (payload_open(image_chunk_source, 65536, "rtog5u3") != 0)
        die("payload_open failed");
    LineTotals t = read_lines([](char* b, int s) { return payload_gets(b, s); });
    payload_close();
    return t;
}

void bench_payload(OpenSslDes& openssl) {
    std::vector<unsigned char> firmware = make_firmware(4 << 20, 42);
    std::string text = make_srecord_text(firmware, 0);
    std::vector<unsigned char> image = gzip_member(text, 9);
    size_t header = gzip_header_length(image);
    seal_payload(image);
    const size_t n = text.size();

    ReferenceStream ref(openssl);
    auto ref_pass = [&] {
        use_image(image);
        ref.open(header);
        LineTotals t = read_lines([&](char* b, int s) { return ref.gets(b, s); });
        ref.close();
        return t;
    };
    LineTotals want = ref_pass();
    auto ours_pass = [&] { return stream_lines(image); };
    LineTotals got = ours_pass();
    if (got.lines != want.lines || got.counted != want.counted || got.hash != want.hash) {
        die("our payload stream's lines differ from the reference's");
    }
    std::vector<double> mbps =
        race_mbps(n, {[&] { g_sink = ours_pass().hash; }, [&] { g_sink = ref_pass().hash; }});
    print_speed("ours: payload stream, payload_gets (text)", mbps[0]);
    print_speed("OpenSSL DES + zlib + line reader (text)", mbps[1]);
    print_ratio("payload_vs_openssl_zlib", mbps[0] / mbps[1]);
}

// The download's check before sending against reading the same payload through the stream
// alone: what reading every line once more, judging its length and its S-record, and
// finding the stream's end costs on top of the decoding.
void bench_preflight() {
    std::vector<unsigned char> firmware = make_firmware(4 << 20, 42);
    std::string text = make_srecord_text(firmware, 0);
    std::vector<unsigned char> image = gzip_member(text, 9);
    seal_payload(image);
    const size_t n = text.size();
    // The header's count as vmod-pack writes it: one more than the lines, so all are sent.
    const int32_t line_count = static_cast<int32_t>(std::count(text.begin(), text.end(), '\n')) + 1;
    const uint32_t image_size = static_cast<uint32_t>(image.size());

    auto stream_pass = [&] { return stream_lines(image); };
    auto check_pass = [&] {
        use_image(image);
        return CheckPayloadImage(image_chunk_source, line_count, image_size, nullptr, nullptr,
                                 nullptr);
    };
    if (stream_pass().lines != line_count - 1)
        die("the payload stream's line count differs from the text's");
    if (check_pass() != PayloadCheckResult::Sound)
        die("the check refused a sound package");
    std::vector<double> mbps =
        race_mbps(n, {[&] { g_sink = stream_pass().hash; },
                      [&] { g_sink = static_cast<unsigned>(check_pass()); }});
    print_speed("payload stream alone, payload_gets (text)", mbps[0]);
    print_speed("the download's check before sending (text)", mbps[1]);
    // Time of the stream alone over the check's time: the same bytes on both sides.
    print_ratio("preflight_vs_payload", mbps[1] / mbps[0]);
}

// The largest buffer the payload stream asked for, seen through its allocator seam: the
// output buffer, which holds the output of the largest single block (in 32 KiB steps).
size_t g_largest_stream_buffer;

void note_stream_buffer(size_t size) {
    g_largest_stream_buffer = std::max(g_largest_stream_buffer, size);
}
void* counting_alloc(size_t size) {
    note_stream_buffer(size);
    return std::malloc(size);
}
void* counting_resize(void* block, size_t size) {
    note_stream_buffer(size);
    return std::realloc(block, size);
}

// Heap peak of decoding a whole image through the payload stream, beyond the image itself.
// It is bounded by the chunk buffer, the output buffer (the largest block's output) and one
// block's lookup tables, whatever the image's size.
void bench_memory() {
    payload_set_allocator(counting_alloc, counting_resize, std::free);
    for (size_t mib : {1, 32}) {
        size_t text_bytes = 0;
        std::vector<unsigned char> image = make_payload_image(mib << 20, 6, &text_bytes);
        use_image(image);
        g_largest_stream_buffer = 0;
        long long base = heap_in_use();
        heap_mark();
        if (payload_open(image_chunk_source, 65536, "rtog5u3") != 0)
            die("payload_open failed");
        LineTotals t = read_lines([](char* b, int s) { return payload_gets(b, s); });
        payload_close();
        long long peak = heap_peak() - base;
        long long left = heap_in_use() - base;
        std::printf("memory image %zu bytes (%zu bytes of text, %ld lines): heap peak %lld bytes "
                    "beyond the image (largest stream buffer %zu), %lld left after close\n",
                    image.size(), text_bytes, t.lines, peak, g_largest_stream_buffer, left);
        std::printf("memory peak_%zuMiB_image %lld\n", mib, peak);
    }
    payload_set_allocator(nullptr, nullptr, nullptr);
}

} // namespace

int main() {
    auto start = Clock::now();
    OpenSslDes openssl;
    bench_des(openssl);
    bench_inflate();
    bench_payload(openssl);
    bench_preflight();
    bench_memory();
    std::printf("total time %.1f s\n", std::chrono::duration<double>(Clock::now() - start).count());
    return 0;
}
