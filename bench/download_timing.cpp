#include "bench/download_timing.h"

#include <algorithm>
#include <cmath>
#include <sstream>

#include "download/download_protocol.h"
#include "module/rs232c.h"

namespace {

// Module log entries of the download, as the module writes them ("$TIME_MS $KIND $TEXT").
const char kLogBootCommand[] = "\"!!dOWNLOADBOOT\\r\"";
const char kLogMainCommand[] = "\"!!download2cf\\r\\n\\0\"";
const char kLogResetCommand[] = "\"!!rESET\\r\\n\\0\"";
constexpr double kBitsPerByte = 10; // 8N1: a start bit, 8 data bits, a stop bit

enum class Kind { BootCommand, MainCommand, Reset, Line, End };

struct Event {
    double ms = 0;
    Kind kind = Kind::Line;
    bool boot = false;    // for lines and end markers: which image
    long number = 0;      // for lines
    std::string text;     // for lines: the record text
};

bool ParseEvents(const std::string& log, std::vector<Event>* events, std::string* error) {
    std::istringstream in(log);
    for (std::string row; std::getline(in, row);) {
        std::istringstream fields(row);
        Event e;
        std::string kind;
        if (!(fields >> e.ms >> kind))
            continue;
        std::string rest;
        std::getline(fields, rest);
        rest.erase(0, rest.find_first_not_of(' '));
        if (kind == "command") {
            if (rest == kLogBootCommand)
                e.kind = Kind::BootCommand;
            else if (rest == kLogMainCommand)
                e.kind = Kind::MainCommand;
            else if (rest == kLogResetCommand)
                e.kind = Kind::Reset;
            else
                continue;
        } else if (kind == "line") {
            std::istringstream line(rest);
            std::string image;
            if (!(line >> image >> e.number))
                continue;
            size_t open = rest.find('"');
            size_t close = rest.rfind('"');
            if (open == std::string::npos || close <= open)
                continue;
            std::string verdict = rest.substr(close + 1);
            verdict.erase(0, verdict.find_first_not_of(' '));
            if (verdict != "ok") {
                *error = "the module found a fault in line " + std::to_string(e.number) + ": " +
                         verdict;
                return false;
            }
            e.kind = Kind::Line;
            e.boot = image == "boot";
            e.text = rest.substr(open + 1, close - open - 1);
        } else if (kind == "end") {
            e.kind = Kind::End;
            e.boot = rest.rfind("boot", 0) == 0;
        } else {
            continue;
        }
        events->push_back(std::move(e));
    }
    return true;
}

} // namespace

std::string SendPrefix(const std::string& text, bool firstBlock) {
    std::string area = text + (firstBlock ? std::string() : std::string("\r\n"));
    area.resize(kPrefixCompareSize, '\0');
    return area;
}

DownloadTiming JudgeDownloadLog(const std::string& log, double baud, double latencyMs) {
    DownloadTiming t;
    std::vector<Event> events;
    if (!ParseEvents(log, &events, &t.error))
        return t;
    const double b = kBitsPerByte * 1000.0 / baud; // one byte's wire time, ms
    const double ack = latencyMs + b;               // a line's last byte heard to its "." in
    const double readTimeout = kReadTotalTimeoutMs;

    // Walks the events in order; each one's least time after the one before it.
    const Event* previous = nullptr;
    double start = 0;
    double commandWait = 0, commandLength = 0;
    std::string prefixBefore, prefixLast; // send-area prefixes of the two latest lines
    long expectedLine = 0;
    bool mainEnded = false;
    for (const Event& e : events) {
        if (mainEnded)
            break;
        if (!previous) {
            if (e.kind != Kind::BootCommand && e.kind != Kind::MainCommand)
                continue; // identification before the download
            start = e.ms;
        }
        double least = 0;  // least time since the previous event
        bool loopLine = false;
        switch (e.kind) {
        case Kind::BootCommand:
        case Kind::MainCommand: {
            const bool boot = e.kind == Kind::BootCommand;
            if (boot)
                t.bootPass = true;
            if (previous) {
                if (previous->kind != Kind::Reset) {
                    t.error = "a download command the module heard out of turn";
                    return t;
                }
                // The reset goes, the port is closed after the reset wait and opened again.
                least = -(b * kCmdResetLength) + kResetWaitMs + kCmdDownloadMainLength * b;
            }
            commandWait = boot ? kDownloadBootWaitMs : kDownloadMainWaitMs;
            commandLength = boot ? kCmdDownloadBootLength : kCmdDownloadMainLength;
            expectedLine = 1;
            break;
        }
        case Kind::Line: {
            if (!previous || e.number != expectedLine) {
                t.error = "line " + std::to_string(e.number) + " where line " +
                          std::to_string(expectedLine) + " was due";
                return t;
            }
            ++expectedLine;
            ++t.lines;
            const double wire = e.number == 1 ? kFirstBlockLength * b
                                              : (e.text.size() + 2) * b; // text and CR LF
            const std::string prefix = SendPrefix(e.text, e.number == 1);
            double pause = 0;
            if (e.number >= 3 && prefixLast != prefixBefore)
                pause += kPrefixChangeWaitMs;
            if (e.number >= 2 && e.text.compare(0, kTerminationPrefixLength, kTerminationPrefix) == 0)
                pause += kTerminationWaitMs;
            if (e.number == 1) {
                // Command written, its wait, the reply read to its timeout, the first block.
                least = -(b * commandLength) + commandWait + readTimeout + wire;
            } else if (e.number == 2) {
                // The first block's wait runs from its write; its "." came meanwhile.
                least = std::max(kFirstBlockWaitMs - kFirstBlockLength * b, ack) + pause + wire;
            } else {
                least = ack + pause + wire;
                loopLine = true;
            }
            prefixBefore = prefixLast;
            prefixLast = prefix;
            break;
        }
        case Kind::End: {
            if (!previous || previous->kind != Kind::Line) {
                t.error = "an end marker with no line before it";
                return t;
            }
            const double wait = previous->number == 1
                                    ? std::max(kFirstBlockWaitMs - kFirstBlockLength * b, ack)
                                    : ack;
            least = wait + kEndMarkerLength * b;
            mainEnded = !e.boot;
            break;
        }
        case Kind::Reset:
            if (!previous || previous->kind != Kind::End || !previous->boot) {
                t.error = "a reset that does not follow the boot block's end";
                return t;
            }
            // The end marker's wait, the reply read to its timeout, the reset command.
            least = -(b * kEndMarkerLength) + kBootEndWaitMs + readTimeout + kCmdResetLength * b;
            break;
        }
        if (previous) {
            const double gap = e.ms - previous->ms;
            t.minimumMs += least;
            if (loopLine)
                t.ackToLineMs.push_back(gap - least);
            else
                t.setupExtraMs += gap - least;
        }
        previous = &e;
    }
    if (!mainEnded) {
        t.error = "the log does not reach the main image's end marker";
        return t;
    }
    t.measuredMs = previous->ms - start;
    t.ok = true;
    return t;
}

double Percentile(std::vector<double> values, double share) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    size_t rank = static_cast<size_t>(std::ceil(share * static_cast<double>(values.size())));
    rank = std::clamp<size_t>(rank, 1, values.size());
    return values[rank - 1];
}
