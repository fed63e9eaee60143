// The payload stream: one payload image turned into its S-record text, read byte by byte or
// line by line.
//
// The image is pulled from a chunk source in chunks of up to 64 KiB, each chunk decrypted in
// place (des_ecb_crypt), the gzip member header checked once at open (ziplib), and the
// DEFLATE data inflated one block each time the text handed out so far is used up. The stream
// belongs to the calling thread: one stream per thread, one image at a time on it, and every
// call acts on the caller's own stream (as do ziplib, the inflater and the DES key cache
// below it). Updates on several threads therefore decode at once, each over its own image or
// the same one; the loaded package they read is shared and read-only.
//
// States: Closed (at start and after payload_close), Open (after a successful open),
// Draining (the inflater has ended: what it delivered is still handed out, then every read
// returns -1 without decoding further) and Failed (after a failed open). Reads in Closed and
// Failed return -1.
#pragma once

#include <cstddef>
#include <cstdint>

// Copies the next 1 to 65536 bytes of its image into buffer and returns the count, or
// returns -1 once the image is exhausted (a count of 0 is taken as exhausted too). Never
// copies more than 65536 bytes, so it is paired with a chunk size of at least 65536.
typedef int32_t (*ChunkSource)(unsigned char* buffer);

// The chunk rule both sources of the firmware package follow, over an image of size bytes
// whose next byte to hand out is *position (unsigned comparisons): -1 when *position equals
// size, else up to 65536 bytes from *position, advancing it. The position never goes back:
// an image whose size is a multiple of 65536 ends with a full chunk, and the call after it
// returns -1.
int32_t payload_copy_chunk(const unsigned char* image, uint32_t size, uint32_t* position,
                           unsigned char* buffer);

// Where the two chunk sources of the calling thread stand in the loaded package's images. The
// package itself is shared and never written after LoadPackage; each thread that reads it
// keeps its own positions here, so updates on different threads read the same images
// independently. Both are 0 when a thread starts.
struct ChunkReadOffsets {
    uint32_t mainReadOffset = 0; // next byte the main chunk source hands out
    uint32_t bootReadOffset = 0; // the same for the boot-block image
};

// This thread's positions in the two images.
ChunkReadOffsets& payload_read_offsets();

// The two chunk sources of the loaded firmware package (g_firmwarePackage): the main image
// and the boot-block image, each from this thread's read offset (payload_read_offsets), by
// the rule of payload_copy_chunk. They never reset their offsets; the download worker sets
// mainReadOffset back to 0 before it opens the stream over the main image.
int32_t main_chunk_source(unsigned char* buffer);
int32_t boot_chunk_source(unsigned char* buffer);

// Opens the stream over a chunk source. chunk_size is the chunk buffer's size (at least
// 65536); key_text is NUL-terminated and its first 8 bytes (zero-padded) are the DES key of
// every chunk. Reads and checks the gzip member header, which already fetches and decrypts
// the first chunk. Returns 0, or -1 when a buffer cannot be allocated, the arguments are
// unusable or the header is rejected (ziplib's diagnostic is then on standard error).
// Works with or without a payload_close before it.
int payload_open(ChunkSource source, int32_t chunk_size, const char* key_text);

// Releases both buffers; the stream is Closed. Harmless when already closed.
void payload_close();

// The next text byte as 0..255 without consuming it, or -1 when none is available. May
// decode one block first; a block that delivers nothing yet makes this call return -1 and
// the next call decode the following block.
int payload_peek();

// The next text byte as 0..255, consumed, or -1 as payload_peek.
int payload_getc();

// Reads one line into buffer (size bytes, so at most size - 1 text bytes and a NUL). Line
// ends (CR, LF) are neither stored nor counted except: the line end that stopped the read is
// consumed, and every CR or LF right after it is consumed and counted. So a line ending in
// CR LF returns its text length + 1, one ending in a lone CR or LF its text length, and
// empty lines are swallowed into the line before them. A line longer than size - 1 comes in
// pieces. Returns the count, or -1 when no byte was available. A call that stores nothing
// leaves the buffer unchanged.
int payload_gets(char* buffer, int32_t size);

// How the stream's decoding ended, as payload_end_state reports it.
constexpr int PAYLOAD_END_NONE = 0;       // not ended: more blocks may follow
constexpr int PAYLOAD_END_FINAL = 1;      // the final block was decoded and its text delivered
constexpr int PAYLOAD_END_ERROR = -1;     // the inflater reported an error (a bad code, a
                                          // table it could not build, input it could not
                                          // hand back), or the text outgrew the memory
constexpr int PAYLOAD_END_TRUNCATED = -2; // the image ran out before the final block

// How the decoding of the stream this thread opened last has ended, set when a pull sees the
// inflater's result: PAYLOAD_END_NONE while blocks may follow, else one of the three ends above.
// Text a stream ended with is still handed out, so the text is complete only once a read has
// returned -1 and this is PAYLOAD_END_FINAL. The gzip trailer plays no part. After a failed
// open PAYLOAD_END_ERROR; after payload_close PAYLOAD_END_NONE.
int payload_end_state();

// Why a stream with this end state left its text short, as words for a one-line diagnostic;
// nullptr when it has not ended or ended after its final block.
const char* payload_end_reason(int end_state);

// Test seam: the allocator behind the chunk and output buffers. nullptr for any restores
// malloc, realloc and free. Process-wide, unlike the streams: set it before any thread opens
// a stream, and restore it after every such stream is closed.
void payload_set_allocator(void* (*alloc)(size_t), void* (*resize)(void*, size_t),
                           void (*release)(void*));
