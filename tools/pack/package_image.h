// The package files as vmod-pack makes and reads them: S-record text sealed into a payload
// image, the 20-byte header, and the two independent ways back from an image to its text
// (the tool's own payload stream, and zlib over the whole decrypted image).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "download/download_protocol.h"
#include "platform/cstring.h"

namespace vmod_pack {

using Bytes = std::vector<unsigned char>;

// Images are sealed under the download's key text (kPayloadKeyText) and read back as the
// download reads them: chunks of kPayloadChunkSize, lines into kLineBufferSize bytes. Lines
// are held to the lengths the download sends whole (kFirstLineMaxText, kLineMaxText).

// A header file: 8 bytes of line count, 12 of version field; nothing after byte 20 is read.
constexpr size_t kHeaderSize = 20;
constexpr size_t kCountFieldSize = 8;
constexpr size_t kVersionFieldSize = 12;
constexpr int32_t kMaxHeaderCount = 99999999; // 8 decimal digits

// Decoded text beyond this is refused by inspect and verify: no firmware comes near it, and a
// crafted image could otherwise inflate without bound into memory.
constexpr size_t kMaxDecodedText = size_t{256} << 20;

// Packs a version text into the header's version field: the decimal whose hexadecimal digit
// pairs are the text's character codes, which the loader turns back into exactly this text.
// The text must be 1 to 4 printable ASCII characters (more do not fit a positive signed
// 32-bit value; a control character would not come back as the same text). Returns false
// with a reason otherwise.
bool PackVersionText(const std::string& text, std::string* decimal, std::string* problem);

// True when the version check reads a nonzero number from the display text, as the dialog
// does with wcstod; a text that reads as 0 makes the package older than any module.
bool VersionReadsAsNumber(const CString& shown);

// The 20-byte header: count as 8 ASCII digits (0..kMaxHeaderCount), then the version decimal
// NUL-padded to 12 bytes (a longer decimal is cut at 12).
Bytes EncodeHeader(int32_t count, const std::string& decimal);

// A header file as the loader reads it: bytes missing from a short file read as NUL.
struct HeaderFields {
    int32_t count = 0;        // the line count field, parsed as the loader parses it
    std::string versionField; // the version field's bytes up to the first NUL, at most 12
    CString shown;            // the display text the dialog shows
};
HeaderFields ParseHeader(const std::string& bytes);

// Splits S-record source text into lines. CR LF and LF line ends are accepted (a last line
// without an end too); a lone CR, an empty line or a NUL is refused, because the download's
// line reader would merge or cut such lines. Returns false with a reason beginning
// "line N: ".
bool SplitSourceLines(const std::string& text, std::vector<std::string>* lines,
                      std::string* problem);

// How one image is sealed. Every block but the last ends exactly at a multiple of 32768
// bytes of text, so that each pull of the payload stream delivers a full window: the stream
// hands out nothing in a pull whose block leaves the window short of full, and the download's
// line reader would then return a line cut short.
struct SealSettings {
    int level = 9;           // zlib level; 0 gives stored blocks, which always line up
    int extraLength = -1;    // -1: no FEXTRA field; else an FEXTRA field of this many bytes
                             // (it moves the DEFLATE data against the 64 KiB chunks)
    bool alignBlocks = true; // false: blocks end wherever zlib ends them
    int memLevel = 9;        // zlib's memory level; 9 lets a block hold 32767 symbols
};

// Seals text as a payload image with the given settings: one gzip member made with zlib
// (time 0, no name), zero-padded to a multiple of 8 bytes, encrypted with DES-ECB under the
// payload key. False with a reason when zlib fails.
bool SealPayloadWith(const std::string& text, const SealSettings& settings, Bytes* image,
                     std::string* problem);

// Seals text so that the download reads it back exactly: compressed at level 9, or, should
// the payload stream not hand that image's every byte out in order and without a pause, in
// stored blocks. False with a reason when neither reads back.
bool SealPayload(const std::string& text, Bytes* image, std::string* problem);

// What the independent decoder finds in an image: decrypted whole, the gzip member parsed by
// RFC 1952, the DEFLATE data inflated by zlib, the trailer compared with the text.
struct GzipCheck {
    bool headerOk = false;  // the member header parsed
    bool inflated = false;  // zlib reached the end of the DEFLATE data
    bool trailerOk = false; // trailer present, CRC-32 and ISIZE match the text
    std::string problem;    // the first fault, when any
    std::string text;       // the text zlib produced, as far as it got
    size_t memberSize = 0;  // bytes of the member (header, data, trailer) when inflated
};
GzipCheck UnsealWithZlib(const Bytes& image);

// What the payload stream did while one image was read through it.
struct StreamReport {
    bool opened = false;        // payload_open accepted the image
    bool capped = false;        // reading stopped at the sink's limit
    size_t delivered = 0;       // bytes handed out
    std::vector<size_t> pauses; // text offsets at which a read returned -1 and more followed
    int endState = 0;           // payload_end_state when reading stopped: PAYLOAD_END_FINAL
                                // for a text the stream handed out whole
};

// Decodes an image through the payload stream exactly as the download reads it: opens the
// stream over the image with the payload key and chunk size and hands every byte
// payload_getc returns to sink, in order, until the stream has ended. sink returns false to
// stop early. A read that returns -1 ends the text only once the decoder makes no further
// progress: a pull that decodes a block without filling the window hands out nothing, and
// the next read goes on (such a pause is recorded). Returns false when the stream cannot be
// opened (ziplib's diagnostic is then on standard error).
using StreamSink = bool (*)(const char* data, size_t n, void* ctx);
bool DecodeThroughStream(const Bytes& image, StreamSink sink, void* ctx, StreamReport* report);
// The same into a string, stopping after limit bytes (report->capped).
bool DecodeThroughStream(const Bytes& image, std::string* text, StreamReport* report,
                         size_t limit = kMaxDecodedText);

// The lines the download reads from a text that the stream hands out without pauses, by the
// line reader's rules with a 256-byte buffer: line ends dropped, empty lines swallowed into
// the line before, lines longer than 255 characters in pieces.
std::vector<std::string> DeviceLines(const std::string& text);

// Whole-file reading and writing; false with a reason naming the path.
bool ReadWholeFile(const std::string& path, std::string* data, std::string* problem);
bool WriteWholeFile(const std::string& path, const void* data, size_t n, std::string* problem);

} // namespace vmod_pack
