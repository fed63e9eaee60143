// The payload stream: chunked reading and decryption, the byte operations the decoding side
// reaches it through, and the byte and line reader over the inflated text.
#include "payload/payload_stream.h"

#include <algorithm>
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

// A stream's state. Each thread has one, so updates on several threads decode at once without
// meeting; the only thing they share is the loaded package, which they only read.
struct Stream {
    State state = State::Closed;
    ChunkSource source = nullptr;
    // The key text given to the last open: at most 8 bytes of it, then zeros; byte 9 stays 0.
    unsigned char key_text[9] = {};

    // The current chunk decrypted in place, in a buffer of chunk size + 16 bytes.
    unsigned char* chunk_buf = nullptr;
    int32_t chunk_size = 0;
    // Bytes of data in chunk_buf: 0 before the first chunk, <= 0 at the end.
    int32_t chunk_len = 0;
    int32_t chunk_pos = 0; // index of the byte next_byte returns next

    unsigned char* out_buf = nullptr; // the text of the last pull
    int32_t out_cap = kOutStep;       // capacity counted for out_buf
    int32_t out_len = 0;              // bytes the last pull produced
    // During a pull: the next write; between pulls: the next byte to hand out.
    int32_t out_pos = 0;
    int32_t end_status = 0; // result of the last pull; nonzero ends the decoding
    // Set when the output buffer could not grow: from then on nothing more is stored, and the
    // stream ends after handing out what reached the buffer, rather than carry on with a gap.
    bool out_failed = false;
    // Set when the chunk source has reported the end of the image.
    bool source_ended = false;
    int end_state = PAYLOAD_END_NONE; // payload_end_state

    StreamOps ops = {};
};

constinit thread_local Stream t_stream_storage;
constinit thread_local Stream* t_stream = nullptr;

[[gnu::noinline, gnu::cold]] Stream& first_use_of_thread_stream() {
    t_stream = &t_stream_storage;
    return *t_stream;
}

// This thread's stream, taken once at the top of every function. It is reached through a
// pointer rather than by naming t_stream_storage: named, every field access becomes an access
// relative to the thread segment, and storing and reloading the positions that way between
// the per-byte callbacks cost the stream nearly a third of its speed in vmod-bench. Through
// the pointer the fields are plain memory off a register.
[[gnu::always_inline]] inline Stream& this_thread_stream() {
    Stream* s = t_stream;
    return s != nullptr ? *s : first_use_of_thread_stream();
}

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
    Stream& s = this_thread_stream();
    // The previous chunk is gone: stepping back across a chunk boundary is not possible.
    if (s.chunk_pos <= 0) {
        return -1;
    }
    s.ops.bytes_in = wrap_add(s.ops.bytes_in, -1);
    s.chunk_pos--;
    return s.chunk_pos;
}

int next_byte() {
    Stream& s = this_thread_stream();
    if (s.chunk_pos >= s.chunk_len) {
        s.chunk_pos = 0;
        s.chunk_len = s.source(s.chunk_buf);
        if (s.chunk_len <= 0) {
            s.source_ended = true;
            return -1;
        }
        if (s.chunk_len > s.chunk_size) {
            s.chunk_len = s.chunk_size; // a source breaking its contract is not read past
        }
        des_ecb_crypt(s.key_text, s.chunk_buf, s.chunk_len, VMOD_DES_DECRYPT);
    }
    s.ops.bytes_in = wrap_add(s.ops.bytes_in, 1);
    return s.chunk_buf[s.chunk_pos++];
}

// Grows the output buffer by one step; false (and out_failed set) when it cannot.
[[gnu::noinline, gnu::cold]] bool grow_output(Stream& s) {
    void* grown = nullptr;
    if (s.out_cap <= INT32_MAX - kOutStep) {
        grown = g_resize(s.out_buf, static_cast<size_t>(s.out_cap) + kOutStep);
    }
    if (grown == nullptr) {
        // The old buffer is still ours and still holds the text so far.
        s.out_failed = true;
        return false;
    }
    s.out_buf = static_cast<unsigned char*>(grown);
    s.out_cap += kOutStep;
    return true;
}

int put_byte(int value) {
    Stream& s = this_thread_stream();
    if (s.out_failed) {
        return -1;
    }
    if (s.out_pos >= s.out_cap && !grow_output(s)) {
        return -1;
    }
    // The fields are read before the byte stores, which could alias them, and written once.
    unsigned char* out = s.out_buf;
    const int32_t cap = s.out_cap;
    int32_t pos = s.out_pos;
    out[pos++] = static_cast<unsigned char>(value);
    if (pos < cap) {
        out[pos] = 0;
    }
    s.out_pos = pos;
    s.ops.bytes_out = wrap_add(s.ops.bytes_out, 1);
    return pos;
}

// The peeks address bytes of the current chunk; outside the chunk buffer they give -1.
bool chunk_range(int offset, int from_position, int width, int* start) {
    Stream& s = this_thread_stream();
    long long at = static_cast<long long>(offset) + (from_position ? s.chunk_pos : 0);
    if (s.chunk_buf == nullptr || at < 0 || at + width > s.chunk_size + kChunkSlack) {
        return false;
    }
    *start = static_cast<int>(at);
    return true;
}

int peek_u8(int offset, int from_position) {
    Stream& s = this_thread_stream();
    int at;
    return chunk_range(offset, from_position, 1, &at) ? s.chunk_buf[at] : -1;
}

int peek_u16(int offset, int from_position) {
    Stream& s = this_thread_stream();
    int at;
    if (!chunk_range(offset, from_position, 2, &at)) {
        return -1;
    }
    return s.chunk_buf[at] | (s.chunk_buf[at + 1] << 8);
}

int peek_u32(int offset, int from_position) {
    Stream& s = this_thread_stream();
    int at;
    if (!chunk_range(offset, from_position, 4, &at)) {
        return -1;
    }
    uint32_t v = static_cast<uint32_t>(s.chunk_buf[at]) |
                 (static_cast<uint32_t>(s.chunk_buf[at + 1]) << 8) |
                 (static_cast<uint32_t>(s.chunk_buf[at + 2]) << 16) |
                 (static_cast<uint32_t>(s.chunk_buf[at + 3]) << 24);
    return static_cast<int>(v);
}

// Decodes the next block into the output buffer, unless the decoding has ended. Afterwards
// out_len is what the pull produced (0 when none was made) and out_pos is 0.
int payload_refill() {
    Stream& s = this_thread_stream();
    if (s.end_status != 0) {
        s.out_len = 0;
        s.out_pos = 0;
        return s.end_status;
    }
    s.out_pos = 0;
    s.end_status = ziplib_pull();
    if (s.out_failed && s.end_status == 0) {
        s.end_status = -1;
    }
    if (s.end_status != 0) {
        // A data error and the final block share the inflater's result; the inflater tells
        // them apart. Input that ran out is what a data error at the image's end comes from.
        if (inflate_final_block_done() && !s.out_failed) {
            s.end_state = PAYLOAD_END_FINAL;
        } else {
            s.end_state = s.source_ended ? PAYLOAD_END_TRUNCATED : PAYLOAD_END_ERROR;
        }
    }
    s.out_len = s.out_pos;
    s.out_pos = 0;
    return s.end_status;
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
    Stream& s = this_thread_stream();
    s.state = State::Failed;
    s.end_state = PAYLOAD_END_ERROR;
    s.source_ended = false;
    if (source == nullptr || key_text == nullptr || chunk_size < kMaxChunk ||
        chunk_size > INT32_MAX - kChunkSlack) {
        return -1;
    }

    t_close_at_end.armed = true;
    if (s.chunk_buf != nullptr) {
        g_release(s.chunk_buf);
    }
    s.chunk_buf =
        static_cast<unsigned char*>(g_alloc(static_cast<size_t>(chunk_size) + kChunkSlack));
    if (s.chunk_buf == nullptr) {
        return -1;
    }
    s.chunk_size = chunk_size;
    std::memset(s.chunk_buf, 0, static_cast<size_t>(chunk_size));

    if (s.out_buf == nullptr) {
        // No output buffer means the capacity is at its starting value.
        s.out_cap = kOutStep;
        s.out_buf =
            static_cast<unsigned char*>(g_alloc(static_cast<size_t>(s.out_cap) + kOutSlack));
        if (s.out_buf == nullptr) {
            return -1;
        }
    }
    std::memset(s.out_buf, 0, static_cast<size_t>(s.out_cap));

    s.chunk_len = 0;
    s.chunk_pos = 0;
    s.out_len = 0;
    s.out_pos = 0;
    s.end_status = 0;
    s.out_cap = kOutStep;
    s.out_failed = false;

    s.source = source;
    std::memset(s.key_text, 0, sizeof s.key_text);
    for (int i = 0; i < 8 && key_text[i] != '\0'; i++) {
        s.key_text[i] = static_cast<unsigned char>(key_text[i]);
    }

    s.ops.unget_byte = unget_byte;
    s.ops.next_byte = next_byte;
    s.ops.put_byte = put_byte;
    s.ops.peek_u8 = peek_u8;
    s.ops.peek_u16 = peek_u16;
    s.ops.peek_u32 = peek_u32;
    s.ops.bytes_in = 0;
    s.ops.bytes_out = 0;

    ziplib_attach(&s.ops);
    if (ziplib_read_header() < 0) {
        return -1;
    }
    s.state = State::Open;
    s.end_state = PAYLOAD_END_NONE;
    return 0;
}

void payload_close() {
    Stream& s = this_thread_stream();
    if (s.chunk_buf != nullptr) {
        g_release(s.chunk_buf);
        s.chunk_buf = nullptr;
    }
    if (s.out_buf != nullptr) {
        g_release(s.out_buf);
        s.out_buf = nullptr;
    }
    s.chunk_len = 0;
    s.chunk_pos = 0;
    s.out_len = 0;
    s.out_pos = 0;
    s.out_cap = kOutStep;
    s.state = State::Closed;
    s.end_state = PAYLOAD_END_NONE;
}

int payload_end_state() {
    return this_thread_stream().end_state;
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
    Stream& s = this_thread_stream();
    if (s.state != State::Open) {
        return -1;
    }
    if (s.out_pos == s.out_len) {
        payload_refill();
        if (s.out_len == 0) {
            return -1;
        }
        s.out_pos = 0;
    }
    return s.out_buf[s.out_pos];
}

int payload_getc() {
    Stream& s = this_thread_stream();
    int c = payload_peek();
    if (c != -1) {
        s.out_pos++;
    }
    return c;
}

int payload_gets(char* buffer, int32_t size) {
    Stream& s = this_thread_stream();
    const int32_t room = size > 0 ? size - 1 : 0;
    int32_t stored = 0;
    int c = 0;
    while (stored < room) {
        if (s.state == State::Open && s.out_pos < s.out_len) {
            // Bytes already decoded are scanned in place, the position held in a register:
            // the stores into buffer could otherwise alias the stream's fields.
            const unsigned char* out = s.out_buf;
            int32_t pos = s.out_pos;
            const int32_t stop = pos + std::min(s.out_len - pos, room - stored);
            bool ended = false;
            while (pos < stop) {
                c = out[pos++];
                if (is_line_end(c)) {
                    ended = true;
                    break;
                }
                buffer[stored++] = static_cast<char>(c);
            }
            s.out_pos = pos;
            if (ended) {
                break;
            }
            continue;
        }
        // Nothing decoded is left: payload_getc decodes more.
        c = payload_getc();
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
