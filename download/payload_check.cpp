#include "download/payload_check.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "package/srec.h"

// payload_gets answers -1 once after a pull that decoded a block without delivering text,
// and for good at the stream's end; as every block takes at least one byte of the image,
// more empty answers than the image has bytes mean the end. Such a block can also fall
// inside a line (or between its CR and LF): the read then returns the line's first piece
// without its line end, which the next read continues (a read that stores nothing but a
// line end completes it). A piece that came without CR LF and is followed by a record's
// start was a whole line with a lone CR or LF: such a payload is refused rather than sent
// with guessed line ends. The stream's last line may end without a line end.
//
// A line with a NUL byte inside is refused: the copy to the send area would end it there.
// Any byte after a piece's first NUL that is not zero was stored by the read.
size_t PayloadLineReader::Read(uint32_t imageSize) {
    std::memset(m_line, 0, sizeof m_line);
    size_t length = 0;
    bool waitingForRest = false;
    uint64_t empty = 0;
    while (length < sizeof m_line - 1) {
        int count = payload_gets(m_line + length, static_cast<int32_t>(sizeof m_line - length));
        if (count == -1) {
            if (++empty > imageSize)
                break;
            continue;
        }
        size_t piece = std::strlen(m_line + length);
        // Or-ed rather than searched, so that the look at every line's tail stays cheap.
        unsigned char stray = 0;
        for (size_t i = length + piece; i < sizeof m_line; ++i)
            stray |= static_cast<unsigned char>(m_line[i]);
        if (stray != 0)
            return 0;
        if (waitingForRest && piece > 0 && m_line[length] == kRecordStart)
            return 0;
        length += piece;
        if (static_cast<size_t>(count) > piece || (count == 0 && length > 0))
            return length;
        waitingForRest = length > 0;
    }
    return length;
}

namespace {

// Lines between two questions whether to go on: often enough for an abort to be felt at
// once, rarely enough to cost nothing against the decoding.
constexpr uint32_t kAbandonPollLines = 256;

PayloadCheckResult Refuse(PayloadCheckReport* report, uint32_t line, std::string problem) {
    payload_close();
    if (report) {
        report->line = line;
        report->problem = std::move(problem);
    }
    return PayloadCheckResult::Damaged;
}

} // namespace

PayloadCheckResult CheckPayloadImage(ChunkSource source, int32_t lineCount, uint32_t imageSize,
                                     bool (*abandon)(void* context), void* context,
                                     PayloadCheckReport* report) {
    if (report)
        *report = PayloadCheckReport{};
    if (payload_open(source, kPayloadChunkSize, kPayloadKeyText) != 0) {
        payload_close();
        if (report)
            report->problem = "the payload stream cannot be opened";
        return PayloadCheckResult::Unopenable;
    }
    if (lineCount < 1)
        return Refuse(report, 0, "the header's line count leaves no line to send");

    // A pass sends its first line, then lines while fewer than lineCount - 1 have gone.
    const uint32_t sent = lineCount > 1 ? static_cast<uint32_t>(lineCount) - 1 : 1;
    PayloadLineReader reader;
    for (uint32_t line = 1; line <= sent; ++line) {
        if (line % kAbandonPollLines == 0 && abandon && abandon(context)) {
            payload_close();
            return PayloadCheckResult::Abandoned;
        }
        size_t text = reader.Read(imageSize);
        if (text == 0) {
            if (const char* reason = payload_end_reason(payload_end_state()))
                return Refuse(report, line, reason);
            const char* stored = reader.Text();
            if (std::all_of(stored, stored + kLineBufferSize, [](char c) { return c == 0; })) {
                return Refuse(report, 0,
                              "the text ends after " + std::to_string(line - 1) +
                                  " lines; the header's count sends " + std::to_string(sent));
            }
            return Refuse(report, line, "a NUL byte, or a line end other than CR LF");
        }
        std::string fault;
        if (line == 1 ? !FirstLineSendable(text) : !LaterLineSendable(text)) {
            fault = std::to_string(text) + " characters; the download sends at most " +
                    std::to_string(line == 1 ? kFirstLineMaxText : kLineMaxText) +
                    (line == 1 ? " of the first line" : " of a line");
        } else {
            fault = ParseSrec(std::string_view(reader.Text(), text), nullptr);
        }
        if (!fault.empty()) {
            // A stream that broke off inside this line is reported as what it is.
            const char* reason = payload_end_reason(payload_end_state());
            return Refuse(report, line, reason && payload_peek() == -1 ? reason : fault);
        }
    }

    // The rest of the text goes unsent but decides how the stream ends. A read answers -1
    // without an end only after a block that delivered nothing; blocks take input, so they
    // are fewer than the image's bytes.
    char rest[kLineBufferSize];
    for (uint64_t empty = 0; empty <= imageSize;) {
        if (payload_gets(rest, sizeof rest) != -1)
            continue;
        if (payload_end_state() != PAYLOAD_END_NONE)
            break;
        ++empty;
    }
    if (const char* reason = payload_end_reason(payload_end_state()))
        return Refuse(report, 0, reason);
    if (payload_end_state() != PAYLOAD_END_FINAL)
        return Refuse(report, 0, "the stream does not end");
    payload_close();
    return PayloadCheckResult::Sound;
}
