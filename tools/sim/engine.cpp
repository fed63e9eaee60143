#include "tools/sim/engine.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace vmod_sim {

namespace {

constexpr uint64_t kNever = UINT64_MAX;
// Length of the first line's block and where its CR LF sits.
constexpr size_t kFirstBlockSize = 80;
constexpr size_t kFirstBlockCr = 78;
// Longest command or line the module buffers before judging it as it stands.
constexpr size_t kMaxCommand = 256;
constexpr size_t kMaxLine = 1024;

const char kModelCommand[] = "ATI4\r";
const char kFirmwareCommand[] = "ATI5\r";
const char kVersionCommand[] = "!!version\r";
const char kBootDownloadCommand[] = "!!dOWNLOADBOOT\r";
const char kMainDownloadCommand[] = "!!download2cf\r";
const char kResetCommand[] = "!!rESET\r";
// What follows CR in the two commands the tool ends with LF and a NUL.
const char kSuffix[2] = {'\n', '\0'};

std::string Pad5(const std::string& version) {
    std::string out = version;
    if (out.size() < 5) {
        out.append(5 - out.size(), ' ');
    }
    return out;
}

const char* PassName(Pass pass) {
    return pass == Pass::Boot ? "boot" : "main";
}

} // namespace

bool LineSet::Contains(Pass pass, uint32_t line) const {
    if (!(pass == Pass::Boot ? boot : main)) {
        return false;
    }
    return all || lines.count(line) != 0;
}

bool LineSet::ReachedBy(Pass pass, uint32_t line) const {
    if (Empty() || !(pass == Pass::Boot ? boot : main)) {
        return false;
    }
    return all || line >= *lines.begin();
}

bool ParseLineSet(std::string_view text, LineSet* out) {
    LineSet set;
    if (text.substr(0, 5) == "boot:") {
        set.main = false;
        text.remove_prefix(5);
    } else if (text.substr(0, 5) == "main:") {
        set.boot = false;
        text.remove_prefix(5);
    }
    if (text == "all") {
        set.all = true;
        *out = set;
        return true;
    }
    if (text.empty()) {
        return false;
    }
    while (!text.empty()) {
        size_t comma = text.find(',');
        std::string_view item = text.substr(0, comma);
        uint32_t value = 0;
        auto [end, ec] = std::from_chars(item.data(), item.data() + item.size(), value);
        if (ec != std::errc() || end != item.data() + item.size() || value == 0) {
            return false;
        }
        set.lines.insert(value);
        if (comma == std::string_view::npos) {
            break;
        }
        text.remove_prefix(comma + 1);
        if (text.empty()) {
            return false;
        }
    }
    *out = set;
    return true;
}

bool ParseReplyCut(std::string_view text, ReplyCut* out) {
    static const std::pair<std::string_view, Reply> kNames[] = {
        {"model", Reply::Model},           {"firmware", Reply::Firmware},
        {"version", Reply::Version},       {"boot-update", Reply::BootUpdate},
        {"main-update", Reply::MainUpdate}, {"boot-down", Reply::BootDown},
        {"main-down", Reply::MainDown}};
    const size_t colon = text.find(':');
    ReplyCut cut;
    for (const auto& [name, reply] : kNames) {
        if (text.substr(0, colon) == name) {
            cut.reply = reply;
        }
    }
    if (cut.reply == Reply::None || colon == std::string_view::npos) {
        return false;
    }
    std::string_view rest = text.substr(colon + 1);
    const size_t plus = rest.find('+');
    const auto number = [](std::string_view digits, uint32_t* value) {
        auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), *value);
        return !digits.empty() && ec == std::errc() && end == digits.data() + digits.size();
    };
    if (!number(rest.substr(0, plus), &cut.keep)) {
        return false;
    }
    if (plus != std::string_view::npos) {
        uint32_t ms = 0;
        if (!number(rest.substr(plus + 1), &ms)) {
            return false;
        }
        cut.restAfterMs = ms;
    }
    *out = cut;
    return true;
}

Engine::Engine(Settings settings)
    : m_settings(std::move(settings)), m_garbageState(m_settings.garbageSeed) {}

uint64_t Engine::ByteNs() const {
    const uint64_t baud = m_settings.paceBaud;
    return baud ? (10'000'000'000ull + baud / 2) / baud : 0;
}

void Engine::Receive(const uint8_t* data, size_t count, uint64_t nowUs) {
    Advance(nowUs);
    const uint64_t byteNs = ByteNs();
    size_t lost = 0;
    for (size_t i = 0; i < count; ++i) {
        uint64_t at = m_nowUs;
        if (byteNs) {
            m_inputWireNs = std::max(m_inputWireNs, m_nowUs * 1000) + byteNs;
            at = (m_inputWireNs + 999) / 1000;
        }
        RunEvents(at);
        if (at < m_presentFromUs) {
            ++lost;
            continue;
        }
        ProcessByte(data[i], at);
    }
    if (lost) {
        AddLog(m_nowUs, LogKind::Note, std::to_string(lost) + " bytes lost: the port is away");
    }
}

void Engine::Advance(uint64_t nowUs) {
    m_nowUs = std::max(m_nowUs, nowUs);
    RunEvents(m_nowUs);
}

size_t Engine::TakeReplies(uint8_t* out, size_t max, uint64_t nowUs) {
    Advance(nowUs);
    size_t n = 0;
    while (n < max && !m_output.empty() && m_output.front().first <= m_nowUs) {
        out[n++] = m_output.front().second;
        m_output.pop_front();
    }
    return n;
}

void Engine::DiscardDelivered(uint64_t nowUs) {
    Advance(nowUs);
    while (!m_output.empty() && m_output.front().first <= m_nowUs) {
        m_output.pop_front();
    }
}

bool Engine::Present(uint64_t nowUs) {
    Advance(nowUs);
    return m_nowUs >= m_presentFromUs;
}

uint64_t Engine::NextEventUs() const {
    uint64_t next = kNever;
    if (!m_events.empty()) {
        next = m_events.begin()->first;
    }
    if (!m_output.empty()) {
        next = std::min(next, m_output.front().first);
    }
    if (m_mode != Mode::Hung && (!m_buffer.empty() || m_mode == Mode::Suffix)) {
        next = std::min(next, m_lastByteUs + uint64_t{m_settings.partialLineMs} * 1000);
    }
    return next;
}

size_t Engine::PendingReplyBytes() const {
    size_t n = m_output.size();
    for (const auto& [at, event] : m_events) {
        n += event.bytes.size();
    }
    return n;
}

void Engine::RunEvents(uint64_t untilUs) {
    while (true) {
        uint64_t partialAt = kNever;
        if (m_mode != Mode::Hung && (!m_buffer.empty() || m_mode == Mode::Suffix)) {
            partialAt = m_lastByteUs + uint64_t{m_settings.partialLineMs} * 1000;
        }
        const uint64_t eventAt = m_events.empty() ? kNever : m_events.begin()->first;
        const uint64_t next = std::min(partialAt, eventAt);
        if (next == kNever || next > untilUs) {
            return;
        }
        if (partialAt <= eventAt) {
            JudgePartial(partialAt);
            continue;
        }
        auto it = m_events.begin();
        const uint64_t at = it->first;
        Event event = std::move(it->second);
        m_events.erase(it);
        switch (event.kind) {
        case EventKind::Emit:
            Deliver(event.bytes, at);
            break;
        case EventKind::Reset:
            GoAway(at, m_settings.resetGoneMs, "");
            break;
        case EventKind::Pull:
            GoAway(at, m_settings.faults.pulledForMs, "the adapter is pulled: ");
            break;
        case EventKind::Return:
            AddLog(at, LogKind::Port, "back");
            break;
        }
    }
}

void Engine::GoAway(uint64_t atUs, const std::optional<uint32_t>& awayMs, const std::string& what) {
    ++m_generation;
    m_output.clear();
    for (auto e = m_events.begin(); e != m_events.end();) {
        e = e->second.kind == EventKind::Emit ? m_events.erase(e) : std::next(e);
    }
    m_buffer.clear();
    m_command.clear();
    m_mode = Mode::Command;
    if (awayMs) {
        m_presentFromUs = atUs + uint64_t{*awayMs} * 1000;
        AddLog(atUs, LogKind::Reset,
               what + "the port goes away for " + std::to_string(*awayMs) + " ms");
        Schedule(m_presentFromUs, EventKind::Return);
    } else {
        m_presentFromUs = kNever;
        AddLog(atUs, LogKind::Reset, what + "the port goes away for good");
    }
}

void Engine::ProcessByte(uint8_t byte, uint64_t atUs) {
    const char c = static_cast<char>(byte);
    switch (m_mode) {
    case Mode::Hung:
        return;
    case Mode::Command:
        // LF and NUL between commands are the line ends of the previous one.
        if (m_buffer.empty() && (c == '\n' || c == '\0')) {
            return;
        }
        m_buffer.push_back(c);
        m_lastByteUs = atUs;
        if (c == '\r') {
            OnCommand(atUs);
        } else if (m_buffer.size() > kMaxCommand) {
            AddFault(atUs, "command longer than " + std::to_string(kMaxCommand) +
                               " bytes without CR: " + QuoteBytes(m_buffer.substr(0, 32)) + "...");
            m_buffer.clear();
        }
        return;
    case Mode::Suffix: {
        if (c == kSuffix[m_buffer.size()]) {
            m_buffer.push_back(c);
            m_lastByteUs = atUs;
            if (m_buffer.size() == sizeof kSuffix) {
                std::string command = m_command + m_buffer;
                m_command.clear();
                m_buffer.clear();
                m_mode = Mode::Command;
                Dispatch(command, atUs);
            }
            return;
        }
        std::string command = m_command + m_buffer;
        AddFault(atUs, QuoteBytes(command) + " not followed by LF NUL");
        m_command.clear();
        m_buffer.clear();
        m_mode = Mode::Command;
        Dispatch(command, atUs);
        ProcessByte(byte, atUs);
        return;
    }
    case Mode::FirstBlock:
        m_buffer.push_back(c);
        m_lastByteUs = atUs;
        if (m_buffer.size() == kFirstBlockSize) {
            JudgeFirstBlock(atUs);
        }
        return;
    case Mode::Lines:
        m_buffer.push_back(c);
        m_lastByteUs = atUs;
        if (c == '\n' || m_buffer.size() > kMaxLine) {
            JudgeLine(atUs);
        }
        return;
    }
}

void Engine::JudgePartial(uint64_t atUs) {
    switch (m_mode) {
    case Mode::Command:
        AddFault(atUs, "command without CR: " + QuoteBytes(m_buffer));
        m_buffer.clear();
        return;
    case Mode::Suffix: {
        std::string command = m_command + m_buffer;
        AddFault(atUs, QuoteBytes(command) + " not followed by LF NUL");
        m_command.clear();
        m_buffer.clear();
        m_mode = Mode::Command;
        Dispatch(command, atUs);
        return;
    }
    case Mode::FirstBlock:
        JudgeFirstBlock(atUs);
        return;
    case Mode::Lines:
        JudgeLine(atUs);
        return;
    case Mode::Hung:
        return;
    }
}

void Engine::OnCommand(uint64_t atUs) {
    std::string command = std::move(m_buffer);
    m_buffer.clear();
    const bool module = !m_settings.faults.decoy && !m_settings.faults.garbage;
    if (module && (command == kMainDownloadCommand || command == kResetCommand)) {
        m_command = std::move(command);
        m_mode = Mode::Suffix;
        m_lastByteUs = atUs;
        return;
    }
    Dispatch(command, atUs);
}

void Engine::Dispatch(const std::string& command, uint64_t atUs) {
    if (m_keepLog) {
        m_commands.push_back({atUs, command});
    }
    AddLog(atUs, LogKind::Command, QuoteBytes(command));
    const Faults& faults = m_settings.faults;
    if (faults.garbage) {
        Emit(Noise(20) + "\r\n", atUs);
        return;
    }
    const std::string echo = command.substr(0, command.find('\r') + 1);
    const bool at = command.compare(0, 2, "AT") == 0;
    if (faults.decoy) {
        Emit(echo + (at ? "\r\nOK\r\n" : "\r\nERROR\r\n"), atUs);
        return;
    }
    const Settings& s = m_settings;
    if (command == kModelCommand) {
        EmitReply(Reply::Model, echo + "\r\n" + s.model + "\r\n\r\nOK\r\n", atUs);
    } else if (command == kFirmwareCommand) {
        EmitReply(Reply::Firmware, echo + "\r\n" + s.firmwareVersion + "\r\n\r\nOK\r\n", atUs);
    } else if (command == kVersionCommand) {
        std::string reply = echo + "\r\n";
        if (s.layout == VersionLayout::Current) {
            reply += "V-MOD FW " + Pad5(s.firmwareVersion) + "\r\n";
            if (s.bootVersion) {
                reply += "BOOT Block Ver " + Pad5(*s.bootVersion) + "\r\n";
            }
        } else if (s.bootVersion) {
            reply += "Version: " + Pad5(*s.bootVersion) + "\r\n";
        }
        EmitReply(Reply::Version, reply + "\r\nOK\r\n", atUs);
    } else if (command == kBootDownloadCommand) {
        EmitReply(Reply::BootUpdate,
                  echo + (faults.noUpdateBoot ? "\r\nERROR\r\n" : "\r\nUPDATE\r\n"), atUs);
        EnterDownload(Pass::Boot, atUs);
    } else if (command.compare(0, sizeof kMainDownloadCommand - 1, kMainDownloadCommand) == 0) {
        EmitReply(Reply::MainUpdate,
                  echo + (faults.noUpdateMain ? "\r\nERROR\r\n" : "\r\nUPDATE READY\r\n"),
                  atUs);
        EnterDownload(Pass::Main, atUs);
    } else if (command.compare(0, sizeof kResetCommand - 1, kResetCommand) == 0) {
        Schedule(atUs + s.latencyUs, EventKind::Reset);
    } else if (at) {
        Emit(echo + "\r\nOK\r\n", atUs);
    } else {
        AddFault(atUs, "unknown command " + QuoteBytes(command));
        Emit(echo + "\r\nERROR\r\n", atUs);
    }
}

void Engine::EnterDownload(Pass pass, uint64_t atUs) {
    m_pass = pass;
    Image().Clear();
    (pass == Pass::Boot ? m_bootFaults : m_mainFaults) = 0;
    m_lineNumber = 0;
    m_dataRecords = 0;
    m_terminated = false;
    m_noDownLeft = m_settings.faults.noDown;
    m_endMarkers = 0;
    m_mode = Mode::FirstBlock;
    m_buffer.clear();
    AddLog(atUs, LogKind::Note, std::string(PassName(pass)) + " download: image erased");
}

void Engine::JudgeFirstBlock(uint64_t atUs) {
    std::string block = std::move(m_buffer);
    m_buffer.clear();
    m_mode = Mode::Lines;
    m_lineNumber = 1;
    const size_t area = std::min(block.size(), kFirstBlockCr);
    const size_t textEnd = std::min(block.find_first_of(std::string_view("\0\r\n", 3)), area);
    std::string fault;
    if (block.size() < kFirstBlockSize) {
        fault = "first block has " + std::to_string(block.size()) + " of 80 bytes";
    } else if (block[kFirstBlockCr] != '\r' || block[kFirstBlockCr + 1] != '\n') {
        fault = "first block lacks CR LF at offsets 78 and 79";
    } else {
        for (size_t i = textEnd; i < kFirstBlockCr; ++i) {
            if (block[i] != '\0') {
                fault = "first block: byte " + std::to_string(i) + " after the text is not NUL";
                break;
            }
        }
    }
    JudgeRecord(block.substr(0, textEnd), fault, atUs);
}

void Engine::JudgeLine(uint64_t atUs) {
    std::string raw = std::move(m_buffer);
    m_buffer.clear();
    if (raw == "\r\n") {
        OnEndMarker(atUs);
        return;
    }
    ++m_lineNumber;
    std::string fault;
    std::string text;
    if (raw.size() >= 2 && raw.compare(raw.size() - 2, 2, "\r\n") == 0) {
        text = raw.substr(0, raw.size() - 2);
        if (text.find_first_of(std::string_view("\0\r\n", 3)) != std::string::npos) {
            fault = "line holds a stray CR, LF or NUL byte";
        }
    } else {
        fault = raw.size() > kMaxLine ? "line longer than " + std::to_string(kMaxLine) + " bytes"
                                      : "line not ended by CR LF";
        text = raw;
        while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) {
            text.pop_back();
        }
    }
    JudgeRecord(std::move(text), fault, atUs);
}

void Engine::JudgeRecord(std::string text, std::string fault, uint64_t atUs) {
    const Faults& faults = m_settings.faults;
    SrecRecord record;
    if (fault.empty()) {
        fault = ParseSrec(text, &record);
    }
    if (fault.empty()) {
        const auto& range = m_pass == Pass::Boot ? m_settings.bootRange : m_settings.mainRange;
        const uint64_t last = uint64_t{record.address} + record.data.size() - 1;
        if (m_terminated) {
            fault = "record after the termination record";
        } else if (SrecIsData(record.type) && !record.data.empty() && range &&
                   (record.address < range->first || last > range->second)) {
            fault = "data at " + Hex32(record.address) + ".." + Hex32(static_cast<uint32_t>(last)) +
                    " outside the " + PassName(m_pass) + " image's range";
        } else if (SrecIsData(record.type) &&
                   Image().Overlaps(record.address, record.data.size())) {
            fault = "data at " + Hex32(record.address) + " written before";
        } else if ((record.type == 5 || record.type == 6) && record.address != m_dataRecords) {
            fault = "count record says " + std::to_string(record.address) + " data records, " +
                    std::to_string(m_dataRecords) + " came";
        }
    }
    const std::string where = std::string(PassName(m_pass)) + " " + std::to_string(m_lineNumber);
    if (m_keepLog) {
        m_lines.push_back({atUs, m_pass, m_lineNumber, text, fault});
    }
    AddLog(atUs, LogKind::Line,
           where + " " + QuoteBytes(text) + (fault.empty() ? " ok" : " fault: " + fault));
    if (faults.pulledAt.Contains(m_pass, m_lineNumber)) {
        Schedule(atUs, EventKind::Pull);
        return;
    }
    if (faults.silentFrom.ReachedBy(m_pass, m_lineNumber)) {
        m_mode = Mode::Hung;
        AddLog(atUs, LogKind::Note, "module hangs at " + where + ": no more replies");
        return;
    }
    if (!fault.empty()) {
        AddFault(atUs, where + ": " + fault);
        ++(m_pass == Pass::Boot ? m_bootFaults : m_mainFaults);
        if (m_settings.badLineReply == BadLineReply::Nak) {
            Emit(std::string(1, static_cast<char>(m_settings.nakByte)), atUs);
            return;
        }
        if (m_settings.badLineReply == BadLineReply::Silent) {
            return;
        }
    } else if (SrecIsData(record.type)) {
        Image().Write(record.address, record.data.data(), record.data.size());
        ++m_dataRecords;
    } else if (SrecIsTermination(record.type)) {
        m_terminated = true;
        Image().startAddress = record.address;
    }
    if (faults.lostAck.Contains(m_pass, m_lineNumber)) {
        AddLog(atUs, LogKind::Note, "acknowledgement of " + where + " lost");
        return;
    }
    std::string ack = ".";
    if (faults.garbledAck.Contains(m_pass, m_lineNumber)) {
        AddLog(atUs, LogKind::Note, "acknowledgement of " + where + " garbled");
        ack = Noise(3);
    }
    if (faults.wrongAck.Contains(m_pass, m_lineNumber)) {
        ack.insert(ack.begin(), static_cast<char>(faults.wrongByte));
    }
    if (faults.lateAck.Contains(m_pass, m_lineNumber)) {
        AddLog(atUs, LogKind::Note, "acknowledgement of " + where + " held back");
        if (!faults.silent) {
            Schedule(atUs + uint64_t{faults.lateAckMs} * 1000, EventKind::Emit, ack);
        }
        return;
    }
    Emit(ack, atUs);
}

void Engine::OnEndMarker(uint64_t atUs) {
    AddLog(atUs, LogKind::End, std::string(PassName(m_pass)) + " end marker");
    if (!m_terminated && m_endMarkers++ == 0) {
        AddFault(atUs, std::string(PassName(m_pass)) + " image ended without a termination record");
        ++(m_pass == Pass::Boot ? m_bootFaults : m_mainFaults);
    }
    if (m_noDownLeft > 0) {
        --m_noDownLeft;
        Emit("BUSY\r\n", atUs);
        if (!m_settings.faults.silent) {
            Schedule(atUs + uint64_t{m_settings.faults.noDownAckDelayMs} * 1000, EventKind::Emit,
                     ".");
        }
        return;
    }
    EmitReply(m_pass == Pass::Boot ? Reply::BootDown : Reply::MainDown, "DOWN\r\n", atUs);
    ++(m_pass == Pass::Boot ? m_bootDone : m_mainDone);
    m_mode = Mode::Command;
    AddLog(atUs, LogKind::Note,
           std::string(PassName(m_pass)) + " image complete: " + std::to_string(Image().Size()) +
               " bytes, " + std::to_string(ImageFaults(m_pass)) + " faults");
}

void Engine::Emit(const std::string& bytes, uint64_t atUs) {
    if (m_settings.faults.silent) {
        return;
    }
    // Queued at once with the times its bytes reach the tool, so that a driver waits only
    // for the bytes themselves.
    Deliver(bytes, atUs + m_settings.latencyUs);
}

void Engine::EmitReply(Reply reply, const std::string& bytes, uint64_t atUs) {
    const ReplyCut& cut = m_settings.faults.cut;
    if (cut.reply != reply || cut.keep >= bytes.size() || m_settings.faults.silent) {
        Emit(bytes, atUs);
        return;
    }
    Emit(bytes.substr(0, cut.keep), atUs);
    if (cut.restAfterMs) {
        Schedule(atUs + m_settings.latencyUs + uint64_t{*cut.restAfterMs} * 1000, EventKind::Emit,
                 bytes.substr(cut.keep));
    } else {
        AddLog(atUs, LogKind::Note, "reply cut: " + QuoteBytes(bytes.substr(cut.keep)) + " lost");
    }
}

std::string Engine::Noise(size_t count) {
    std::string noise;
    for (size_t i = 0; i < count; ++i) {
        m_garbageState = m_garbageState * 1103515245u + 12345u;
        noise.push_back(static_cast<char>(0x80 | (m_garbageState >> 16)));
    }
    return noise;
}

void Engine::Deliver(const std::string& bytes, uint64_t atUs) {
    AddLog(atUs, LogKind::Reply, QuoteBytes(bytes));
    const uint64_t byteNs = ByteNs();
    for (char c : bytes) {
        uint64_t due = atUs;
        if (byteNs) {
            m_outputWireNs = std::max(m_outputWireNs, atUs * 1000) + byteNs;
            due = (m_outputWireNs + 999) / 1000;
        }
        // Keep the queue in due order should a reply be queued behind a later one.
        auto pos = m_output.end();
        while (pos != m_output.begin() && std::prev(pos)->first > due) {
            --pos;
        }
        m_output.insert(pos, {due, static_cast<uint8_t>(c)});
    }
}

void Engine::Schedule(uint64_t atUs, EventKind kind, std::string bytes) {
    m_events.emplace(atUs, Event{kind, std::move(bytes)});
}

void Engine::AddLog(uint64_t atUs, LogKind kind, std::string text) {
    LogEntry entry{atUs, kind, std::move(text)};
    if (m_sink) {
        m_sink(entry);
    }
    if (m_keepLog) {
        m_log.push_back(std::move(entry));
    }
}

void Engine::AddFault(uint64_t atUs, const std::string& text) {
    ++m_faultCount;
    AddLog(atUs, LogKind::Fault, text);
}

std::string QuoteBytes(std::string_view bytes) {
    std::string out = "\"";
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        switch (c) {
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\0':
            out += "\\0";
            break;
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        default:
            if (b < 0x20 || b >= 0x7F) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02X", b);
                out += hex;
            } else {
                out.push_back(c);
            }
        }
    }
    return out + "\"";
}

const char* LogKindName(LogKind kind) {
    switch (kind) {
    case LogKind::Command:
        return "command";
    case LogKind::Reply:
        return "reply";
    case LogKind::Line:
        return "line";
    case LogKind::End:
        return "end";
    case LogKind::Fault:
        return "fault";
    case LogKind::Reset:
        return "reset";
    case LogKind::Port:
        return "port";
    case LogKind::Note:
        return "note";
    }
    return "note";
}

std::string FormatLogEntry(const LogEntry& entry) {
    char head[48];
    std::snprintf(head, sizeof head, "%12.3f %-7s ", static_cast<double>(entry.timeUs) / 1000.0,
                  LogKindName(entry.kind));
    return head + entry.text;
}

} // namespace vmod_sim
