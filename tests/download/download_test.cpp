// The download as the user runs it: the real dialog, Start, the worker thread and a stand-in
// module, on the virtual clock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <random>
#include <thread>

#include <filesystem>
#include <sstream>

#include "download/download_protocol.h"
#include "module/rs232c.h"
#include "tests/platform/serial_test_util.h"
#include "payload/payload_stream.h"
#include "tests/comma_locale.h"
#include "tests/download/download_harness.h"
#include "tools/sim/program.h"

namespace dltest {
namespace {

using vmod_sim::Pass;
using vmod_testing::BoxOwner;

const std::string kBootCommand(kCmdDownloadBoot, kCmdDownloadBootLength);
const std::string kMainCommand(kCmdDownloadMain, kCmdDownloadMainLength);
const std::string kResetCommand(kCmdReset, kCmdResetLength);
const std::string kEnd = "\r\n";

// The 80-byte block the first line of an image goes as.
std::string FirstBlock(const std::string& text) {
    std::string block = text;
    block.resize(80, '\0');
    block[78] = '\r';
    block[79] = '\n';
    return block;
}

// Every byte the worker writes for an image, from its download command to its end marker.
std::vector<std::string> ImageWrites(const std::string& command, const std::string& text) {
    std::vector<std::string> lines = Lines(text);
    std::vector<std::string> out = {command, FirstBlock(lines[0])};
    for (size_t i = 1; i < lines.size(); ++i)
        out.push_back(lines[i] + "\r\n");
    out.push_back(kEnd);
    return out;
}

std::vector<std::string> Bytes(const std::vector<WorkerWrite>& writes) {
    std::vector<std::string> out;
    for (const auto& w : writes)
        out.push_back(w.bytes);
    return out;
}

size_t IndexOf(const std::vector<WorkerWrite>& writes, const std::string& bytes, size_t from = 0) {
    for (size_t i = from; i < writes.size(); ++i)
        if (writes[i].bytes == bytes)
            return i;
    return SIZE_MAX;
}

std::vector<PortEvent> WorkerPortEvents(Session& s) {
    std::vector<PortEvent> out;
    for (const auto& e : s.PortEvents())
        if (e.workerThread)
            out.push_back(e);
    return out;
}

bool LastPortEventIsClose(Session& s) {
    auto events = s.PortEvents();
    return !events.empty() && events.back().kind == PortEvent::Closed;
}

// The port was closed when the box came up.
bool PortClosedBefore(Session& s, const BoxSeen& box) {
    auto events = s.PortEvents();
    return box.portEventsBefore > 0 && box.portEventsBefore <= events.size() &&
           events[box.portEventsBefore - 1].kind == PortEvent::Closed;
}

// Sends Exit's click to the dialog at once (the handler runs before this returns).
void PressExitNow(Session& s) {
    SendMessageW(s.DialogWindow(), WM_COMMAND, MAKEWPARAM(IDC_BUTTON_EXIT, BN_CLICKED),
                 reinterpret_cast<LPARAM>(s.Control(IDC_BUTTON_EXIT)));
}

vmod_sim::Settings ModuleWithBoot(std::optional<std::string> boot) {
    vmod_sim::Settings settings;
    settings.firmwareVersion = "1.03";
    settings.bootVersion = std::move(boot);
    return settings;
}

// Runs a session whose worker ends with the dialog up, then leaves by Exit; returns the
// dialog as the worker left it.
UiState RunToTheWorkersEnd(Session& s) {
    UiState afterWorker;
    s.endDialog = [&](Session& session) {
        afterWorker = session.TakeUi();
        if (afterWorker.exitEnabled)
            vmod_testing::Click(session.Control(IDC_BUTTON_EXIT));
        else
            PostMessageW(session.DialogWindow(), WM_CLOSE, 0, 0);
    };
    s.Run();
    return afterWorker;
}

// The worker ended with a box of the application, Exit offered, nothing more to come.
void ExpectEndedWithBox(Session& s, const UiState& afterWorker, const wchar_t* text, UINT type) {
    auto boxes = s.Boxes();
    ASSERT_GE(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].record.text, text);
    EXPECT_EQ(boxes[0].record.owner, BoxOwner::Application);
    EXPECT_EQ(boxes[0].record.type, type);
    ASSERT_TRUE(afterWorker.taken);
    EXPECT_TRUE(afterWorker.exitEnabled);
    EXPECT_FALSE(afterWorker.startEnabled);
    EXPECT_TRUE(LastPortEventIsClose(s));
    EXPECT_EQ(s.reboots, 0);
}

// The payload stream's allocator, with a hook on the n-th chunk buffer it allocates (from 1):
// every payload_open allocates one. With the boot pass due, the check's opens of the boot and
// the main image come first, then the boot pass's (3) and the main pass's (4). The hook runs
// on the worker thread; it returns true to fail the allocation.
class ChunkAllocationHook {
  public:
    ChunkAllocationHook(int at, std::function<bool()> hook) {
        s_at = at;
        s_count = 0;
        s_hook = std::move(hook);
        payload_set_allocator(Alloc, std::realloc, std::free);
    }
    ~ChunkAllocationHook() {
        payload_set_allocator(nullptr, nullptr, nullptr);
        s_hook = nullptr;
    }
    ChunkAllocationHook(const ChunkAllocationHook&) = delete;
    ChunkAllocationHook& operator=(const ChunkAllocationHook&) = delete;

    // Chunk buffers allocated since the hook was set.
    static int Count() { return s_count.load(); }

  private:
    static void* Alloc(size_t size) {
        if (size > static_cast<size_t>(kPayloadChunkSize) && ++s_count == s_at && s_hook())
            return nullptr;
        return std::malloc(size);
    }
    static inline int s_at = 0;
    static inline std::atomic<int> s_count{0};
    static inline std::function<bool()> s_hook;
};

// Firmware text as random as compiled code, so that its payload spans more than one chunk.
std::string RandomFirmwareText(int records, uint32_t seed) {
    std::mt19937 random(seed);
    std::string text = Record('0', 0, 2, {'H', 'D', 'R'});
    for (int i = 0; i < records; ++i) {
        std::vector<uint8_t> data(32);
        for (uint8_t& b : data)
            b = static_cast<uint8_t>(random());
        text += Record('3', static_cast<uint32_t>(i * 32), 4, data);
    }
    return text + Record('7', 0, 4, {});
}

// ---- whole updates ------------------------------------------------------------------------------

TEST(DownloadUpdate, BootPassResetReopenMainPassCompletion) {
    Session s;
    s.module = ModuleWithBoot("1.01");
    INT_PTR code = s.Run();
    EXPECT_EQ(code, IDCANCEL) << "the worker's exit command closes the dialog as cancelled";

    std::vector<std::string> expected = ImageWrites(kBootCommand, s.package.bootText);
    expected.push_back(kResetCommand);
    for (const auto& w : ImageWrites(kMainCommand, s.package.mainText))
        expected.push_back(w);
    auto writes = s.Writes();
    EXPECT_EQ(Bytes(writes), expected);

    // The module took both images whole and sound.
    {
        auto lock = s.sim.Lock();
        EXPECT_EQ(s.Module().Completions(Pass::Boot), 1u);
        EXPECT_EQ(s.Module().Completions(Pass::Main), 1u);
        EXPECT_EQ(s.Module().FaultCount(), 0u);
    }
    std::vector<std::string> mainLines;
    for (const auto& l : s.ModuleLines(Pass::Main))
        mainLines.push_back(l.text);
    EXPECT_EQ(mainLines, Lines(s.package.mainText));

    // Waits the protocol fixes between writes that no read timeout stands between.
    size_t bootBlock = 1;
    EXPECT_GE(writes[bootBlock].timeMs - writes[0].timeMs, kDownloadBootWaitMs);
    EXPECT_EQ(writes[bootBlock + 1].timeMs - writes[bootBlock].timeMs, kFirstBlockWaitMs);
    size_t reset = IndexOf(writes, kResetCommand);
    size_t mainCommand = IndexOf(writes, kMainCommand);
    ASSERT_NE(reset, SIZE_MAX);
    ASSERT_NE(mainCommand, SIZE_MAX);
    EXPECT_GE(writes[reset].timeMs - writes[reset - 1].timeMs, kBootEndWaitMs);
    EXPECT_EQ(writes[mainCommand].timeMs - writes[reset].timeMs, kResetWaitMs)
        << "reset, wait, close, re-open at the first attempt, download command";
    EXPECT_GE(writes[mainCommand + 1].timeMs - writes[mainCommand].timeMs, kDownloadMainWaitMs);

    // The port: taken over open, closed after the reset, opened once more, closed at the end.
    auto ports = WorkerPortEvents(s);
    ASSERT_EQ(ports.size(), 3u);
    EXPECT_EQ(ports[0].kind, PortEvent::Closed);
    EXPECT_EQ(ports[1].kind, PortEvent::Opened);
    EXPECT_EQ(ports[2].kind, PortEvent::Closed);
    EXPECT_EQ(ports[0].timeMs, writes[reset].timeMs + kResetWaitMs);

    // While the update ran, both buttons were disabled and the bar was visible.
    for (const auto& w : writes) {
        ASSERT_TRUE(w.ui.taken);
        EXPECT_FALSE(w.ui.startEnabled);
        EXPECT_FALSE(w.ui.exitEnabled);
        EXPECT_TRUE(w.ui.progressShown);
    }
    EXPECT_EQ(writes[0].ui.percent, PercentText(0));

    auto boxes = s.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].record.text, kTextCompleted);
    EXPECT_EQ(boxes[0].record.owner, BoxOwner::Application);
    EXPECT_EQ(boxes[0].record.type, static_cast<UINT>(MB_ICONEXCLAMATION));
    EXPECT_EQ(boxes[0].updating, 1) << "cleared only after the completion message";
    EXPECT_EQ(boxes[0].writesBefore, writes.size());
    EXPECT_EQ(s.reboots, 1);
    EXPECT_TRUE(s.rebootWhileDialogUp) << "the reboot is asked for before the exit command";
}

TEST(DownloadUpdate, CompletionShowsHundredPercentAndClosesThePortBeforeItsMessage) {
    Session s;
    UiState atBox;
    size_t portEventsAtBox = 0;
    s.onBox = [&](Session& session, const vmod_testing::MessageBoxRecord& record) {
        if (record.text == kTextCompleted) {
            atBox = session.LookFromWorker();
            portEventsAtBox = session.PortEvents().size();
        }
        return IDOK;
    };
    s.Run();
    ASSERT_TRUE(atBox.taken);
    EXPECT_EQ(atBox.percent, PercentText(100));
    auto events = s.PortEvents();
    ASSERT_GT(portEventsAtBox, 0u);
    EXPECT_EQ(events[portEventsAtBox - 1].kind, PortEvent::Closed);
    EXPECT_EQ(portEventsAtBox, events.size()) << "nothing opens after the close";
}

// Which boot-block versions get the package's boot block. The port is closed and re-opened
// before the main image in every case.
TEST(DownloadUpdate, BootBlockVersionDecidesTheBootPass) {
    struct Case {
        std::optional<std::string> boot;
        const char* description;
        bool bootPass;
        bool commaDecimal = false; // the user's numbers are written 1,05
    };
    const Case cases[] = {
        {std::nullopt, "no boot-block field: empty text, 0.0", true},
        {"1.01", "below 1.02", true},
        {"0.99", "far below", true},
        {"1.02", "equal: the module already has the package's boot block", false},
        {"1.05", "above", false},
        {"1.05", "above, in a decimal-comma locale", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        std::optional<CommaDecimalLocale> locale;
        if (c.commaDecimal)
            locale.emplace();
        Session s;
        s.module = ModuleWithBoot(c.boot);
        s.Run();
        auto writes = s.Writes();
        ASSERT_FALSE(writes.empty());
        EXPECT_EQ(writes[0].bytes, c.bootPass ? kBootCommand : kMainCommand);
        EXPECT_EQ(IndexOf(writes, kResetCommand) != SIZE_MAX, c.bootPass);
        auto ports = WorkerPortEvents(s);
        ASSERT_GE(ports.size(), 2u);
        EXPECT_EQ(ports[0].kind, PortEvent::Closed);
        EXPECT_EQ(ports[1].kind, PortEvent::Opened);
        EXPECT_EQ(s.reboots, 1);
        auto lock = s.sim.Lock();
        EXPECT_EQ(s.Module().Completions(Pass::Boot), c.bootPass ? 1u : 0u);
        EXPECT_EQ(s.Module().Completions(Pass::Main), 1u);
    }
}

TEST(DownloadUpdate, ImageOfOneLineSendsOnlyTheBlockThenTheEndMarker) {
    Session s;
    s.module = ModuleWithBoot("1.05");
    s.package.mainText = Record('7', 0, 4, {});
    s.package.mainLines = 1;
    s.Run();
    EXPECT_EQ(
        Bytes(s.Writes()),
        (std::vector<std::string>{kMainCommand, FirstBlock(Lines(s.package.mainText)[0]), kEnd}));
    EXPECT_EQ(s.reboots, 1);
}

// ---- line preparation ---------------------------------------------------------------------------

TEST(DownloadLines, FirstLineGoesAsAnEightyByteBlock) {
    struct Case {
        size_t dataBytes; // of the S0 record: its line is 10 + 2 x dataBytes characters
        const char* description;
    };
    const Case cases[] = {
        {3, "short line: zero fill up to the CR LF"},
        {34, "78 characters: the text runs up to the CR LF"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        Session s;
        s.module = ModuleWithBoot("1.05");
        std::vector<uint8_t> data(c.dataBytes, 'A');
        std::string first = Record('0', 0, 2, data);
        s.package.mainText = first + FirmwareText(2).substr(FirmwareText(2).find("\r\n") + 2);
        s.Run();
        auto writes = s.Writes();
        ASSERT_GE(writes.size(), 2u);
        EXPECT_EQ(writes[0].bytes, kMainCommand);
        EXPECT_EQ(writes[1].bytes.size(), 80u);
        EXPECT_EQ(writes[1].bytes, FirstBlock(Lines(first)[0]));
        EXPECT_EQ(s.reboots, 1);
        auto lock = s.sim.Lock();
        EXPECT_EQ(s.Module().FaultCount(), 0u);
    }
}

// A further line goes as its text and CR LF, whole up to the 80 bytes copied from the line
// buffer; the module takes the 82 bytes of the longest. (Longer lines are refused before
// anything is sent: see DownloadCheck.)
TEST(DownloadLines, LaterLineGoesWholeUpToEightyCharacters) {
    for (size_t dataBytes : {32, 33}) { // the third line: 14 + 2 x dataBytes characters
        SCOPED_TRACE(std::to_string(14 + 2 * dataBytes) + " characters");
        Session s;
        s.module = ModuleWithBoot("1.05");
        std::string third = Record('3', 0x100, 4, std::vector<uint8_t>(dataBytes, 0x5A));
        s.package.mainText =
            Record('0', 0, 2, {'H'}) + Record('3', 0, 4, {1, 2}) + third + Record('7', 0, 4, {});
        s.Run();
        EXPECT_EQ(Bytes(s.Writes()), ImageWrites(kMainCommand, s.package.mainText));
        EXPECT_EQ(s.reboots, 1);
        auto lock = s.sim.Lock();
        EXPECT_EQ(s.Module().FaultCount(), 0u);
    }
}

// The inflater hands its text out in 32 KiB batches; a block after a batch that delivers
// nothing makes the stream answer a read with -1, or with the first piece of the line the
// batch ended in. Wherever the batch ends, the module gets the payload's lines unchanged.
TEST(DownloadLines, BatchEndFollowedByAnEmptyBlockLeavesTheLinesWhole) {
    // The header record's length moves the batch end within the 80-byte data lines.
    struct Case {
        size_t headerBytes; // data bytes of the S0 record: its line is 12 + 2 x this long
        const char* description;
    };
    const Case cases[] = {
        {18, "at a line's start: a read answers -1"},
        {17, "after a line's first two characters"},
        {3, "in the middle of a line"},
        {19, "right before a line's CR LF"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        const std::string text =
            Record('0', 0, 2, std::vector<uint8_t>(c.headerBytes, 'H')) +
            FirmwareText(430, 0, 32).substr(FirmwareText(430, 0, 32).find("\r\n") + 2);
        Session s;
        s.module = ModuleWithBoot("1.05");
        s.package.mainText = text;
        // The block holding the batch's end ends soon after it, and an empty one follows.
        s.package.mainFlushAt = {32768 + 100};
        s.Run();
        EXPECT_EQ(Bytes(s.Writes()), ImageWrites(kMainCommand, text));
        EXPECT_EQ(s.reboots, 1);
        auto lock = s.sim.Lock();
        EXPECT_EQ(s.Module().FaultCount(), 0u);
    }
}

// The 1600 ms pause follows a line whose 8-byte prefix changed; the 1000 ms pause precedes a
// line beginning "S7"; the last line here earns both.
TEST(DownloadLines, PacingWaitsBeforeLines) {
    Session s;
    s.module = ModuleWithBoot("1.05");
    s.package.mainText = Record('0', 0, 2, {'H'}) +     // line 1: the block
                         Record('3', 0x0000, 4, {1}) +  // 2: prefix S0.. -> S3150000 changed
                         Record('3', 0x0010, 4, {2}) +  // 3: after a change; same prefix
                         Record('3', 0x10000, 4, {3}) + // 4: S3060001.. changed
                         Record('7', 0, 4, {});         // 5: after a change, and S7
    s.Run();
    auto writes = s.Writes();
    ASSERT_EQ(writes.size(), 7u);
    struct Gap {
        size_t line;
        uint64_t ms;
        const char* description;
    };
    const Gap gaps[] = {
        {2, kFirstBlockWaitMs, "the block's own wait, the first line's prefix sets no pause"},
        {3, kPrefixChangeWaitMs, "line 2 changed the prefix"},
        {4, 0, "line 3 kept it"},
        {5, kPrefixChangeWaitMs + kTerminationWaitMs, "line 4 changed it and line 5 is S7"},
        {6, 0, "the end marker has no pause of its own"},
    };
    for (const Gap& g : gaps) {
        SCOPED_TRACE(g.description);
        EXPECT_EQ(writes[g.line].timeMs - writes[g.line - 1].timeMs, g.ms);
    }
}

// ---- the check before sending -------------------------------------------------------------------

// Every image the passes would send is read first; one the download could send only in part,
// or with a line the module refuses, is refused before the module hears anything, and the
// reason on the error stream names what is wrong. Where a row's lines are sound records but
// for its fault, only the rule for that fault refuses it.
TEST(DownloadCheck, PackageThatCannotGoWholeIsRefusedBeforeAnythingIsSent) {
    const std::string head = Record('0', 0, 2, {'H'}) + Record('3', 0, 4, {1, 2});
    const std::string tail = Record('7', 0, 4, {});
    std::string badChecksum = Record('3', 0x10, 4, {0, 2});
    badChecksum[13] = '1'; // data byte 00 -> 01
    auto withoutEnd = [](std::string record) { return record.substr(0, record.size() - 2); };
    const std::string sound = withoutEnd(Record('3', 0x10, 4, {0, 2}));
    // More text than the inflater's window holds, so that its first lines come out of a
    // stream cut in half.
    const std::string random = RandomFirmwareText(2000, 3);
    const char* kLineEnd = "a NUL byte, or a line end other than CR LF";
    struct Case {
        const char* description;
        std::function<void(Package&)> damage;
        std::string reason; // in the error stream's line
    };
    const Case cases[] = {
        {"a first line of 80 characters",
         [&](Package& p) { p.mainText = Record('0', 0, 2, std::vector<uint8_t>(35, 'A')) + tail; },
         "main image refused before sending, line 1: 80 characters"},
        {"a later line of 82 characters, a sound record",
         [&](Package& p) {
             p.mainText = head + Record('3', 0x100, 4, std::vector<uint8_t>(34, 0x5A)) + tail;
         },
         "line 3: 82 characters"},
        {"a sound record, a NUL byte and more in its line",
         [&](Package& p) { p.mainText = head + sound + std::string("\0AB\r\n", 5) + tail; },
         std::string("line 3: ") + kLineEnd},
        {"sound records with lone LF line ends",
         [&](Package& p) { p.mainText = head + sound + "\n" + withoutEnd(tail) + "\n"; },
         std::string("line 3: ") + kLineEnd},
        {"a line that is not an S-record",
         [&](Package& p) { p.mainText = head + "HELLO\r\n" + tail; }, "line 3: "},
        {"a wrong checksum", [&](Package& p) { p.mainText = head + badChecksum + tail; },
         "line 3: "},
        {"the header counts more lines than the text holds",
         [](Package& p) {
             p.mainText = FirmwareText(3); // 5 lines
             p.mainLines = 9;
         },
         "the text ends after 5 lines; the header's count sends 8"},
        {"the main payload cut in half",
         [](Package& p) {
             p.mainRaw = SealPayload(p.mainText);
             p.mainRaw.resize(p.mainRaw.size() / 16 * 8);
         },
         "main image refused before sending"},
        {"every line sent sound, the stream cut after them",
         [&](Package& p) {
             p.mainText = random;
             p.mainLines = 3;
             p.mainRaw = SealPayload(random);
             p.mainRaw.resize(p.mainRaw.size() / 16 * 8);
         },
         "main image refused before sending: the stream ended before its final block"},
        {"a wrong checksum in the boot image",
         [&](Package& p) { p.bootText = head + badChecksum + tail; },
         "boot-block image refused before sending, line 3: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        Session s;
        s.module = ModuleWithBoot("1.01");
        c.damage(s.package);
        ::testing::internal::CaptureStderr();
        UiState afterWorker = RunToTheWorkersEnd(s);
        const std::string errors = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(errors.find(c.reason), std::string::npos) << errors;
        EXPECT_TRUE(s.Writes().empty()) << "the module hears nothing";
        EXPECT_TRUE(s.ModuleLines(Pass::Boot).empty());
        EXPECT_TRUE(s.ModuleLines(Pass::Main).empty());
        ExpectEndedWithBox(s, afterWorker, kTextPayloadDamaged, MB_ICONEXCLAMATION);
        auto boxes = s.Boxes();
        ASSERT_FALSE(boxes.empty());
        EXPECT_TRUE(PortClosedBefore(s, boxes[0]));
    }
}

// One changed byte of either payload garbles a cipher block of the DEFLATE data: wherever it
// is, the check finds the damage before anything is sent. The sound package goes whole, read
// again from its start by the passes.
TEST(DownloadCheck, OneChangedPayloadByteIsFoundWhereverItIs) {
    const std::string text = RandomFirmwareText(2000, 7);
    const std::vector<uint8_t> sealed = SealPayload(text);
    ASSERT_GT(sealed.size(), 65536u + 1000u) << "the payload spans two chunks";
    struct Case {
        size_t offset;
        const char* description;
    };
    const Case cases[] = {
        {SIZE_MAX, "no byte changed"},
        {16, "early: the first block's code tables"},
        {sealed.size() / 2, "in the middle"},
        {65536, "the first byte of the last chunk"},
        {sealed.size() - 40, "late: the final block's last symbols"},
    };
    for (bool boot : {false, true}) {
        for (const Case& c : cases) {
            if (boot && c.offset == SIZE_MAX)
                continue;
            SCOPED_TRACE(std::string(boot ? "boot image, " : "main image, ") + c.description);
            Session s;
            s.module = ModuleWithBoot("1.01");
            s.package.mainText = text;
            s.package.bootText = text;
            if (c.offset != SIZE_MAX) {
                std::vector<uint8_t> damaged = sealed;
                damaged[c.offset] ^= 0x01;
                (boot ? s.package.bootRaw : s.package.mainRaw) = damaged;
            }
            UiState afterWorker = RunToTheWorkersEnd(s);
            if (c.offset == SIZE_MAX) {
                EXPECT_EQ(s.reboots, 1);
                auto lock = s.sim.Lock();
                EXPECT_EQ(s.Module().Completions(Pass::Boot), 1u);
                EXPECT_EQ(s.Module().Completions(Pass::Main), 1u);
                EXPECT_EQ(s.Module().FaultCount(), 0u);
                continue;
            }
            EXPECT_TRUE(s.Writes().empty()) << "the module hears nothing";
            ExpectEndedWithBox(s, afterWorker, kTextPayloadDamaged, MB_ICONEXCLAMATION);
        }
    }
}

// ---- progress -----------------------------------------------------------------------------------

// Boot image 10 lines, main image 90 lines: the boot pass shows k % at its k-th
// acknowledgement, the main pass starts at 10 %.
TEST(DownloadProgress, WorkedExampleTenAndNinety) {
    Session s;
    s.module = ModuleWithBoot("1.01");
    s.package.bootText = FirmwareText(7, 0x20000); // 9 lines, header 10
    s.package.mainText = FirmwareText(87);         // 89 lines, header 90
    s.Run();
    auto writes = s.Writes();
    ASSERT_EQ(writes.size(), 1u + 9u + 1u + 1u + 1u + 89u + 1u);
    std::vector<int> expected;
    expected.push_back(0); // boot command
    expected.push_back(0); // boot block, before any acknowledgement
    for (int k = 1; k <= 9; ++k)
        expected.push_back(k); // lines 2..9, then the end marker after the 9th
    expected.push_back(9);     // reset
    expected.push_back(9);     // main command
    expected.push_back(9);     // main block
    for (int k = 1; k <= 89; ++k)
        expected.push_back(9 + k); // 10 % at the main pass's first acknowledgement
    ASSERT_EQ(expected.size(), writes.size());
    for (size_t i = 0; i < writes.size(); ++i) {
        SCOPED_TRACE("write " + std::to_string(i));
        EXPECT_EQ(writes[i].ui.percent, PercentText(expected[i]));
        EXPECT_EQ(writes[i].ui.progress, expected[i]);
    }
}

TEST(DownloadProgress, WithoutTheBootPassTheTotalIsTheMainImage) {
    Session s;
    s.module = ModuleWithBoot("1.05");
    s.package.mainText = FirmwareText(87); // header 90
    s.Run();
    auto writes = s.Writes();
    ASSERT_GE(writes.size(), 3u);
    EXPECT_EQ(writes[2].ui.percent, PercentText(1)) << "100 / 90 at the first acknowledgement";
    EXPECT_EQ(writes[2].ui.progress, 1);
}

// With 300 lines the first two acknowledgements leave the percentage at 0: the text the test
// blanked stays blank until the third makes it 1.
TEST(DownloadProgress, UnchangedPercentageTouchesNeitherBarNorText) {
    Session s;
    s.module = ModuleWithBoot("1.05");
    s.package.mainText = FirmwareText(297); // 299 lines, header 300
    s.onWorkerWrite = [](Session& session, size_t index) {
        if (index == 1) // the block: set-up has written "  0"
            SetWindowTextW(session.Control(IDC_STATIC_PERCENT), L"");
    };
    s.Run();
    auto writes = s.Writes();
    ASSERT_GE(writes.size(), 5u);
    EXPECT_EQ(writes[1].ui.percent, PercentText(0));
    EXPECT_EQ(writes[2].ui.percent, L"");
    EXPECT_EQ(writes[3].ui.percent, L"");
    EXPECT_EQ(writes[4].ui.percent, PercentText(1));
    EXPECT_EQ(writes[4].ui.progress, 1);
}

// ---- failures -----------------------------------------------------------------------------------

// A payload whose stream cannot be opened: by the check (a rejected header) before anything
// is sent, or by a pass (memory). The user is told, and Exit is offered.
TEST(DownloadFailures, PayloadThatCannotBeOpened) {
    struct Case {
        const char* description;
        std::function<void(Package&)> damage;
        int failChunkAllocation; // 0: none
        bool bootSent;
    };
    const std::vector<uint8_t> noGzip(64, 0x5A);
    const Case cases[] = {
        {"the boot image's header", [&](Package& p) { p.bootRaw = noGzip; }, 0, false},
        {"the main image's header", [&](Package& p) { p.mainRaw = noGzip; }, 0, false},
        {"the boot pass's open", [](Package&) {}, 3, false},
        {"the main pass's open", [](Package&) {}, 4, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        Session s;
        s.module = ModuleWithBoot("1.01");
        c.damage(s.package);
        ChunkAllocationHook hook(c.failChunkAllocation, [] { return true; });
        UiState afterWorker = RunToTheWorkersEnd(s);
        auto writes = s.Writes();
        if (c.bootSent) {
            ASSERT_FALSE(writes.empty());
            EXPECT_EQ(writes.back().bytes, kResetCommand);
        } else {
            EXPECT_TRUE(writes.empty());
        }
        EXPECT_EQ(IndexOf(writes, kMainCommand), SIZE_MAX);
        ExpectEndedWithBox(s, afterWorker, kTextSystemError, MB_OK);
    }
}

// The module's reply lacks the word: the exit command goes out first, then the box. The
// worker stops without another byte whether the dialog has ended by the time the box is
// dismissed or the box is dismissed before the exit command is handled.
TEST(DownloadFailures, DownloadCommandNotConfirmed) {
    struct Case {
        bool boot;
        bool boxOutlivesDialog;
        const char* description;
        const std::string* command;
    };
    for (const Case c :
         {Case{true, true, "no UPDATE", &kBootCommand},
          Case{false, true, "no UPDATE READY", &kMainCommand},
          Case{true, false, "no UPDATE, box dismissed at once", &kBootCommand},
          Case{false, false, "no UPDATE READY, box dismissed at once", &kMainCommand}}) {
        SCOPED_TRACE(c.description);
        Session s;
        s.module = ModuleWithBoot("1.01");
        (c.boot ? s.module.faults.noUpdateBoot : s.module.faults.noUpdateMain) = true;
        s.endAfterWorker = false;
        bool deletedWhileBoxUp = false;
        s.onBox = [&](Session& session, const vmod_testing::MessageBoxRecord& record) {
            if (record.text == kTextCheckConnection && c.boxOutlivesDialog)
                deletedWhileBoxUp = session.WaitDialogDeleted();
            return IDOK;
        };
        INT_PTR code = s.Run();
        EXPECT_EQ(code, IDCANCEL) << "the worker's exit command ends the dialog";
        if (c.boxOutlivesDialog) {
            EXPECT_TRUE(deletedWhileBoxUp) << "the exit command was posted before the box";
        }
        auto boxes = s.Boxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].record.owner, BoxOwner::None);
        EXPECT_EQ(boxes[0].record.caption, kCaptionCaution);
        EXPECT_EQ(boxes[0].record.type, static_cast<UINT>(MB_OK));
        auto writes = s.Writes();
        ASSERT_FALSE(writes.empty());
        EXPECT_EQ(writes.back().bytes, *c.command) << "nothing after the box";
        EXPECT_TRUE(LastPortEventIsClose(s));
        EXPECT_EQ(s.reboots, 0);
    }
}

TEST(DownloadFailures, ReopenSucceedsAtTheSeventhAttemptAfterThirtySeconds) {
    Session s;
    s.module = ModuleWithBoot("1.01");
    s.module.resetGoneMs = 34000; // attempts at 5 s .. 30 s after the reset fail, 35 s opens
    s.Run();
    auto ports = WorkerPortEvents(s);
    ASSERT_EQ(ports.size(), 1u + 7u + 1u);
    EXPECT_EQ(ports[0].kind, PortEvent::Closed);
    for (size_t i = 1; i <= 6; ++i)
        EXPECT_EQ(ports[i].kind, PortEvent::OpenFailed);
    EXPECT_EQ(ports[7].kind, PortEvent::Opened);
    EXPECT_EQ(ports[7].timeMs - ports[1].timeMs, 6u * kReopenRetryWaitMs);
    EXPECT_EQ(s.reboots, 1);
    auto lock = s.sim.Lock();
    EXPECT_EQ(s.Module().Completions(Pass::Main), 1u);
}

TEST(DownloadFailures, ReopenFailsSevenTimesThenExitEnabled) {
    Session s;
    s.module = ModuleWithBoot("1.01");
    s.module.resetGoneMs.reset();
    UiState afterWorker;
    s.endDialog = [&](Session& session) {
        afterWorker = session.TakeUi();
        vmod_testing::Click(session.Control(IDC_BUTTON_EXIT));
    };
    INT_PTR code = s.Run();
    EXPECT_EQ(code, IDCANCEL);
    auto ports = WorkerPortEvents(s);
    ASSERT_EQ(ports.size(), 8u);
    for (size_t i = 1; i < 8; ++i)
        EXPECT_EQ(ports[i].kind, PortEvent::OpenFailed);
    EXPECT_EQ(ports[7].timeMs - ports[1].timeMs, 30000u);
    auto boxes = s.Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].record.text, kTextReopenFailed);
    EXPECT_EQ(boxes[0].record.owner, BoxOwner::Application);
    EXPECT_EQ(boxes[0].record.type, static_cast<UINT>(MB_ICONEXCLAMATION));
    ASSERT_TRUE(afterWorker.taken);
    EXPECT_FALSE(afterWorker.startEnabled);
    EXPECT_TRUE(afterWorker.exitEnabled);
    // The update never completed, so Exit still stops it first.
    EXPECT_EQ(boxes[1].record.text, L"ファームウェアのバージョンアップを中止します");
    EXPECT_EQ(boxes[1].record.caption, L"中止");
    EXPECT_EQ(boxes[1].record.owner, BoxOwner::Dialog);
    EXPECT_EQ(s.reboots, 0);
}

// Exit during either pass: the abort flag first, then the stop message, then the program
// ends; the worker sends nothing more and closes the port.
TEST(DownloadFailures, ExitDuringAnUpdate) {
    struct Case {
        size_t atWrite;
        const char* description;
        size_t workerPortEvents; // the take-over's close, then the re-open's open and close
    };
    const Case cases[] = {
        {3, "boot pass, third line", 1},
        {7, "the reset: the port is not opened again", 1},
        {9, "main pass, its first block", 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        Session s;
        s.module = ModuleWithBoot("1.01");
        int32_t abortAtBox = -1;
        s.onBox = [&](Session& session, const vmod_testing::MessageBoxRecord&) {
            abortAtBox = session.Dialog()->m_bAbort.load();
            return IDOK;
        };
        s.onWorkerWrite = [&](Session& session, size_t index) {
            if (index == c.atWrite)
                PressExitNow(session);
        };
        INT_PTR code = s.Run();
        EXPECT_EQ(code, IDCANCEL);
        auto writes = s.Writes();
        EXPECT_EQ(writes.size(), c.atWrite + 1) << "no write after the abort";
        auto boxes = s.Boxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].record.caption, L"中止");
        EXPECT_EQ(boxes[0].updating, 1);
        EXPECT_EQ(abortAtBox, 1) << "the flag is set before the message";
        EXPECT_TRUE(LastPortEventIsClose(s));
        EXPECT_EQ(WorkerPortEvents(s).size(), c.workerPortEvents);
        EXPECT_EQ(WorkerPortEvents(s).back().kind, PortEvent::Closed);
        EXPECT_EQ(s.reboots, 0);
    }
}

// Exit before the module is written: while the check reads the main image it gives up at its
// next look (the passes never open their streams); between the check and a download command
// (here: while the pass opens its stream) the command is not sent. The port is closed.
TEST(DownloadFailures, ExitBeforeAnImageIsSent) {
    struct Case {
        int at; // the chunk allocation during which Exit is pressed
        const char* description;
        size_t writes; // the boot image's and the reset, or none
    };
    const Case cases[] = {
        {2, "the check of the main image", 0},
        {3, "the boot command", 0},
        {4, "the main command", 1 + 5 + 1 + 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        Session s;
        s.module = ModuleWithBoot("1.01");
        s.package.mainText = FirmwareText(400); // beyond the lines the check reads between looks
        ChunkAllocationHook hook(c.at, [&s] {
            PostMessageW(s.DialogWindow(), WM_COMMAND, MAKEWPARAM(IDC_BUTTON_EXIT, BN_CLICKED), 0);
            // Exit's handler sets the flag before its message.
            for (int i = 0; i < 10000 && s.Dialog()->m_bAbort.load() == 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return false;
        });
        s.Run();
        auto writes = s.Writes();
        ASSERT_EQ(writes.size(), c.writes);
        if (!writes.empty()) {
            EXPECT_EQ(writes.back().bytes, kResetCommand);
        }
        EXPECT_EQ(ChunkAllocationHook::Count(), c.at) << "no stream opened after the stop";
        EXPECT_TRUE(LastPortEventIsClose(s));
        EXPECT_EQ(s.reboots, 0);
    }
}

// A module that stops answering mid-image is waited for up to the limit from the write that
// asked for a ".", and no longer; one whose port vanishes is told at its next read. Either way
// the user is told, the port is closed and Exit is offered. A "." that comes late but inside
// the limit carries the update on.
TEST(DownloadFailures, ModuleThatStopsAnsweringIsToldAtTheLimit) {
    struct Case {
        const char* description;
        std::function<void(vmod_sim::Faults&)> fault;
        size_t lastWrite;   // the worker's last write, boot command and reset counted
        uint64_t minWaitMs; // from that write to the box
        uint64_t maxWaitMs;
        const wchar_t* note; // nullptr: no box, the update completes
    };
    // Writes: 0 the boot command, 1-5 its lines, 6 its end marker, 7 the reset, 8 the main
    // command, 9 the main image's first block, 9 + k - 1 its line k.
    const wchar_t* kSilent = L"COM3: 30秒間応答がありません";
    const wchar_t* kGone = L"COM3: ポートの装置が取り外されました";
    const Case cases[] = {
        {"main line 3's \".\" lost",
         [](auto& f) { f.lostAck.boot = false, f.lostAck.lines = {3}; }, 11, kAckLimitMs,
         kAckLimitMs + 1000, kSilent},
        {"boot line 2's \".\" lost",
         [](auto& f) { f.lostAck.main = false, f.lostAck.lines = {2}; }, 2, kAckLimitMs,
         kAckLimitMs + 1000, kSilent},
        {"the boot end marker answered BUSY, its \".\" after 40 s",
         [](auto& f) { f.noDown = 1, f.noDownAckDelayMs = 40000; }, 6, kAckLimitMs,
         kAckLimitMs + 1000, kSilent},
        {"the adapter pulled at main line 4",
         [](auto& f) { f.pulledAt.boot = false, f.pulledAt.lines = {4}; }, 12, 0, 1500, kGone},
        {"the adapter pulled at boot line 3",
         [](auto& f) { f.pulledAt.main = false, f.pulledAt.lines = {3}; }, 3, 0, 1500, kGone},
        {"main line 3's \".\" late, inside the limit",
         [](auto& f) {
             f.lateAck.boot = false, f.lateAck.lines = {3}, f.lateAckMs = kAckLimitMs - 1500;
         },
         0, 0, 0, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        Session s;
        s.module = ModuleWithBoot("1.01");
        c.fault(s.module.faults);
        UiState afterWorker = RunToTheWorkersEnd(s);
        auto writes = s.Writes();
        if (!c.note) {
            EXPECT_EQ(s.reboots, 1);
            continue;
        }
        ExpectEndedWithBox(s, afterWorker, kTextModuleNoAnswer, MB_ICONEXCLAMATION);
        auto boxes = s.Boxes();
        ASSERT_EQ(writes.size(), c.lastWrite + 1) << "nothing written after the last line";
        EXPECT_EQ(boxes[0].record.note, c.note);
        const uint64_t waited = boxes[0].timeMs - writes.back().timeMs;
        EXPECT_GE(waited, c.minWaitMs);
        EXPECT_LE(waited, c.maxWaitMs);
        EXPECT_TRUE(PortClosedBefore(s, boxes[0]));
        EXPECT_EQ(s.Inhibits().size(), 2u) << "the inhibitor is let go";
        EXPECT_EQ(boxes.size(), 2u) << "then Exit's own stop message";
    }
}

// A stand-in module on a real pseudo-terminal linked as the session's COMn, served by
// kv615mq-sim's loop on a thread from PlugIn until Unplug (or the end of the object).
class PluggedModule {
  public:
    PluggedModule(Session& s, vmod_sim::Settings settings) {
        options.root = s.Root().string();
        options.port = s.com;
        options.logPath = (s.Root() / "module.log").string();
        options.settings = std::move(settings);
        PlugIn();
    }
    ~PluggedModule() { Unplug(); }
    void PlugIn() {
        m_stop = false;
        m_thread = std::thread([this] { vmod_sim::RunProgram(options, m_stop, m_out, m_err); });
    }
    void Unplug() {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    // The device COMn links to, once there is one other than `other`; empty after timeoutMs.
    std::filesystem::path Device(const std::filesystem::path& other = {},
                                 int timeoutMs = 5000) const {
        const auto link = std::filesystem::path(options.root) / "dev" /
                          ("COM" + std::to_string(options.port));
        for (int i = 0; i < timeoutMs / 10; ++i) {
            std::error_code ec;
            std::filesystem::path target = std::filesystem::read_symlink(link, ec);
            if (!ec && target != other)
                return target;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return {};
    }

    vmod_sim::ProgramOptions options;

  private:
    std::atomic<bool> m_stop{false};
    std::ostringstream m_out, m_err;
    std::thread m_thread;
};

// The same on a real pseudo-terminal: the stand-in's end closes at main line 3, as a pulled
// adapter's does. The box comes, Exit ends the dialog, the process keeps no descriptor of the
// vanished device, and once the adapter is back the port opens again.
TEST(DownloadFailures, PulledAdapterOnARealPortIsToldAndLeavesThePortFree) {
    Session s(true);
    vmod_sim::Settings settings = ModuleWithBoot("1.05");
    settings.faults.pulledAt.lines = {3};
    PluggedModule module(s, settings);
    const std::filesystem::path device = module.Device();
    ASSERT_FALSE(device.empty());

    UiState afterWorker = RunToTheWorkersEnd(s);
    auto boxes = s.Boxes();
    ASSERT_EQ(boxes.size(), 2u) << "the worker's box, then Exit's stop message";
    EXPECT_EQ(boxes[0].record.text, kTextModuleNoAnswer);
    EXPECT_EQ(boxes[0].record.note, L"COM3: ポートの装置が取り外されました");
    EXPECT_TRUE(afterWorker.exitEnabled);
    EXPECT_TRUE(s.DialogEnded());
    EXPECT_EQ(s.Inhibits().size(), 2u) << "the inhibitor is let go";
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        EXPECT_NE(std::filesystem::read_symlink(fd.path(), ec), device) << "a descriptor kept";
    }
    module.Unplug();
    module.options.settings.faults.pulledAt.lines.clear();
    module.PlugIn();
    ASSERT_FALSE(module.Device().empty()) << "the adapter is back";
    CRs232c port;
    EXPECT_TRUE(port.Open(s.com));
}

// After the module's reset another program takes its port: every re-open is refused, and the
// box under the re-open failure names the port, its device and the holder.
TEST(DownloadFailures, ReopenRefusedByAnotherProgramNamesItUnderTheBox) {
    Session s(true);
    vmod_sim::Settings settings = ModuleWithBoot("1.01");
    settings.resetGoneMs = 0;
    PluggedModule module(s, settings);
    const std::filesystem::path first = module.Device();
    ASSERT_FALSE(first.empty());
    std::unique_ptr<serial_test::ExclusiveHolder> holder;
    std::filesystem::path second;
    std::thread taker([&] {
        second = module.Device(first, 60000);
        if (!second.empty())
            holder = std::make_unique<serial_test::ExclusiveHolder>(second.string());
    });

    UiState afterWorker = RunToTheWorkersEnd(s);
    taker.join();
    ASSERT_TRUE(holder && holder->holding());
    auto boxes = s.Boxes();
    ASSERT_FALSE(boxes.empty());
    EXPECT_EQ(boxes[0].record.text, kTextReopenFailed);
    const std::wstring note = boxes[0].record.note;
    const std::string device = second.string();
    EXPECT_EQ(note.rfind(L"COM3 (" + std::wstring(device.begin(), device.end()) + L"): 他のプログラム(", 0), 0u)
        << note.size();
    EXPECT_NE(note.find(L"プロセスID " + std::to_wstring(holder->pid()) + L")が使用中です"),
              std::wstring::npos);
    EXPECT_TRUE(afterWorker.exitEnabled);
}

TEST(DownloadFailures, WrongByteBeforeTheAcknowledgementIsIgnored) {
    Session s;
    s.module = ModuleWithBoot("1.01");
    s.module.faults.wrongAck.lines = {1, 2, 3};
    s.Run();
    EXPECT_EQ(s.reboots, 1);
    auto lock = s.sim.Lock();
    EXPECT_EQ(s.Module().Completions(Pass::Boot), 1u);
    EXPECT_EQ(s.Module().Completions(Pass::Main), 1u);
}

TEST(DownloadFailures, EndMarkerAnsweredWithoutDownIsRepeatedAfterTheNextAck) {
    Session s;
    s.module = ModuleWithBoot("1.05");
    s.module.faults.noDown = 1;
    s.Run();
    auto writes = s.Writes();
    ASSERT_GE(writes.size(), 2u);
    EXPECT_EQ(writes[writes.size() - 1].bytes, kEnd);
    EXPECT_EQ(writes[writes.size() - 2].bytes, kEnd);
    EXPECT_GE(writes.back().timeMs - writes[writes.size() - 2].timeMs, kMainEndWaitMs);
    EXPECT_EQ(s.reboots, 1);
}

// Header counts that leave no line to send are refused before the module hears anything.
TEST(DownloadFailures, HeaderCountOfZeroOrBelow) {
    struct Case {
        int32_t mainLines;
        int32_t bootLines;
        const char* description;
    };
    const Case cases[] = {
        {0, 5, "main count 0"},
        {-3, 5, "main count negative"},
        {8, 0, "boot count 0 with the boot pass due"},
        {INT32_MAX, 5, "a count the percentage's numerator cannot reach"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        Session s;
        s.module = ModuleWithBoot("1.01");
        s.package.mainLines = c.mainLines;
        s.package.bootLines = c.bootLines;
        s.Run();
        EXPECT_TRUE(s.Writes().empty());
        auto boxes = s.Boxes();
        ASSERT_GE(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].record.text, kTextPayloadDamaged);
        EXPECT_EQ(s.reboots, 0);
    }
}

// ---- the host kept awake
// -------------------------------------------------------------------------

// The inhibitor is taken before the module hears anything and let go exactly once: before
// the reboot is asked for, or when the download ends early. A host without one updates all
// the same.
TEST(DownloadInhibitor, HeldFromTheStartUntilTheRebootOrAnEarlyEnd) {
    struct Case {
        std::function<void(Session&)> setUp;
        const char* description;
        bool completes;
    };
    const Case cases[] = {
        {[](Session&) {}, "a completed update", true},
        {[](Session& s) { s.inhibitorPresent = FALSE; }, "no inhibitor on this host", true},
        {[](Session& s) { s.module.resetGoneMs.reset(); }, "the re-open fails", false},
        {[](Session& s) { s.package.bootRaw = std::vector<uint8_t>(64, 0x5A); },
         "the boot stream cannot be opened", false},
        {[](Session& s) { s.package.mainLines = 0; }, "a header count of 0", false},
        {[](Session& s) { s.module.faults.noUpdateMain = true; }, "no UPDATE READY", false},
        {[](Session& s) {
             s.onWorkerWrite = [](Session& session, size_t index) {
                 if (index == 4)
                     PressExitNow(session);
             };
         },
         "Exit during the boot pass", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        Session s;
        s.module = ModuleWithBoot("1.01");
        c.setUp(s);
        s.Run();
        auto events = s.Inhibits();
        ASSERT_EQ(events.size(), 2u);
        EXPECT_TRUE(events[0].taken);
        EXPECT_EQ(events[0].why, kTextInhibitReason);
        EXPECT_EQ(events[0].writesBefore, 0u) << "taken before the first byte to the module";
        EXPECT_FALSE(events[1].taken);
        EXPECT_EQ(events[1].rebootsBefore, 0) << "released before the reboot is asked for";
        EXPECT_EQ(s.reboots, c.completes ? 1 : 0);
        if (c.completes) {
            EXPECT_EQ(events[1].writesBefore, s.Writes().size());
        }
    }
}

TEST(DownloadInhibitor, NotTakenWithoutADownload) {
    Session s;
    s.start = [](Session& session) { vmod_testing::Click(session.Control(IDC_BUTTON_EXIT)); };
    s.Run();
    EXPECT_TRUE(s.Inhibits().empty());
}

// ---- the dialog's end while the worker waits in its completion message ----------------------

TEST(DownloadLifetime, DialogEndsWhileTheCompletionMessageIsUp) {
    Session s;
    s.endAfterWorker = false;
    bool deleted = false;
    s.onBox = [&](Session& session, const vmod_testing::MessageBoxRecord& record) {
        if (record.text == kTextCompleted) {
            PostMessageW(session.DialogWindow(), WM_COMMAND, ID_APP_EXIT, 0);
            deleted = session.WaitDialogDeleted();
        }
        return IDOK;
    };
    s.Run();
    EXPECT_TRUE(deleted);
    EXPECT_EQ(s.reboots, 1) << "the firmware is in: the reboot still follows";
    EXPECT_FALSE(s.rebootWhileDialogUp);
}

// ---- Start
// ----------------------------------------------------------------------------------------

TEST(DownloadStart, NotOnExternalPowerThenPluggedIn) {
    struct Case {
        BOOL queryResult;
        BYTE acLine;
        const char* description;
    };
    const Case cases[] = {
        {TRUE, 0, "on battery"},
        {TRUE, 2, "backup power"},
        {TRUE, 255, "status unknown"},
        {FALSE, 1, "the query failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        Session s;
        s.powerQueryResult = c.queryResult;
        s.acLineStatus = c.acLine;
        UiState afterRefusal;
        size_t writesAfterRefusal = 99;
        s.start = [&](Session& session) {
            vmod_testing::Click(session.Control(IDC_BUTTON_START));
            afterRefusal = session.TakeUi();
            writesAfterRefusal = session.Writes().size();
            session.powerQueryResult = TRUE;
            session.acLineStatus = 1;
            vmod_testing::Click(session.Control(IDC_BUTTON_START));
        };
        s.Run();
        EXPECT_TRUE(afterRefusal.startEnabled);
        EXPECT_TRUE(afterRefusal.exitEnabled);
        EXPECT_EQ(writesAfterRefusal, 0u);
        auto boxes = s.Boxes();
        ASSERT_GE(boxes.size(), 2u);
        EXPECT_EQ(boxes[0].record.text, L"ACアダプタに接続してください");
        EXPECT_EQ(boxes[0].record.caption, L"注意");
        EXPECT_EQ(boxes[0].record.owner, BoxOwner::Dialog);
        EXPECT_EQ(boxes[0].record.type, static_cast<UINT>(MB_OK));
        EXPECT_EQ(boxes[1].record.text, kTextCompleted);
        EXPECT_EQ(s.reboots, 1);
    }
}

TEST(DownloadStart, SecondPressStartsNoSecondWorker) {
    Session s;
    s.module = ModuleWithBoot("1.05");
    UiState afterPress;
    s.start = [&](Session& session) {
        HWND start = session.Control(IDC_BUTTON_START);
        vmod_testing::Click(start);
        afterPress = session.TakeUi();
        vmod_testing::Click(start); // disabled: nothing happens
        // A click that reached the dialog anyway, as if queued before the first was handled.
        SendMessageW(session.DialogWindow(), WM_COMMAND, MAKEWPARAM(IDC_BUTTON_START, BN_CLICKED),
                     reinterpret_cast<LPARAM>(start));
    };
    s.Run();
    EXPECT_FALSE(afterPress.startEnabled);
    EXPECT_FALSE(afterPress.exitEnabled);
    EXPECT_EQ(vmod_testing::LastWorkerPriority(), THREAD_PRIORITY_HIGHEST);
    auto writes = s.Writes();
    int commands = 0;
    for (const auto& w : writes)
        commands += w.bytes == kMainCommand;
    EXPECT_EQ(commands, 1);
    EXPECT_EQ(s.reboots, 1);
}

TEST(DownloadStart, ExitBeforeAnUpdateEndsAtOnceWithoutAMessage) {
    Session s;
    s.start = [](Session& session) { vmod_testing::Click(session.Control(IDC_BUTTON_EXIT)); };
    INT_PTR code = s.Run();
    EXPECT_EQ(code, IDCANCEL);
    EXPECT_TRUE(s.Boxes().empty());
    EXPECT_TRUE(s.Writes().empty());
}

} // namespace
} // namespace dltest
