// The stand-in KV615MQ module's protocol engine: bytes the tool writes go in with the time
// they were written, the module's replies come out when they are due. No clock, no threads,
// no operating system: whoever drives it (the pseudo-terminal program, the in-process serial
// back end) supplies the time, in microseconds on the tool's clock.
//
// What the module does, in command mode (every command echoed up to its CR first):
//   "ATI4\r"            -> "\r\n" MODEL "\r\n\r\nOK\r\n"
//   "ATI5\r"            -> "\r\n" FIRMWARE "\r\n\r\nOK\r\n"
//   "!!version\r"       -> current layout: "\r\nV-MOD FW " FW5 "\r\nBOOT Block Ver " BOOT5
//                          "\r\n\r\nOK\r\n"; older layout: "\r\nVersion: " BOOT5 "\r\n\r\nOK\r\n"
//                          (FW5/BOOT5: the version padded with spaces to 5 characters; with
//                          no boot block the BOOT Block / Version line is left out)
//   "!!dOWNLOADBOOT\r"  -> "\r\nUPDATE\r\n", then takes the boot image
//   "!!download2cf\r\n\0" -> "\r\nUPDATE READY\r\n", then takes the main image
//   "!!rESET\r\n\0"     -> no reply; the port goes away for resetGoneMs and comes back
//   other "AT..." -> "\r\nOK\r\n"; anything else -> "\r\nERROR\r\n"
// In download mode: the first line is an 80-byte block (text, NUL fill, CR LF at 78/79),
// every further line is text + CR LF; each checked line is answered "."; the end marker
// (a bare CR LF) is answered "DOWN\r\n" and returns to command mode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "tools/sim/srec.h"

namespace vmod_sim {

enum class Pass { Boot, Main };

// Layout of the "!!version\r" reply.
enum class VersionLayout { Current, Older };

// What the module answers to a line that fails its checks.
enum class BadLineReply { Ack, Nak, Silent };

// The replies a cut can be made in: to the three identification commands, to each download
// command, and to each image's end marker.
enum class Reply { None, Model, Firmware, Version, BootUpdate, MainUpdate, BootDown, MainDown };

// A reply cut short: its first keep bytes go out; the rest follows restAfterMs later, or is
// lost (nullopt), as a USB adapter that splits or drops a transfer.
struct ReplyCut {
    Reply reply = Reply::None;
    uint32_t keep = 0;
    std::optional<uint32_t> restAfterMs;
};

// Parses "model|firmware|version|boot-update|main-update|boot-down|main-down:N[+MS]".
bool ParseReplyCut(std::string_view text, ReplyCut* out);

// Download lines a fault applies to. Lines count from 1 (the 80-byte first block) within
// each image; a set can be limited to the boot or the main image.
struct LineSet {
    bool boot = true;
    bool main = true;
    bool all = false;
    std::set<uint32_t> lines;

    bool Empty() const { return !all && lines.empty(); }
    bool Contains(Pass pass, uint32_t line) const;
    // True from the set's smallest line on (from line 1 with all).
    bool ReachedBy(Pass pass, uint32_t line) const;
};

// Parses "[boot:|main:](all|N[,N...])"; false when malformed or a number is 0.
bool ParseLineSet(std::string_view text, LineSet* out);

struct Faults {
    bool silent = false;  // hears everything, answers nothing
    bool decoy = false;   // a modem, not the module: echoes, "OK" to AT commands, no model
    bool garbage = false; // answers every command with noise bytes
    // The download command's reply lacks "UPDATE" ("ERROR" instead); the module still
    // takes the image, so a tool that carries on can be followed.
    bool noUpdateBoot = false;
    bool noUpdateMain = false;
    LineSet wrongAck; // wrongByte is sent before the "." of these lines
    uint8_t wrongByte = '?';
    LineSet lostAck;    // these lines are programmed but their "." is lost
    LineSet garbledAck; // these lines are programmed; noise goes out instead of their "."
    ReplyCut cut;       // every such reply is cut
    LineSet lateAck;    // these lines are programmed and their "." comes lateAckMs late
    uint32_t lateAckMs = 20000;
    // The adapter is pulled as one of these lines arrives (the line is not programmed): the
    // port vanishes, and comes back pulledForMs later (nullopt: never), as after a reset.
    LineSet pulledAt;
    std::optional<uint32_t> pulledForMs;
    LineSet silentFrom; // the module hangs at the first of these lines: deaf and mute
    // The first noDown end markers of each image are answered "BUSY\r\n" instead of
    // "DOWN", and a "." follows noDownAckDelayMs after the marker, so the tool sends the
    // end marker again.
    int noDown = 0;
    uint32_t noDownAckDelayMs = 7500;
};

struct Settings {
    std::string model = "KV615MQ";
    std::string firmwareVersion = "1.03";
    std::optional<std::string> bootVersion = std::string("1.01"); // nullopt: no boot block
    VersionLayout layout = VersionLayout::Current;
    // Time from the last byte of a command or line to the first byte of its reply.
    uint32_t latencyUs = 0;
    // Wire pacing: each byte takes 10 bits (8N1) at baud, in both directions; 0: instant.
    uint32_t paceBaud = 0;
    // How long the port stays away after "!!rESET"; nullopt: it never comes back.
    std::optional<uint32_t> resetGoneMs = 3000;
    // An unfinished command or line standing this long without a further byte is judged
    // as it is (a line missing its CR LF, a first block shorter than 80 bytes).
    uint32_t partialLineMs = 1000;
    BadLineReply badLineReply = BadLineReply::Ack;
    uint8_t nakByte = 'E';
    // Where each image's data may lie; records outside are faults.
    std::optional<std::pair<uint32_t, uint32_t>> bootRange; // [first, last]
    std::optional<std::pair<uint32_t, uint32_t>> mainRange;
    uint32_t garbageSeed = 1;
    Faults faults;
};

enum class LogKind { Command, Reply, Line, End, Fault, Reset, Port, Note };

struct LogEntry {
    uint64_t timeUs = 0; // when the bytes arrived (their last byte), or the event happened
    LogKind kind = LogKind::Note;
    std::string text;
};

// One download line as the module judged it.
struct LineRecord {
    uint64_t timeUs = 0; // arrival of its last byte
    Pass pass = Pass::Main;
    uint32_t number = 0; // 1 for the first block
    std::string text;    // the record text without framing
    std::string fault;   // "" when sound
};

struct CommandRecord {
    uint64_t timeUs = 0; // arrival of its last byte
    std::string bytes;   // exactly as received, suffix included
};

class Engine {
  public:
    explicit Engine(Settings settings = {});

    const Settings& GetSettings() const { return m_settings; }

    // Bytes the tool wrote at nowUs. Lost while the port is away.
    void Receive(const uint8_t* data, size_t count, uint64_t nowUs);
    // Carries out everything due by nowUs: replies reaching the tool, judgements of
    // unfinished lines, the reset and the port's return. Time never goes back: an earlier
    // nowUs than before counts as the latest.
    void Advance(uint64_t nowUs);
    // Reply bytes that have reached the tool by nowUs, at most max; taken off the queue.
    size_t TakeReplies(uint8_t* out, size_t max, uint64_t nowUs);
    // Drops the reply bytes that have reached the tool by nowUs (its input was purged).
    void DiscardDelivered(uint64_t nowUs);
    // Whether the module's port exists at nowUs.
    bool Present(uint64_t nowUs);
    // Number of resets so far; a port opened before the latest one stays dead.
    uint32_t Generation() const { return m_generation; }
    // The next time something happens without further input; UINT64_MAX when nothing will.
    uint64_t NextEventUs() const;
    // Reply bytes produced and not yet taken.
    size_t PendingReplyBytes() const;

    // The images programmed by the latest boot and main downloads (each download command
    // erases its image first).
    const SparseImage& BootImage() const { return m_boot; }
    const SparseImage& MainImage() const { return m_main; }
    // Downloads ended with "DOWN", per image.
    uint32_t Completions(Pass pass) const { return pass == Pass::Boot ? m_bootDone : m_mainDone; }
    // Faults found in lines and framing of the given image's latest download.
    uint32_t ImageFaults(Pass pass) const {
        return pass == Pass::Boot ? m_bootFaults : m_mainFaults;
    }
    // Every fault found so far, commands included.
    uint32_t FaultCount() const { return m_faultCount; }

    const std::vector<LogEntry>& Log() const { return m_log; }
    const std::vector<LineRecord>& Lines() const { return m_lines; }
    const std::vector<CommandRecord>& Commands() const { return m_commands; }
    // Called with every entry as it is made, in addition to keeping it.
    void SetLogSink(std::function<void(const LogEntry&)> sink) { m_sink = std::move(sink); }
    // Whether entries and line records are kept (the sink still gets them); default yes.
    void SetKeepLog(bool keep) { m_keepLog = keep; }

  private:
    enum class Mode { Command, Suffix, FirstBlock, Lines, Hung };
    enum class EventKind { Emit, Reset, Pull, Return };
    struct Event {
        EventKind kind;
        std::string bytes;
    };

    void ProcessByte(uint8_t byte, uint64_t atUs);
    void RunEvents(uint64_t untilUs);
    void JudgePartial(uint64_t atUs);
    void OnCommand(uint64_t atUs);
    void Dispatch(const std::string& command, uint64_t atUs);
    void EnterDownload(Pass pass, uint64_t atUs);
    void JudgeFirstBlock(uint64_t atUs);
    void JudgeLine(uint64_t atUs);
    void JudgeRecord(std::string text, std::string fault, uint64_t atUs);
    void OnEndMarker(uint64_t atUs);
    // The port goes away at atUs, for awayMs (nullopt: for good); what says why, in the log.
    void GoAway(uint64_t atUs, const std::optional<uint32_t>& awayMs, const std::string& what);
    // A reply to input that ended at atUs: out after the latency (nothing when silent).
    void Emit(const std::string& bytes, uint64_t atUs);
    // The same for one of the replies a cut can be made in.
    void EmitReply(Reply reply, const std::string& bytes, uint64_t atUs);
    // Bytes from the noise generator, high bit set (never "." or a line end).
    std::string Noise(size_t count);
    // Bytes leaving the module at atUs, one after another at the wire's pace.
    void Deliver(const std::string& bytes, uint64_t atUs);
    void Schedule(uint64_t atUs, EventKind kind, std::string bytes = {});
    void AddLog(uint64_t atUs, LogKind kind, std::string text);
    void AddFault(uint64_t atUs, const std::string& text);
    // Wire time of one byte (10 bits) in nanoseconds; 0 without pacing.
    uint64_t ByteNs() const;
    SparseImage& Image() { return m_pass == Pass::Boot ? m_boot : m_main; }

    Settings m_settings;
    Mode m_mode = Mode::Command;
    Pass m_pass = Pass::Main;
    std::string m_buffer;        // bytes of the unfinished command, block or line
    uint64_t m_lastByteUs = 0;   // arrival of the buffer's last byte
    std::string m_command;       // a command waiting for its LF NUL suffix
    uint64_t m_nowUs = 0;        // latest time seen
    uint64_t m_inputWireNs = 0;  // when the last input byte has crossed the wire
    uint64_t m_outputWireNs = 0; // when the last reply byte will have crossed it
    uint64_t m_presentFromUs = 0;
    uint32_t m_generation = 0;

    uint32_t m_lineNumber = 0;
    uint32_t m_dataRecords = 0;
    bool m_terminated = false;
    int m_noDownLeft = 0;
    uint32_t m_endMarkers = 0;

    std::multimap<uint64_t, Event> m_events;
    std::deque<std::pair<uint64_t, uint8_t>> m_output; // due time, byte

    SparseImage m_boot;
    SparseImage m_main;
    uint32_t m_bootDone = 0;
    uint32_t m_mainDone = 0;
    uint32_t m_bootFaults = 0;
    uint32_t m_mainFaults = 0;
    uint32_t m_faultCount = 0;
    uint32_t m_garbageState;

    bool m_keepLog = true;
    std::vector<LogEntry> m_log;
    std::vector<LineRecord> m_lines;
    std::vector<CommandRecord> m_commands;
    std::function<void(const LogEntry&)> m_sink;
};

// The bytes with CR, LF, NUL, quotes, backslashes and other non-printing bytes escaped
// ("\r", "\n", "\0", "\x7F"), in double quotes.
std::string QuoteBytes(std::string_view bytes);

// "   1234.567 command "ATI4\r"": the time in milliseconds, the kind, the text.
std::string FormatLogEntry(const LogEntry& entry);

// The kind's word in the log: command, reply, line, end, fault, reset, port, note.
const char* LogKindName(LogKind kind);

} // namespace vmod_sim
