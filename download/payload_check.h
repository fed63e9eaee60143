// How the download reads the lines of a payload image, and the check that reads a whole image
// so before the module hears a word: a package that the download would send only in part, or
// with lines the module cannot program, is refused while the module is still untouched.
//
// Neither needs a window: the check runs on the download's thread, and anywhere else (a
// benchmark, vmod-update's check of the package before any module) over any chunk source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "download/download_protocol.h"
#include "payload/payload_stream.h"

// Whether the download sends a line of `text` characters whole: the first line goes as an
// 80-byte block and must end before its CR LF, every other line goes as its text and CR LF and
// must fit the bytes copied from the line buffer. A read that gave no text sends nothing.
inline bool FirstLineSendable(size_t text) {
    return text != 0 && text <= kFirstLineMaxText;
}
inline bool LaterLineSendable(size_t text) {
    return text != 0 && text <= kLineMaxText;
}

// The line reader over the payload stream that is open, one line per Read.
class PayloadLineReader {
  public:
    // The next line of the stream into Text() (zeroed first, so the bytes after its text are
    // zero); returns its text length, or 0 when there is no line the module may be sent.
    // imageSize bounds the reads that may come back empty before the stream counts as ended.
    size_t Read(uint32_t imageSize);
    // The line just read, NUL-terminated, in a buffer of kLineBufferSize bytes.
    const char* Text() const { return m_line; }

  private:
    char m_line[kLineBufferSize] = {};
};

enum class PayloadCheckResult {
    Sound,      // every line the download sends is whole and an S-record, and the stream
                // ends after its final block
    Unopenable, // payload_open refused the image
    Damaged,    // the download would send a part of the image, or lines the module refuses
    Abandoned,  // the caller asked the check to stop
};

// Why a check did not find its image sound, as one line for standard error.
struct PayloadCheckReport {
    uint32_t line = 0;   // the line at fault, from 1; 0 for the image as a whole
    std::string problem; // what is wrong
};

// Reads an image through the payload stream exactly as a pass of the download will: opened
// over source with kPayloadChunkSize and kPayloadKeyText, its lines read by PayloadLineReader.
// The image is sound when it holds the lineCount - 1 lines a pass sends (the first line alone
// when lineCount is 1), each of them sendable whole (FirstLineSendable, LaterLineSendable)
// and a sound S-record (ParseSrec), and when the stream then ends after its final block (what
// follows the DEFLATE data, the gzip trailer among it, is not read). Lines beyond those sent
// are read but not judged. abandon (may be nullptr) is asked every few hundred lines; when it
// answers true the check stops with Abandoned. The stream is closed on return; the source's
// position is left where the check left it, so the caller rewinds it before the download
// reads the image. report (may be nullptr) receives the fault of a Damaged or Unopenable
// image.
PayloadCheckResult CheckPayloadImage(ChunkSource source, int32_t lineCount, uint32_t imageSize,
                                     bool (*abandon)(void* context), void* context,
                                     PayloadCheckReport* report);
