#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/sim/sim_test_util.h"
#include "tools/sim/engine.h"

namespace vmod_sim {
namespace {

using test::FirstBlock;
using test::kBootEntry;
using test::kHeader;
using test::kMainEntry;
using test::kResetCommand;
using test::Record;
using test::Wire;

TEST(EngineReplies, AnswersEachCommandByteForByte) {
    struct Case {
        const char* description;
        std::function<void(Settings&)> set;
        std::string command;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"model", [](Settings&) {}, "ATI4\r", "ATI4\r\r\nKV615MQ\r\n\r\nOK\r\n"},
        {"another model", [](Settings& s) { s.model = "KV600"; }, "ATI4\r",
         "ATI4\r\r\nKV600\r\n\r\nOK\r\n"},
        {"firmware: echo, CR LF, version, CR LF, CR LF, OK, CR LF",
         [](Settings& s) { s.firmwareVersion = "1.05"; }, "ATI5\r", "ATI5\r\r\n1.05\r\n\r\nOK\r\n"},
        {"version, current layout", [](Settings&) {}, "!!version\r",
         "!!version\r\r\nV-MOD FW 1.03 \r\nBOOT Block Ver 1.01 \r\n\r\nOK\r\n"},
        {"version, current layout, no boot block", [](Settings& s) { s.bootVersion.reset(); },
         "!!version\r", "!!version\r\r\nV-MOD FW 1.03 \r\n\r\nOK\r\n"},
        {"version, older layout", [](Settings& s) { s.layout = VersionLayout::Older; },
         "!!version\r", "!!version\r\r\nVersion: 1.01 \r\n\r\nOK\r\n"},
        {"version, older layout, no boot block",
         [](Settings& s) {
             s.layout = VersionLayout::Older;
             s.bootVersion.reset();
         },
         "!!version\r", "!!version\r\r\n\r\nOK\r\n"},
        {"five-character versions are not padded",
         [](Settings& s) {
             s.firmwareVersion = "10.25";
             s.bootVersion = "01.02";
         },
         "!!version\r", "!!version\r\r\nV-MOD FW 10.25\r\nBOOT Block Ver 01.02\r\n\r\nOK\r\n"},
        {"boot download", [](Settings&) {}, kBootEntry, "!!dOWNLOADBOOT\r\r\nUPDATE\r\n"},
        {"main download", [](Settings&) {}, kMainEntry, "!!download2cf\r\r\nUPDATE READY\r\n"},
        {"reset: no reply", [](Settings&) {}, kResetCommand, ""},
        {"plain AT", [](Settings&) {}, "AT\r", "AT\r\r\nOK\r\n"},
        {"unknown command", [](Settings&) {}, "!!what\r", "!!what\r\r\nERROR\r\n"},
        {"commands are case-sensitive", [](Settings&) {}, "!!DOWNLOADBOOT\r",
         "!!DOWNLOADBOOT\r\r\nERROR\r\n"},
    };
    for (const Case& c : cases) {
        Settings s;
        c.set(s);
        Wire wire(s);
        EXPECT_EQ(wire.Send(c.command), c.expected) << c.description;
    }
}

// The tool drops the echo up to the first CR or LF, joins the rest without line ends, and
// takes versions at fixed offsets from the labels; the replies must serve that reading.
std::string StripEcho(const std::string& reply) {
    const size_t end = reply.find_first_of("\r\n");
    std::string out;
    if (end == std::string::npos) {
        return out;
    }
    for (char c : reply.substr(end)) {
        if (c != '\r' && c != '\n') {
            out.push_back(c);
        }
    }
    return out;
}

std::string Take5(const std::string& text, const char* label, size_t offset) {
    const size_t at = text.find(label);
    if (at == std::string::npos || at + offset > text.size()) {
        return "";
    }
    return text.substr(at + offset, 5);
}

TEST(EngineReplies, VersionsSitWhereTheToolReadsThem) {
    struct Case {
        const char* description;
        VersionLayout layout;
        std::optional<std::string> boot;
        std::string moduleVersion; // 5 characters at "V-MOD" + 9
        std::string bootVersion;   // at "BOOT Block" + 15, or "Version" + 9 when older
    } cases[] = {
        {"current layout", VersionLayout::Current, "1.01", "1.03 ", "1.01 "},
        {"current layout, no boot block", VersionLayout::Current, std::nullopt, "1.03 ", ""},
        {"older layout", VersionLayout::Older, "1.01", "", "1.01 "},
        {"older layout, no version", VersionLayout::Older, std::nullopt, "", ""},
    };
    for (const Case& c : cases) {
        Settings s;
        s.layout = c.layout;
        s.bootVersion = c.boot;
        Wire wire(s);
        const std::string text = StripEcho(wire.Send("!!version\r"));
        const bool current = text.find("V-MOD") != std::string::npos;
        EXPECT_EQ(current, c.layout == VersionLayout::Current) << c.description;
        EXPECT_EQ(current ? Take5(text, "V-MOD", 9) : "", c.moduleVersion) << c.description;
        EXPECT_EQ(current ? Take5(text, "BOOT Block", 15) : Take5(text, "Version", 9),
                  c.bootVersion)
            << c.description;
    }
    Wire wire;
    std::string firmware = StripEcho(wire.Send("ATI5\r"));
    EXPECT_EQ(firmware.substr(0, firmware.find("OK")), "1.03");
}

TEST(EngineFaults, DevicesThatAreNotTheModule) {
    struct Case {
        const char* description;
        std::function<void(Faults&)> set;
        std::string command;
        std::string expected; // exact, or "" for no reply
    };
    const std::vector<Case> cases = {
        {"silent: model query", [](Faults& f) { f.silent = true; }, "ATI4\r", ""},
        {"silent: download", [](Faults& f) { f.silent = true; }, kMainEntry, ""},
        {"decoy: echoes AT, no model", [](Faults& f) { f.decoy = true; }, "ATI4\r",
         "ATI4\r\r\nOK\r\n"},
        {"decoy: firmware query", [](Faults& f) { f.decoy = true; }, "ATI5\r", "ATI5\r\r\nOK\r\n"},
        {"decoy: not an AT command", [](Faults& f) { f.decoy = true; }, "!!version\r",
         "!!version\r\r\nERROR\r\n"},
    };
    for (const Case& c : cases) {
        Settings s;
        c.set(s.faults);
        Wire wire(s);
        EXPECT_EQ(wire.Send(c.command), c.expected) << c.description;
    }
}

TEST(EngineFaults, GarbageIsNeitherEchoNorModelAndRepeatsPerSeed) {
    Settings s;
    s.faults.garbage = true;
    Wire first(s);
    Wire second(s);
    const std::string a = first.Send("ATI4\r");
    const std::string b = first.Send("ATI4\r");
    ASSERT_GE(a.size(), 2u);
    EXPECT_NE(a.substr(0, 2), "AT");
    EXPECT_EQ(a.find("KV615MQ"), std::string::npos);
    EXPECT_NE(a, b) << "noise differs between replies";
    EXPECT_EQ(second.Send("ATI4\r"), a) << "and is the same for the same seed";
}

TEST(EngineFaults, NoUpdateStillTakesTheImage) {
    struct Case {
        const char* description;
        bool boot;
        std::string entry;
        std::string reply;
    } cases[] = {
        {"boot", true, kBootEntry, "!!dOWNLOADBOOT\r\r\nERROR\r\n"},
        {"main", false, kMainEntry, "!!download2cf\r\r\nERROR\r\n"},
    };
    for (const Case& c : cases) {
        Settings s;
        (c.boot ? s.faults.noUpdateBoot : s.faults.noUpdateMain) = true;
        Wire wire(s);
        const std::string reply = wire.Send(c.entry);
        EXPECT_EQ(reply, c.reply) << c.description;
        EXPECT_EQ(reply.find("UPDATE"), std::string::npos) << c.description;
        EXPECT_EQ(wire.Send(FirstBlock(kHeader)), ".") << c.description;
        EXPECT_EQ(wire.Send(Record(1, 0, {1, 2}) + "\r\n"), ".") << c.description;
        EXPECT_EQ(wire.Send(Record(9, 0, {}) + "\r\n"), ".") << c.description;
        EXPECT_EQ(wire.Send("\r\n"), "DOWN\r\n") << c.description;
    }
}

TEST(EngineDownload, AssemblesTheImageFromS1S2S3Records) {
    struct Case {
        const char* description;
        int dataType;
        uint32_t base;
        int endType;
    } cases[] = {
        {"S1 data, S9 end", 1, 0x1000, 9},
        {"S2 data, S8 end", 2, 0x0F0000, 8},
        {"S3 data, S7 end", 3, 0x08000000, 7},
    };
    for (const Case& c : cases) {
        Wire wire;
        ASSERT_EQ(wire.Send(kMainEntry, 200), "!!download2cf\r\r\nUPDATE READY\r\n");
        EXPECT_EQ(wire.Send(FirstBlock(kHeader), 500), ".") << c.description;
        std::vector<uint8_t> expected;
        for (int i = 0; i < 5; ++i) {
            std::vector<uint8_t> data(16);
            for (size_t k = 0; k < data.size(); ++k) {
                data[k] = static_cast<uint8_t>(i * 16 + k);
            }
            expected.insert(expected.end(), data.begin(), data.end());
            EXPECT_EQ(wire.Send(Record(c.dataType, c.base + 16 * i, data) + "\r\n", 1), ".")
                << c.description << " line " << i + 2;
        }
        EXPECT_EQ(wire.Send(Record(5 + (c.dataType == 3), 5, {}) + "\r\n", 1), ".")
            << c.description << ": count record";
        EXPECT_EQ(wire.Send(Record(c.endType, c.base, {}) + "\r\n", 1000), ".") << c.description;
        EXPECT_EQ(wire.Send("\r\n", 6000), "DOWN\r\n") << c.description;
        const SparseImage& image = wire.engine.MainImage();
        EXPECT_EQ(image.Low(), c.base) << c.description;
        EXPECT_EQ(image.ToBinary(), expected) << c.description;
        EXPECT_EQ(image.startAddress, c.base) << c.description;
        EXPECT_EQ(wire.engine.Completions(Pass::Main), 1u) << c.description;
        EXPECT_EQ(wire.engine.FaultCount(), 0u) << c.description;
        EXPECT_TRUE(wire.engine.BootImage().Empty()) << c.description;
        EXPECT_EQ(wire.Send("ATI4\r"), "ATI4\r\r\nKV615MQ\r\n\r\nOK\r\n")
            << c.description << ": back in command mode";
    }
}

TEST(EngineDownload, KeepsBootAndMainImagesApart) {
    Wire wire;
    EXPECT_EQ(wire.Send(kBootEntry, 500), "!!dOWNLOADBOOT\r\r\nUPDATE\r\n");
    EXPECT_EQ(wire.Send(FirstBlock(Record(1, 0x0000, {0xB0, 0xB1})), 500), ".");
    EXPECT_EQ(wire.Send(Record(9, 0, {}) + "\r\n"), ".");
    EXPECT_EQ(wire.Send("\r\n", 5000), "DOWN\r\n");
    EXPECT_EQ(wire.Send(kResetCommand, 5000), "");
    EXPECT_EQ(wire.Send(kMainEntry, 200), "!!download2cf\r\r\nUPDATE READY\r\n");
    EXPECT_EQ(wire.Send(FirstBlock(Record(1, 0x0000, {0x10, 0x11, 0x12})), 500), ".");
    EXPECT_EQ(wire.Send(Record(9, 0, {}) + "\r\n"), ".");
    EXPECT_EQ(wire.Send("\r\n", 6000), "DOWN\r\n");
    EXPECT_EQ(wire.engine.BootImage().ToBinary(), (std::vector<uint8_t>{0xB0, 0xB1}));
    EXPECT_EQ(wire.engine.MainImage().ToBinary(), (std::vector<uint8_t>{0x10, 0x11, 0x12}));
    EXPECT_EQ(wire.engine.Completions(Pass::Boot), 1u);
    EXPECT_EQ(wire.engine.Completions(Pass::Main), 1u);
    EXPECT_EQ(wire.engine.FaultCount(), 0u);
    // A second main download erases the main image first and leaves the boot image.
    wire.Wait(10000);
    EXPECT_EQ(wire.Send(kMainEntry, 200), "!!download2cf\r\r\nUPDATE READY\r\n");
    EXPECT_EQ(wire.Send(FirstBlock(Record(1, 0x0100, {0x77})), 500), ".");
    EXPECT_EQ(wire.engine.MainImage().ToBinary(), (std::vector<uint8_t>{0x77}));
    EXPECT_EQ(wire.engine.BootImage().ToBinary(), (std::vector<uint8_t>{0xB0, 0xB1}));
}

TEST(EngineDownload, ImageOfOneLine) {
    Wire wire;
    wire.Send(kMainEntry, 200);
    EXPECT_EQ(wire.Send(FirstBlock(Record(9, 0, {})), 500), ".");
    EXPECT_EQ(wire.Send("\r\n", 6000), "DOWN\r\n");
    EXPECT_EQ(wire.engine.FaultCount(), 0u);
    ASSERT_EQ(wire.engine.Lines().size(), 1u);
    EXPECT_EQ(wire.engine.Lines()[0].number, 1u);
}

// Each case: a sound first block, the lines before, then the line under test.
TEST(EngineLineChecks, FaultsAreFoundAndNamed) {
    struct Case {
        const char* description;
        std::vector<std::string> before;
        std::string line; // bytes exactly as sent
        const char* fault;
        uint64_t waitMs = 10;
    };
    const std::string s1 = Record(1, 0x10, {1, 2, 3, 4});
    std::string badChecksum = s1;
    badChecksum.back() = badChecksum.back() == '0' ? '1' : '0';
    std::string badCount = s1;
    badCount[3] = '5'; // count 0x05 where 0x07 bytes follow
    const std::vector<Case> cases = {
        {"bad checksum", {}, badChecksum + "\r\n", "checksum"},
        {"bad count", {}, badCount + "\r\n", "count says 5 bytes follow, 7 do"},
        {"LF without CR", {}, s1 + "\n", "line not ended by CR LF"},
        {"CR without LF, judged after standing", {}, s1 + "\r", "line not ended by CR LF", 1100},
        {"no line end at all, judged after standing", {}, s1, "line not ended by CR LF", 1100},
        {"wrong type",
         {},
         Record(1, 0x10, {1}).replace(1, 1, "4") + "\r\n",
         "unknown record type S4"},
        {"not a hex digit", {}, "S1040010ZZ41\r\n", "not a hex digit"},
        {"stray CR inside", {}, s1.substr(0, 6) + "\r" + s1.substr(6) + "\r\n", "stray CR"},
        {"not an S-record", {}, "ATI4\r\n", "not an S-record"},
        {"data written twice", {s1}, Record(1, 0x12, {9, 9}) + "\r\n", "written before"},
        {"count record disagrees",
         {s1},
         Record(5, 2, {}) + "\r\n",
         "count record says 2 data records, 1 came"},
        {"data after the termination record",
         {Record(9, 0, {})},
         s1 + "\r\n",
         "record after the termination record"},
    };
    for (const Case& c : cases) {
        Wire wire;
        wire.Send(kMainEntry, 200);
        ASSERT_EQ(wire.Send(FirstBlock(kHeader), 500), ".") << c.description;
        for (const std::string& line : c.before) {
            ASSERT_EQ(wire.Send(line + "\r\n", 10), ".") << c.description;
        }
        EXPECT_EQ(wire.Send(c.line, c.waitMs), ".") << c.description << ": acknowledged";
        EXPECT_EQ(wire.engine.ImageFaults(Pass::Main), 1u) << c.description;
        ASSERT_FALSE(wire.engine.Lines().empty()) << c.description;
        const LineRecord& judged = wire.engine.Lines().back();
        EXPECT_NE(judged.fault.find(c.fault), std::string::npos)
            << c.description << ": got \"" << judged.fault << "\"";
        EXPECT_EQ(judged.number, c.before.size() + 2) << c.description;
    }
}

TEST(EngineLineChecks, DataOutsideTheImagesRange) {
    Settings s;
    s.mainRange = std::make_pair(0x1000u, 0x1FFFu);
    Wire wire(s);
    wire.Send(kMainEntry, 200);
    EXPECT_EQ(wire.Send(FirstBlock(Record(1, 0x1FFC, {1, 2, 3, 4})), 500), ".");
    EXPECT_EQ(wire.Send(Record(1, 0x1FFD, {5, 6, 7, 8}) + "\r\n"), ".");
    EXPECT_EQ(wire.engine.ImageFaults(Pass::Main), 1u);
    EXPECT_NE(wire.engine.Lines().back().fault.find("outside the main image's range"),
              std::string::npos);
    EXPECT_EQ(wire.engine.MainImage().Size(), 4u) << "the faulty line is not programmed";
}

TEST(EngineLineChecks, FaultyLineIsAnsweredAsConfigured) {
    struct Case {
        BadLineReply policy;
        const char* expected;
    } cases[] = {
        {BadLineReply::Ack, "."},
        {BadLineReply::Nak, "E"},
        {BadLineReply::Silent, ""},
    };
    for (const Case& c : cases) {
        Settings s;
        s.badLineReply = c.policy;
        Wire wire(s);
        wire.Send(kMainEntry, 200);
        wire.Send(FirstBlock(kHeader), 500);
        EXPECT_EQ(wire.Send("S1040010AA40\r\n"), c.expected) << static_cast<int>(c.policy);
        EXPECT_TRUE(wire.engine.MainImage().Empty()) << static_cast<int>(c.policy);
        EXPECT_EQ(wire.Send(Record(1, 0x10, {0xAA}) + "\r\n"), ".")
            << "the next sound line is acknowledged";
        EXPECT_EQ(wire.engine.MainImage().Size(), 1u);
    }
}

TEST(EngineFirstBlock, ChecksTheFraming) {
    const std::string text = Record(1, 0x20, {1, 2, 3});
    std::string noCrLf = FirstBlock(text);
    noCrLf[78] = '\0';
    noCrLf[79] = '\0';
    std::string dirtyFill = FirstBlock(text);
    dirtyFill[70] = 'x';
    std::string lineEndInside = FirstBlock(text + "\r\n");
    const std::string longText = "S12A0000" + std::string(72, '0') + "D5"; // 82 characters
    struct Case {
        const char* description;
        std::string block;
        const char* fault; // "" when sound
        uint64_t waitMs = 500;
    };
    const std::vector<Case> cases = {
        {"sound block", FirstBlock(text), ""},
        {"CR LF missing at 78 and 79", noCrLf, "lacks CR LF at offsets 78 and 79"},
        {"fill not NUL", dirtyFill, "byte 70 after the text is not NUL"},
        {"line end inside the block", lineEndInside, "after the text is not NUL"},
        {"the line sent bare, judged after standing", text + "\r\n", "has 18 of 80 bytes", 1500},
        {"a line over 78 characters loses its tail", FirstBlock(longText), "count says"},
    };
    for (const Case& c : cases) {
        Wire wire;
        wire.Send(kMainEntry, 200);
        EXPECT_EQ(wire.Send(c.block, c.waitMs), ".") << c.description;
        ASSERT_EQ(wire.engine.Lines().size(), 1u) << c.description;
        const LineRecord& line = wire.engine.Lines()[0];
        EXPECT_EQ(line.number, 1u);
        if (*c.fault == '\0') {
            EXPECT_EQ(line.fault, "") << c.description;
            EXPECT_EQ(line.text, text) << c.description;
        } else {
            EXPECT_NE(line.fault.find(c.fault), std::string::npos)
                << c.description << ": got \"" << line.fault << "\"";
        }
    }
}

TEST(EngineAckFaults, WrongLostAndSilentAcknowledgements) {
    struct Case {
        const char* description;
        std::function<void(Faults&)> set;
        std::vector<std::string> replies; // to lines 1..4
        std::string afterwards;           // reply to "ATI4\r" after the end marker
    };
    const std::string model = "ATI4\r\r\nKV615MQ\r\n\r\nOK\r\n";
    const std::vector<Case> cases = {
        {"none", [](Faults&) {}, {".", ".", ".", "."}, model},
        {"wrong byte before line 2's '.'",
         [](Faults& f) { ParseLineSet("main:2", &f.wrongAck); },
         {".", "?.", ".", "."},
         model},
        {"another wrong byte on all lines",
         [](Faults& f) {
             ParseLineSet("all", &f.wrongAck);
             f.wrongByte = 0x15;
         },
         {"\x15.", "\x15.", "\x15.", "\x15."},
         model},
        {"wrong byte limited to the boot image",
         [](Faults& f) { ParseLineSet("boot:all", &f.wrongAck); },
         {".", ".", ".", "."},
         model},
        {"acknowledgements of lines 2 and 3 lost",
         [](Faults& f) { ParseLineSet("2,3", &f.lostAck); },
         {".", "", "", "."},
         model},
        {"noise instead of line 3's '.'",
         [](Faults& f) { ParseLineSet("main:3", &f.garbledAck); },
         {".", ".", "\xC6\xFE\x81", "."},
         model},
        {"silent from line 3: the module hangs",
         [](Faults& f) { ParseLineSet("main:3", &f.silentFrom); },
         {".", ".", "", ""},
         ""},
    };
    for (const Case& c : cases) {
        Settings s;
        c.set(s.faults);
        Wire wire(s);
        wire.Send(kMainEntry, 200);
        const std::vector<std::string> lines = {FirstBlock(kHeader), Record(1, 0, {1}) + "\r\n",
                                                Record(1, 1, {2}) + "\r\n",
                                                Record(9, 0, {}) + "\r\n"};
        for (size_t i = 0; i < lines.size(); ++i) {
            EXPECT_EQ(wire.Send(lines[i], 1100), c.replies[i])
                << c.description << " line " << i + 1;
        }
        wire.Send("\r\n", 6000);
        EXPECT_EQ(wire.Send("ATI4\r"), c.afterwards) << c.description;
    }
}

TEST(EngineEndMarker, AnsweredWithoutDownUntilTheToolRepeatsIt) {
    Settings s;
    s.faults.noDown = 2;
    s.faults.noDownAckDelayMs = 7500;
    Wire wire(s);
    wire.Send(kMainEntry, 200);
    wire.Send(FirstBlock(Record(9, 0, {})), 500);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(wire.Send("\r\n", 6000), "BUSY\r\n") << "end marker " << i + 1;
        EXPECT_EQ(wire.Wait(1000), "") << "nothing within the end read";
        EXPECT_EQ(wire.Wait(500), ".") << "the late '.' that releases the repeat";
    }
    EXPECT_EQ(wire.Send("\r\n", 6000), "DOWN\r\n");
    EXPECT_EQ(wire.engine.Completions(Pass::Main), 1u);
    EXPECT_EQ(wire.engine.FaultCount(), 0u);
}

TEST(EngineFaults, CutRepliesLoseOrDelayTheirRest) {
    struct Case {
        const char* cut;
        std::string send; // an end marker is sent in a download of one line
        std::string first, rest;
    };
    const std::vector<Case> cases = {
        {"model:6", "ATI4\r", "ATI4\r\r", ""},
        {"version:24+1500", "!!version\r", "!!version\r\r\nV-MOD FW 1.0",
         "3 \r\nBOOT Block Ver 1.01 \r\n\r\nOK\r\n"},
        {"main-update:0+800", kMainEntry, "", "!!download2cf\r\r\nUPDATE READY\r\n"},
        {"main-down:2", "\r\n", "DO", ""},
        {"boot-down:2", "\r\n", "DOWN\r\n", ""}, // only the named image's reply
    };
    for (const Case& c : cases) {
        Settings s;
        ASSERT_TRUE(ParseReplyCut(c.cut, &s.faults.cut)) << c.cut;
        Wire wire(s);
        if (c.send == "\r\n") {
            wire.Send(kMainEntry, 200);
            wire.Send(FirstBlock(Record(9, 0, {})), 500);
        }
        EXPECT_EQ(wire.Send(c.send, 500), c.first) << c.cut;
        EXPECT_EQ(wire.Wait(2000), c.rest) << c.cut;
    }
    ReplyCut cut;
    for (const char* bad : {"model", "down:2", "model:x", "model:2+", "model:2+y", "MODEL:2"})
        EXPECT_FALSE(ParseReplyCut(bad, &cut)) << bad;
}

TEST(EngineEndMarker, ImageWithoutTerminationIsAFault) {
    Wire wire;
    wire.Send(kMainEntry, 200);
    wire.Send(FirstBlock(kHeader), 500);
    EXPECT_EQ(wire.Send("\r\n", 6000), "DOWN\r\n");
    EXPECT_EQ(wire.engine.ImageFaults(Pass::Main), 1u);
}

TEST(EngineReset, PortGoneForTheSetTimeThenBack) {
    struct Case {
        const char* description;
        std::optional<uint32_t> goneMs;
        uint32_t latencyUs;
    } cases[] = {
        {"3 s away", 3000, 0},
        {"31 s away, after a 2 ms latency", 31000, 2000},
        {"away and back at once", 0, 0},
        {"never back", std::nullopt, 0},
    };
    for (const Case& c : cases) {
        Settings s;
        s.resetGoneMs = c.goneMs;
        s.latencyUs = c.latencyUs;
        Wire wire(s);
        wire.nowUs = 1'000'000;
        const uint64_t resetAt = 1'000'000 + c.latencyUs;
        wire.engine.Receive(reinterpret_cast<const uint8_t*>(kResetCommand.data()),
                            kResetCommand.size(), wire.nowUs);
        EXPECT_EQ(wire.engine.Generation(), 0u) << c.description << ": carried out when due";
        if (c.latencyUs) {
            EXPECT_TRUE(wire.engine.Present(resetAt - 1)) << c.description;
            EXPECT_EQ(wire.engine.Generation(), 0u) << c.description;
        }
        EXPECT_EQ(wire.engine.Present(resetAt), c.goneMs == 0u) << c.description;
        EXPECT_EQ(wire.engine.Generation(), 1u) << c.description;
        if (!c.goneMs) {
            EXPECT_FALSE(wire.engine.Present(1'000'000'000'000)) << c.description;
            continue;
        }
        const uint64_t backAt = resetAt + uint64_t{*c.goneMs} * 1000;
        if (*c.goneMs > 0) {
            EXPECT_FALSE(wire.engine.Present(backAt - 1)) << c.description;
            wire.nowUs = backAt - 1;
            EXPECT_EQ(wire.Send("ATI4\r", 0), "") << c.description << ": lost while away";
        }
        EXPECT_TRUE(wire.engine.Present(backAt)) << c.description;
        wire.nowUs = backAt;
        EXPECT_EQ(wire.Send("ATI4\r"), "ATI4\r\r\nKV615MQ\r\n\r\nOK\r\n") << c.description;
    }
}

TEST(EngineReset, DropsRepliesAndUnfinishedInput) {
    Settings s;
    s.latencyUs = 50'000;
    s.resetGoneMs = 0;
    Wire wire(s);
    // A reply still on its way when the reset lands is lost with the module's state.
    wire.Send("ATI4\r", 0);
    wire.Send(kResetCommand, 0);
    EXPECT_EQ(wire.Wait(100), "");
    EXPECT_EQ(wire.Send("ATI5\r"), "ATI5\r\r\n1.03\r\n\r\nOK\r\n");
    // Inside a download the reset command is line data: no reset.
    wire.Send(kMainEntry, 100);
    wire.Send(FirstBlock(kHeader).substr(0, 40), 0);
    wire.Send(kResetCommand, 1100);
    EXPECT_EQ(wire.engine.Generation(), 1u);
    EXPECT_NE(wire.engine.Lines().back().fault.find("has 50 of 80 bytes"), std::string::npos);
}

TEST(EngineTiming, LatencyDelaysEveryReply) {
    Settings s;
    s.latencyUs = 2500;
    Wire wire(s);
    wire.nowUs = 10'000;
    EXPECT_EQ(wire.Send("ATI4\r", 0), "");
    wire.nowUs = 12'499;
    EXPECT_EQ(wire.Take(), "");
    wire.nowUs = 12'500;
    EXPECT_EQ(wire.Take(), "ATI4\r\r\nKV615MQ\r\n\r\nOK\r\n");
    EXPECT_EQ(wire.engine.NextEventUs(), UINT64_MAX);
}

TEST(EngineTiming, WirePacingAt115200Baud) {
    Settings s;
    s.paceBaud = 115200; // 86.806 us per byte
    Wire wire(s);
    wire.Send("ATI4\r", 0); // its CR lands at 5 bytes: 434.03 us
    ASSERT_EQ(wire.engine.Commands().size(), 1u);
    EXPECT_EQ(wire.engine.Commands()[0].timeUs, 435u);
    // Reply bytes leave one after another: byte k (from 1) is in at 434.03 + k * 86.806 us.
    struct Case {
        uint64_t atUs;
        size_t bytesIn;
    } cases[] = {{520, 0}, {522, 1}, {608, 1}, {609, 2}, {2344, 21}, {2345, 22}, {5000, 22}};
    size_t have = 0;
    for (const Case& c : cases) {
        wire.nowUs = c.atUs;
        have += wire.Take().size();
        EXPECT_EQ(have, c.bytesIn) << "at " << c.atUs << " us";
    }
    // Input bytes queue behind each other on the wire even when written at once.
    wire.Send(kMainEntry, 0);
    const uint64_t entryAt = wire.engine.Commands().back().timeUs;
    EXPECT_EQ(entryAt, 5000 + 1389u); // 16 bytes: 1388.9 us
}

TEST(EngineCommands, FramingOfCommands) {
    // The LF NUL after "!!download2cf\r" may come in a later write.
    {
        Wire wire;
        EXPECT_EQ(wire.Send("!!download2cf\r", 10), "");
        EXPECT_EQ(wire.Send(std::string("\n\0", 2)), "!!download2cf\r\r\nUPDATE READY\r\n");
        EXPECT_EQ(wire.engine.FaultCount(), 0u);
        EXPECT_EQ(wire.engine.Commands().back().bytes, kMainEntry);
    }
    // Without its NUL the command is still carried out, and the fault logged.
    {
        Wire wire;
        EXPECT_EQ(wire.Send("!!download2cf\r\n", 1100), "!!download2cf\r\r\nUPDATE READY\r\n");
        EXPECT_EQ(wire.engine.FaultCount(), 1u);
        EXPECT_EQ(wire.Send(FirstBlock(kHeader)), ".");
    }
    // A byte other than the suffix: fault, command carried out, the byte taken as data.
    {
        Wire wire;
        const std::string block = FirstBlock(kHeader);
        EXPECT_EQ(wire.Send("!!download2cf\r" + block), "!!download2cf\r\r\nUPDATE READY\r\n.");
        EXPECT_EQ(wire.engine.FaultCount(), 1u);
    }
    // LF and NUL between commands are ignored; a command without CR is dropped.
    {
        Wire wire;
        EXPECT_EQ(wire.Send(std::string("\n\0\nATI4\r", 8)), "ATI4\r\r\nKV615MQ\r\n\r\nOK\r\n");
        EXPECT_EQ(wire.Send("ATI", 1100), "");
        EXPECT_EQ(wire.engine.FaultCount(), 1u);
        EXPECT_EQ(wire.Send("ATI5\r"), "ATI5\r\r\n1.03\r\n\r\nOK\r\n");
    }
}

TEST(EngineLog, EveryCommandAndLineWithItsArrivalTime) {
    Wire wire;
    wire.nowUs = 200'000;
    wire.Send("ATI4\r", 100);
    wire.Send(kMainEntry, 200);
    wire.Send(FirstBlock(kHeader), 500);
    wire.Send("S1040000AA00\r\n", 1);
    std::vector<std::string> lines;
    for (const LogEntry& e : wire.engine.Log()) {
        if (e.kind == LogKind::Command || e.kind == LogKind::Line || e.kind == LogKind::Fault) {
            lines.push_back(FormatLogEntry(e));
        }
    }
    const std::vector<std::string> expected = {
        "     200.000 command \"ATI4\\r\"",
        "     300.000 command \"!!download2cf\\r\\n\\0\"",
        "     500.000 line    main 1 \"S00600004844521B\" ok",
        "    1000.000 line    main 2 \"S1040000AA00\" fault: checksum 0x00, the record needs 0x51",
        "    1000.000 fault   main 2: checksum 0x00, the record needs 0x51",
    };
    EXPECT_EQ(lines, expected);
    std::vector<std::string> streamed;
    Wire sinked;
    sinked.engine.SetKeepLog(false);
    sinked.engine.SetLogSink([&](const LogEntry& e) { streamed.push_back(FormatLogEntry(e)); });
    sinked.Send("ATI5\r");
    EXPECT_TRUE(sinked.engine.Log().empty());
    EXPECT_EQ(streamed, (std::vector<std::string>{
                            "       0.000 command \"ATI5\\r\"",
                            "       0.000 reply   \"ATI5\\r\\r\\n1.03\\r\\n\\r\\nOK\\r\\n\""}));
}

TEST(LineSet, ParsesWhichLinesAndImages) {
    struct Case {
        const char* text;
        bool ok;
        std::vector<std::pair<Pass, uint32_t>> in;
        std::vector<std::pair<Pass, uint32_t>> out;
    } cases[] = {
        {"all", true, {{Pass::Boot, 1}, {Pass::Main, 999}}, {}},
        {"3", true, {{Pass::Boot, 3}, {Pass::Main, 3}}, {{Pass::Main, 2}, {Pass::Main, 4}}},
        {"main:2,7", true, {{Pass::Main, 2}, {Pass::Main, 7}}, {{Pass::Boot, 2}, {Pass::Main, 3}}},
        {"boot:all", true, {{Pass::Boot, 5}}, {{Pass::Main, 5}}},
        {"", false, {}, {}},
        {"0", false, {}, {}},
        {"2,", false, {}, {}},
        {"x", false, {}, {}},
        {"main:", false, {}, {}},
        {"both:1", false, {}, {}},
    };
    for (const Case& c : cases) {
        LineSet set;
        EXPECT_EQ(ParseLineSet(c.text, &set), c.ok) << c.text;
        for (auto [pass, line] : c.in) {
            EXPECT_TRUE(set.Contains(pass, line)) << c.text << " " << line;
        }
        for (auto [pass, line] : c.out) {
            EXPECT_FALSE(set.Contains(pass, line)) << c.text << " " << line;
        }
    }
    LineSet from;
    ASSERT_TRUE(ParseLineSet("main:5,9", &from));
    EXPECT_FALSE(from.ReachedBy(Pass::Main, 4));
    EXPECT_TRUE(from.ReachedBy(Pass::Main, 5));
    EXPECT_TRUE(from.ReachedBy(Pass::Main, 6));
    EXPECT_FALSE(from.ReachedBy(Pass::Boot, 6));
}

} // namespace
} // namespace vmod_sim
