// The payload stream: chunked reading and decryption, the byte operations the decoding side
// reaches it through, and the byte and line reader over the inflated text.
#include "payload/payload_stream.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "package/firmware_package.h"
#include "payload/des.h"
#include "payload/inflate.h"
#include "payload/ziplib.h"

namespace {

constexpr int32_t kMaxChunk = 65536; // the most a chunk source copies per call
constexpr int32_t kChunkSlack = 16;  // room for the cipher's whole-block overrun
constexpr int32_t kOutStep = 32768;  // output capacity grows in window-sized steps
constexpr int32_t kOutSlack = 16;

enum class State { Closed, Open, Failed };

// The stream of the calling thread. Every thread has its own, so updates on several threads
// decode at once without meeting; the only thing they share is the loaded package, which
// they only read.
thread_local State g_state = State::Closed;
thread_local ChunkSource g_source;
// The key text given to the last open: at most 8 bytes of it, then zeros; byte 9 stays 0.
thread_local unsigned char g_key_text[9];

// The current chunk decrypted in place, in a buffer of chunk size + 16 bytes.
thread_local unsigned char* g_chunk_buf;
thread_local int32_t g_chunk_size;
// Bytes of data in g_chunk_buf: 0 before the first chunk, <= 0 at the end.
thread_local int32_t g_chunk_len;
thread_local int32_t g_chunk_pos; // index of the byte next_byte returns next

thread_local unsigned char* g_out_buf;     // the text of the last pull
thread_local int32_t g_out_cap = kOutStep; // capacity counted for g_out_buf
thread_local int32_t g_out_len;            // bytes the last pull produced
// During a pull: the next write; between pulls: the next byte to hand out.
thread_local int32_t g_out_pos;
thread_local int32_t g_end_status; // result of the last pull; nonzero ends the decoding
// Set when the output buffer could not grow: from then on nothing more is stored, and the
// stream ends after handing out what reached the buffer, rather than carry on with a gap.
thread_local bool g_out_failed;
// Set when the chunk source has reported the end of the image.
thread_local bool g_source_ended;
thread_local int g_end_state; // payload_end_state

thread_local StreamOps g_ops;

thread_local ChunkReadOffsets t_read_offsets;

// A thread that ends with its stream still open gets its buffers released here, so that an
// update whose thread returns early leaves nothing behind. Armed by the thread's first open.
struct CloseAtThreadEnd {
    bool armed = false;
    ~CloseAtThreadEnd() {
        if (armed) {
            payload_close();
        }
    }
};
thread_local CloseAtThreadEnd t_close_at_end;

// The allocator is process-wide on purpose: it is a test seam (payload_set_allocator), set
// before the code under test runs and read by every thread's stream.
void* (*g_alloc)(size_t) = std::malloc;
void* (*g_resize)(void*, size_t) = std::realloc;
void (*g_release)(void*) = std::free;

// Counters wrap instead of overflowing on images beyond 2 GiB of text.
inline int32_t wrap_add(int32_t v, int32_t d) {
    return static_cast<int32_t>(static_cast<uint32_t>(v) + static_cast<uint32_t>(d));
}

int unget_byte() {
    // The previous chunk is gone: stepping back across a chunk boundary is not possible.
    if (g_chunk_pos <= 0) {
        return -1;
    }
    g_ops.bytes_in = wrap_add(g_ops.bytes_in, -1);
    g_chunk_pos--;
    return g_chunk_pos;
}

int next_byte() {
    if (g_chunk_pos >= g_chunk_len) {
        g_chunk_pos = 0;
        g_chunk_len = g_source(g_chunk_buf);
        if (g_chunk_len <= 0) {
            g_source_ended = true;
            return -1;
        }
        if (g_chunk_len > g_chunk_size) {
            g_chunk_len = g_chunk_size; // a source breaking its contract is not read past
        }
        des_ecb_crypt(g_key_text, g_chunk_buf, g_chunk_len, VMOD_DES_DECRYPT);
    }
    g_ops.bytes_in = wrap_add(g_ops.bytes_in, 1);
    return g_chunk_buf[g_chunk_pos++];
}

int put_byte(int value) {
    if (g_out_failed) {
        return -1;
    }
    if (g_out_pos >= g_out_cap) {
        void* grown = nullptr;
        if (g_out_cap <= INT32_MAX - kOutStep) {
            grown = g_resize(g_out_buf, static_cast<size_t>(g_out_cap) + kOutStep);
        }
        if (grown == nullptr) {
            // The old buffer is still ours and still holds the text so far.
            g_out_failed = true;
            return -1;
        }
        g_out_buf = static_cast<unsigned char*>(grown);
        g_out_cap += kOutStep;
    }
    g_out_buf[g_out_pos++] = static_cast<unsigned char>(value);
    if (g_out_pos < g_out_cap) {
        g_out_buf[g_out_pos] = 0;
    }
    g_ops.bytes_out = wrap_add(g_ops.bytes_out, 1);
    return g_out_pos;
}

// The peeks address bytes of the current chunk; outside the chunk buffer they give -1.
bool chunk_range(int offset, int from_position, int width, int* start) {
    long long at = static_cast<long long>(offset) + (from_position ? g_chunk_pos : 0);
    if (g_chunk_buf == nullptr || at < 0 || at + width > g_chunk_size + kChunkSlack) {
        return false;
    }
    *start = static_cast<int>(at);
    return true;
}

int peek_u8(int offset, int from_position) {
    int at;
    return chunk_range(offset, from_position, 1, &at) ? g_chunk_buf[at] : -1;
}

int peek_u16(int offset, int from_position) {
    int at;
    if (!chunk_range(offset, from_position, 2, &at)) {
        return -1;
    }
    return g_chunk_buf[at] | (g_chunk_buf[at + 1] << 8);
}

int peek_u32(int offset, int from_position) {
    int at;
    if (!chunk_range(offset, from_position, 4, &at)) {
        return -1;
    }
    uint32_t v = static_cast<uint32_t>(g_chunk_buf[at]) |
                 (static_cast<uint32_t>(g_chunk_buf[at + 1]) << 8) |
                 (static_cast<uint32_t>(g_chunk_buf[at + 2]) << 16) |
                 (static_cast<uint32_t>(g_chunk_buf[at + 3]) << 24);
    return static_cast<int>(v);
}

// Decodes the next block into the output buffer, unless the decoding has ended. Afterwards
// out_len is what the pull produced (0 when none was made) and out_pos is 0.
int payload_refill() {
    if (g_end_status != 0) {
        g_out_len = 0;
        g_out_pos = 0;
        return g_end_status;
    }
    g_out_pos = 0;
    g_end_status = ziplib_pull();
    if (g_out_failed && g_end_status == 0) {
        g_end_status = -1;
    }
    if (g_end_status != 0) {
        // A data error and the final block share the inflater's result; the inflater tells
        // them apart. Input that ran out is what a data error at the image's end comes from.
        if (inflate_final_block_done() && !g_out_failed) {
            g_end_state = PAYLOAD_END_FINAL;
        } else {
            g_end_state = g_source_ended ? PAYLOAD_END_TRUNCATED : PAYLOAD_END_ERROR;
        }
    }
    g_out_len = g_out_pos;
    g_out_pos = 0;
    return g_end_status;
}

inline bool is_line_end(int c) {
    return c == '\r' || c == '\n';
}

} // namespace

void payload_set_allocator(void* (*alloc)(size_t), void* (*resize)(void*, size_t),
                           void (*release)(void*)) {
    if (alloc == nullptr || resize == nullptr || release == nullptr) {
        g_alloc = std::malloc;
        g_resize = std::realloc;
        g_release = std::free;
    } else {
        g_alloc = alloc;
        g_resize = resize;
        g_release = release;
    }
}

int32_t payload_copy_chunk(const unsigned char* image, uint32_t size, uint32_t* position,
                           unsigned char* buffer) {
    uint32_t pos = *position;
    if (pos >= size) {
        // Equal at the end; a position beyond the size (never set by this rule) ends too.
        return -1;
    }
    uint32_t n = size - pos < static_cast<uint32_t>(kMaxChunk) ? size - pos : kMaxChunk;
    std::memcpy(buffer, image + pos, n);
    *position = pos + n;
    return static_cast<int32_t>(n);
}

ChunkReadOffsets& payload_read_offsets() {
    return t_read_offsets;
}

int32_t main_chunk_source(unsigned char* buffer) {
    return payload_copy_chunk(g_firmwarePackage.mainImage.get(), g_firmwarePackage.mainImageSize,
                              &t_read_offsets.mainReadOffset, buffer);
}

int32_t boot_chunk_source(unsigned char* buffer) {
    return payload_copy_chunk(g_firmwarePackage.bootImage.get(), g_firmwarePackage.bootImageSize,
                              &t_read_offsets.bootReadOffset, buffer);
}

int payload_open(ChunkSource source, int32_t chunk_size, const char* key_text) {
    g_state = State::Failed;
    g_end_state = PAYLOAD_END_ERROR;
    g_source_ended = false;
    if (source == nullptr || key_text == nullptr || chunk_size < kMaxChunk ||
        chunk_size > INT32_MAX - kChunkSlack) {
        return -1;
    }

    t_close_at_end.armed = true;
    if (g_chunk_buf != nullptr) {
        g_release(g_chunk_buf);
    }
    g_chunk_buf =
        static_cast<unsigned char*>(g_alloc(static_cast<size_t>(chunk_size) + kChunkSlack));
    if (g_chunk_buf == nullptr) {
        return -1;
    }
    g_chunk_size = chunk_size;
    std::memset(g_chunk_buf, 0, static_cast<size_t>(chunk_size));

    if (g_out_buf == nullptr) {
        // No output buffer means the capacity is at its starting value.
        g_out_cap = kOutStep;
        g_out_buf =
            static_cast<unsigned char*>(g_alloc(static_cast<size_t>(g_out_cap) + kOutSlack));
        if (g_out_buf == nullptr) {
            return -1;
        }
    }
    std::memset(g_out_buf, 0, static_cast<size_t>(g_out_cap));

    g_chunk_len = 0;
    g_chunk_pos = 0;
    g_out_len = 0;
    g_out_pos = 0;
    g_end_status = 0;
    g_out_cap = kOutStep;
    g_out_failed = false;

    g_source = source;
    std::memset(g_key_text, 0, sizeof g_key_text);
    for (int i = 0; i < 8 && key_text[i] != '\0'; i++) {
        g_key_text[i] = static_cast<unsigned char>(key_text[i]);
    }

    g_ops.unget_byte = unget_byte;
    g_ops.next_byte = next_byte;
    g_ops.put_byte = put_byte;
    g_ops.peek_u8 = peek_u8;
    g_ops.peek_u16 = peek_u16;
    g_ops.peek_u32 = peek_u32;
    g_ops.bytes_in = 0;
    g_ops.bytes_out = 0;

    ziplib_attach(&g_ops);
    if (ziplib_read_header() < 0) {
        return -1;
    }
    g_state = State::Open;
    g_end_state = PAYLOAD_END_NONE;
    return 0;
}

void payload_close() {
    if (g_chunk_buf != nullptr) {
        g_release(g_chunk_buf);
        g_chunk_buf = nullptr;
    }
    if (g_out_buf != nullptr) {
        g_release(g_out_buf);
        g_out_buf = nullptr;
    }
    g_chunk_len = 0;
    g_chunk_pos = 0;
    g_out_len = 0;
    g_out_pos = 0;
    g_out_cap = kOutStep;
    g_state = State::Closed;
    g_end_state = PAYLOAD_END_NONE;
}

int payload_end_state() {
    return g_end_state;
}

const char* payload_end_reason(int end_state) {
    switch (end_state) {
    case PAYLOAD_END_TRUNCATED:
        return "the stream ended before its final block";
    case PAYLOAD_END_ERROR:
        return "the inflater reported an error";
    default:
        return nullptr;
    }
}

int payload_peek() {
    if (g_state != State::Open) {
        return -1;
    }
    if (g_out_pos == g_out_len) {
        payload_refill();
        if (g_out_len == 0) {
            return -1;
        }
        g_out_pos = 0;
    }
    return g_out_buf[g_out_pos];
}

int payload_getc() {
    int c = payload_peek();
    if (c != -1) {
        g_out_pos++;
    }
    return c;
}

int payload_gets(char* buffer, int32_t size) {
    const int32_t room = size > 0 ? size - 1 : 0;
    int32_t stored = 0;
    int c = 0;
    while (stored < room) {
        // Bytes already decoded are scanned in place; payload_getc decodes more when needed.
        if (g_state == State::Open && g_out_pos < g_out_len) {
            c = g_out_buf[g_out_pos++];
        } else {
            c = payload_getc();
        }
        if (c == -1 || is_line_end(c)) {
            break;
        }
        buffer[stored++] = static_cast<char>(c);
    }
    // The text stays NUL-terminated; a call that stored nothing leaves the buffer alone.
    if (stored > 0) {
        buffer[stored] = '\0';
    }
    if (c == -1) {
        return stored > 0 ? stored : -1;
    }
    int32_t count = stored;
    while (count < INT32_MAX && is_line_end(payload_peek())) {
        payload_getc();
        count++;
    }
    return count;
}
