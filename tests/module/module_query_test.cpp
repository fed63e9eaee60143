// Module identification on the real dialog: which ports are probed, what is written and read
// on the wire and when, how the replies are parsed, the version check and both ways the
// query ends the program.
#include <gtest/gtest.h>

#include <cwchar>
#include <optional>

#include "tests/app/dialog_harness.h"
#include "tests/comma_locale.h"
#include "tests/platform/serial_test_util.h"

using namespace vmod_apptest;

namespace {

const wchar_t kNotFound[] = L"KV615MQが見つかりませんでした。接続を確認してください";
const wchar_t kNoDowngrade[] = L"古いバージョンにバージョンダウンする事はできません。終了します";

std::vector<int> Range(int first, int last) {
    std::vector<int> out;
    for (int i = first; i <= last; ++i) {
        out.push_back(i);
    }
    return out;
}

// The writes on one port, in order.
std::vector<std::string> WritesOn(const std::vector<WireEvent>& events, int com) {
    std::vector<std::string> out;
    for (const WireEvent& e : events) {
        if (e.com == com && e.kind == WireEvent::Write) {
            out.push_back(e.bytes);
        }
    }
    return out;
}

bool ClosedProperly(const std::vector<WireEvent>& events, int com) {
    std::vector<DWORD> purges;
    bool closed = false;
    for (const WireEvent& e : events) {
        if (e.com != com) {
            continue;
        }
        if (e.kind == WireEvent::Purge) {
            purges.push_back(e.purge);
        }
        closed = closed || e.kind == WireEvent::Closed;
    }
    return closed && purges == std::vector<DWORD>({8, 4, 2, 1});
}

bool OpenAfter(const std::vector<WireEvent>& events, size_t count, int com) {
    bool open = false;
    for (size_t i = 0; i < count && i < events.size(); ++i) {
        const WireEvent& e = events[i];
        if (e.com == com && e.kind == WireEvent::Opened) {
            open = true;
        }
        if (e.com == com && e.kind == WireEvent::Closed) {
            open = false;
        }
    }
    return open;
}

// note: the lines the box shows under its text, for ports the host refused.
void ExpectEndedWithNotFound(DialogSession& session, const std::wstring& note = L"") {
    ASSERT_EQ(session.boxes.size(), 1u);
    const BoxSeen& box = session.boxes[0];
    EXPECT_EQ(box.record.owner, vmod_testing::BoxOwner::Dialog);
    EXPECT_EQ(box.record.ownerWindow, session.DialogWindow());
    EXPECT_EQ(box.record.text, kNotFound);
    EXPECT_EQ(box.record.caption, L"注意");
    EXPECT_EQ(box.record.type, static_cast<UINT>(MB_OK));
    EXPECT_EQ(box.record.note, note);
    EXPECT_FALSE(box.atBox.busyCursor) << "the busy cursor is down before the box";
    EXPECT_FALSE(box.atBox.startEnabled);
    EXPECT_TRUE(box.exitPostedBefore) << "the exit command is posted before the box";
    EXPECT_TRUE(session.endedByItself);
}

// ---- which ports ------------------------------------------------------------------------------

struct PortCase {
    int moduleCom;
    const char* description;
};

void PrintTo(const PortCase& c, std::ostream* os) {
    *os << c.description;
}

class ModuleOnPort : public ::testing::TestWithParam<PortCase> {};

TEST_P(ModuleOnPort, IsFoundAfterProbingEveryLowerPortAndStaysOpen) {
    const PortCase& c = GetParam();
    DialogSession session;
    session.root.WritePackage({.mainVersion = "1.05"});
    session.sim.Attach(c.moduleCom, Firmware("1.03"));

    session.RunDialog();

    std::vector<WireEvent> events = session.wire->Events();
    EXPECT_EQ(session.wire->OpenAttempts(), Range(1, c.moduleCom));
    EXPECT_EQ(session.wire->OpenedPorts(), std::vector<int>{c.moduleCom});
    EXPECT_EQ(session.nPort, c.moduleCom);
    EXPECT_EQ(session.strModel, CString(L"KV615MQ"));
    EXPECT_EQ(session.afterQuery.model, L"KV615MQ");
    EXPECT_EQ(session.afterQuery.current, L"1.03");
    EXPECT_EQ(session.afterQuery.newVersion, L"1.05");
    EXPECT_TRUE(session.afterQuery.startEnabled);
    EXPECT_TRUE(session.afterQuery.exitEnabled);
    EXPECT_FALSE(session.afterQuery.busyCursor);
    EXPECT_TRUE(session.boxes.empty());
    EXPECT_TRUE(OpenAfter(events, session.wireEventsAfterQuery, c.moduleCom))
        << "the port stays open for the worker to take over";
    EXPECT_FALSE(session.endedByItself);
}

INSTANTIATE_TEST_SUITE_P(Ports, ModuleOnPort,
                         ::testing::Values(PortCase{1, "first port, nothing else opened"},
                                           PortCase{3, "a port in between"},
                                           PortCase{49, "last probed port, after 48 probes"}),
                         [](const auto& info) {
                             return "COM" + std::to_string(info.param.moduleCom);
                         });

TEST(ModuleQuery, AModuleOnCom50IsNeverFound) {
    DialogSession session;
    session.root.WritePackage({});
    session.sim.Attach(50);

    session.RunDialog();

    EXPECT_EQ(session.wire->OpenAttempts(), Range(1, 49));
    EXPECT_TRUE(session.wire->OpenedPorts().empty());
    ExpectEndedWithNotFound(session);
}

TEST(ModuleQuery, NoModuleAtAllEndsTheProgramWithTheNotFoundBox) {
    DialogSession session;
    session.root.WritePackage({});

    BOOL result = session.RunApp();

    EXPECT_FALSE(result);
    EXPECT_EQ(session.wire->OpenAttempts(), Range(1, 49));
    ExpectEndedWithNotFound(session);
    EXPECT_EQ(session.boxes[0].atBox.model, L"");
    EXPECT_EQ(session.boxes[0].atBox.current, L"");
}

// Devices on lower ports that are not the module are closed and the search goes on.
struct StrangerCase {
    vmod_sim::Faults faults;
    const char* description;
};

void PrintTo(const StrangerCase& c, std::ostream* os) {
    *os << c.description;
}

class StrangerOnLowerPort : public ::testing::TestWithParam<StrangerCase> {};

TEST_P(StrangerOnLowerPort, IsClosedAndTheModuleBeyondIsFound) {
    DialogSession session;
    session.root.WritePackage({});
    vmod_sim::Settings stranger;
    stranger.faults = GetParam().faults;
    session.sim.Attach(2, stranger);
    session.sim.Attach(5);

    session.RunDialog();

    std::vector<WireEvent> events = session.wire->Events();
    EXPECT_EQ(session.wire->OpenedPorts(), (std::vector<int>{2, 5}));
    EXPECT_EQ(WritesOn(events, 2), std::vector<std::string>{"ATI4\r"});
    EXPECT_TRUE(ClosedProperly(events, 2));
    EXPECT_EQ(session.nPort, 5);
    EXPECT_EQ(session.afterQuery.model, L"KV615MQ");
    EXPECT_TRUE(session.afterQuery.startEnabled);
}

INSTANTIATE_TEST_SUITE_P(
    Strangers, StrangerOnLowerPort,
    ::testing::Values(StrangerCase{Fault(&vmod_sim::Faults::decoy),
                                   "echoes AT but reports no model"},
                      StrangerCase{Fault(&vmod_sim::Faults::garbage), "answers with noise"},
                      StrangerCase{Fault(&vmod_sim::Faults::silent), "answers nothing"}),
    [](const auto& info) {
        return std::string(info.param.faults.decoy     ? "Decoy"
                           : info.param.faults.garbage ? "Garbage"
                                                       : "Silent");
    });

TEST(ModuleQuery, ADecoyAloneLeavesTheModelEmptyAndEndsTheProgram) {
    DialogSession session;
    session.root.WritePackage({});
    vmod_sim::Settings decoy;
    decoy.faults.decoy = true;
    session.sim.Attach(7, decoy);

    session.RunDialog();

    EXPECT_TRUE(ClosedProperly(session.wire->Events(), 7));
    ExpectEndedWithNotFound(session);
    EXPECT_EQ(session.boxes[0].atBox.model, L"");
}

// On the host's own ports the tool may be refused one; the not-found box then says which and
// why, a line per port. A port that opens and stays silent, or has no device, adds none.
TEST(ModuleQuery, PortsTheHostRefusedAreNamedUnderTheNotFoundBox) {
    DialogSession session{HostSerialPorts{}};
    session.root.WritePackage({});
    const std::string dev = (session.root.Path() / "dev").string();
    std::filesystem::create_directories(dev);
    serial_test::LinkedPty forbidden(dev + "/COM2");
    serial_test::LinkedPty held(dev + "/COM4");
    serial_test::LinkedPty silent(dev + "/COM5");
    ASSERT_FALSE(forbidden.path.empty() || held.path.empty() || silent.path.empty());
    const std::string group = serial_test::ForbidDevice(forbidden.path);
    serial_test::ExclusiveHolder holder(held.path);
    ASSERT_TRUE(holder.holding());

    {
        // The dialog's thread opens the ports as a user outside the device's group would.
        serial_test::ThreadAsUser user;
        session.RunDialog();
    }
    holder.Release();

    const std::wstring permission = group.empty()
                                        ? L"管理者にポートの使用許可を設定してもらってください"
                                        : std::wstring(group.begin(), group.end()) +
                                              L"グループに参加して、ログインし直してください";
    const std::string comm = serial_test::OwnCommandName();
    ExpectEndedWithNotFound(session,
                            L"COM2 (" + std::wstring(forbidden.path.begin(), forbidden.path.end()) +
                                L"): ポートを開く権限がありません。" + permission + L"\n" +
                                L"COM4 (" + std::wstring(held.path.begin(), held.path.end()) +
                                L"): 他のプログラム(" + std::wstring(comm.begin(), comm.end()) +
                                L" プロセスID " + std::to_wstring(holder.pid()) +
                                L")が使用中です。そのプログラムを終了してください");
    EXPECT_EQ(silent.Settings().c_lflag & ICANON, 0u) << "the silent port was opened (made raw)";
}

// ---- the wire ----------------------------------------------------------------------------------

TEST(ModuleQuery, WritesTheExactCommandsAndReadsAfterTheWaitsWithTheReadSizes) {
    DialogSession session;
    session.root.WritePackage({});
    session.sim.Attach(3);

    session.RunDialog();

    std::vector<WireEvent> events = session.wire->Events();
    struct Expected {
        std::string command;
        size_t readSize;
    } expected[] = {{std::string("ATI4\r", 5), 64},
                    {std::string("ATI5\r", 5), 64},
                    {std::string("!!version\r", 10), 255}};
    EXPECT_EQ(WritesOn(events, 3), (std::vector<std::string>{"ATI4\r", "ATI5\r", "!!version\r"}));
    size_t next = 0;
    for (size_t i = 0; i < events.size(); ++i) {
        if (events[i].com != 3 || events[i].kind != WireEvent::Write) {
            continue;
        }
        ASSERT_LT(next, std::size(expected));
        EXPECT_EQ(events[i].bytes, expected[next].command);
        // The first read after the command comes after the module's time to answer.
        size_t r = i + 1;
        while (r < events.size() && events[r].kind != WireEvent::Read) {
            ++r;
        }
        ASSERT_LT(r, events.size()) << expected[next].command;
        EXPECT_EQ(events[r].timeMs, events[i].timeMs + 100) << expected[next].command;
        EXPECT_EQ(events[r].max, expected[next].readSize) << expected[next].command;
        ++next;
    }
    EXPECT_EQ(next, 3u);
    // Absent ports are tried at once; the first open follows the query's start wait.
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front().timeMs, session.startMs + 200);
}

// ---- replies -----------------------------------------------------------------------------------

const std::string kModelReply = "ATI4\r\r\nKV615MQ\r\n\r\nOK\r\n";
const std::string kVersionReply =
    "!!version\r\r\nV-MOD FW 1.03a\r\nBOOT Block Ver 1.01b\r\n\r\nOK\r\n";

struct FirmwareReplyCase {
    std::string reply;
    const wchar_t* expected;
    const char* description;
};

void PrintTo(const FirmwareReplyCase& c, std::ostream* os) {
    *os << c.description;
}

class FirmwareReply : public ::testing::TestWithParam<FirmwareReplyCase> {};

TEST_P(FirmwareReply, GivesTheCurrentVersion) {
    const FirmwareReplyCase& c = GetParam();
    ScriptedBackend module;
    module.Script(1,
                  {{"ATI4\r", kModelReply}, {"ATI5\r", c.reply}, {"!!version\r", kVersionReply}});
    DialogSession session(&module);
    session.root.WritePackage({.mainVersion = "1.05"});

    session.RunDialog();

    EXPECT_EQ(session.strCurrentVersion, CString(c.expected)) << c.description;
    EXPECT_EQ(session.afterQuery.current, c.expected) << c.description;
    EXPECT_TRUE(session.boxes.empty()) << "no number or a lower one: the package is accepted";
    EXPECT_TRUE(session.afterQuery.startEnabled);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, FirmwareReply,
    ::testing::Values(
        FirmwareReplyCase{"ATI5\r\r\n1.05\r\n\r\nOK\r\n", L"1.05", "echo, blank lines, OK"},
        FirmwareReplyCase{"ATI5\r1.04OK", L"1.04", "no line ends after the echo's CR"},
        FirmwareReplyCase{"ATI5\n\n1.03\n", L"1.03", "LF only, no OK"},
        FirmwareReplyCase{"ATI5", L"", "no line end: nothing after the echo"},
        FirmwareReplyCase{"ATI5\r\r\nV1.09\r\nOK\r\n", L"V1.09", "no number: kept as received"},
        FirmwareReplyCase{"ATI5\r\r\n1.0\r\nOK 1.9\r\nOK\r\n", L"1.0", "cut at the first OK"},
        FirmwareReplyCase{"ATI5\r\r\n\x93\xfa\x96\x7b 1.05\r\nOK\r\n", L"日本 1.05",
                          "text in the device's code page"}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

struct VersionReportCase {
    std::string reply;
    const wchar_t* moduleVersion;
    const wchar_t* bootVersion;
    const char* description;
};

void PrintTo(const VersionReportCase& c, std::ostream* os) {
    *os << c.description;
}

class VersionReport : public ::testing::TestWithParam<VersionReportCase> {};

TEST_P(VersionReport, GivesTheModuleAndBootBlockVersions) {
    const VersionReportCase& c = GetParam();
    ScriptedBackend module;
    module.Script(1, {{"ATI4\r", kModelReply},
                      {"ATI5\r", "ATI5\r\r\n1.03\r\n\r\nOK\r\n"},
                      {"!!version\r", c.reply}});
    DialogSession session(&module);
    session.root.WritePackage({.mainVersion = "1.05"});

    session.RunDialog();

    EXPECT_EQ(session.strModuleVersion, CString(c.moduleVersion)) << c.description;
    EXPECT_EQ(session.strModuleBootVersion, CString(c.bootVersion)) << c.description;
    EXPECT_TRUE(session.afterQuery.startEnabled) << c.description;
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, VersionReport,
    ::testing::Values(
        VersionReportCase{kVersionReply, L"1.03a", L"1.01b", "current layout"},
        VersionReportCase{"!!version\r\r\nV-MOD FW 1.03\r\nOK\r\n", L"1.03O", L"",
                          "current layout without BOOT Block"},
        VersionReportCase{"!!version\r\r\nVersion: 1.01\r\n\r\nOK\r\n", L"", L"1.01O",
                          "older layout: its one version is the boot block's"},
        VersionReportCase{"!!version\r\r\nVersion: 1.0", L"", L"1.0", "older, cut short"},
        VersionReportCase{"!!version\r\r\nV-MOD FW 1.03\r\nBOOT Block Ver 1", L"1.03B", L"1",
                          "boot-block field cut short by the end of the reply"},
        VersionReportCase{"!!version\r\r\nV-MOD", L"", L"", "label at the very end"},
        VersionReportCase{"!!version\r\r\nERROR\r\n", L"", L"", "no labels at all"},
        VersionReportCase{"", L"", L"", "no reply"}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

// The stand-in module's own layouts, end to end.
struct SimLayoutCase {
    vmod_sim::VersionLayout layout;
    std::optional<std::string> bootVersion;
    double bootValue;
    bool bootEmpty;
    const char* description;
};

void PrintTo(const SimLayoutCase& c, std::ostream* os) {
    *os << c.description;
}

class SimVersionLayout : public ::testing::TestWithParam<SimLayoutCase> {};

TEST_P(SimVersionLayout, IsReadFromTheStandInModule) {
    const SimLayoutCase& c = GetParam();
    DialogSession session;
    session.root.WritePackage({});
    vmod_sim::Settings settings;
    settings.firmwareVersion = "1.03";
    settings.bootVersion = c.bootVersion;
    settings.layout = c.layout;
    session.sim.Attach(4, settings);

    session.RunDialog();

    EXPECT_EQ(session.strModuleBootVersion.IsEmpty(), c.bootEmpty) << c.description;
    if (!c.bootEmpty) {
        EXPECT_DOUBLE_EQ(std::wcstod(session.strModuleBootVersion, nullptr), c.bootValue);
    }
    if (c.layout == vmod_sim::VersionLayout::Current) {
        EXPECT_DOUBLE_EQ(std::wcstod(session.strModuleVersion, nullptr), 1.03);
    } else {
        EXPECT_TRUE(session.strModuleVersion.IsEmpty());
    }
    EXPECT_TRUE(session.afterQuery.startEnabled);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, SimVersionLayout,
    ::testing::Values(SimLayoutCase{vmod_sim::VersionLayout::Current, "1.01", 1.01, false,
                                    "current"},
                      SimLayoutCase{vmod_sim::VersionLayout::Current, std::nullopt, 0, true,
                                    "current without BOOT Block"},
                      SimLayoutCase{vmod_sim::VersionLayout::Older, "1.00", 1.00, false, "older"}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

// ---- the version check --------------------------------------------------------------------------

struct VersionCheckCase {
    const char* moduleFirmware;
    const char* packageVersion;
    bool refused;
    const char* description;
    bool commaDecimal = false; // the user's numbers are written 1,05
};

void PrintTo(const VersionCheckCase& c, std::ostream* os) {
    *os << c.description;
}

class VersionCheck : public ::testing::TestWithParam<VersionCheckCase> {};

TEST_P(VersionCheck, RefusesOnlyAPackageOlderThanTheModule) {
    const VersionCheckCase& c = GetParam();
    std::optional<CommaDecimalLocale> locale;
    if (c.commaDecimal)
        locale.emplace();
    DialogSession session;
    session.root.WritePackage({.mainVersion = c.packageVersion});
    vmod_sim::Settings settings;
    settings.firmwareVersion = c.moduleFirmware;
    session.sim.Attach(2, settings);

    session.RunDialog();

    if (!c.refused) {
        EXPECT_TRUE(session.boxes.empty()) << c.description;
        EXPECT_TRUE(session.afterQuery.startEnabled) << c.description;
        EXPECT_FALSE(session.endedByItself) << c.description;
        return;
    }
    ASSERT_EQ(session.boxes.size(), 1u) << c.description;
    const BoxSeen& box = session.boxes[0];
    EXPECT_EQ(box.record.owner, vmod_testing::BoxOwner::Dialog);
    EXPECT_EQ(box.record.text, kNoDowngrade);
    EXPECT_EQ(box.record.caption, L"注意");
    EXPECT_EQ(box.record.type, static_cast<UINT>(MB_OK));
    // The model and the module's version are on show when the box comes up.
    EXPECT_TRUE(box.atBox.dialogShown);
    EXPECT_EQ(box.atBox.model, L"KV615MQ");
    EXPECT_EQ(box.atBox.current,
              std::wstring(c.moduleFirmware, c.moduleFirmware + strlen(c.moduleFirmware)));
    EXPECT_FALSE(box.atBox.startEnabled);
    EXPECT_TRUE(box.exitPostedBefore) << "the exit command is posted before the box";
    // Once the box is dismissed the query finishes, then the program ends by itself.
    std::vector<WireEvent> events = session.wire->Events();
    std::vector<std::string> laterWrites;
    for (size_t i = box.wireEventsBefore; i < events.size(); ++i) {
        if (events[i].kind == WireEvent::Write) {
            laterWrites.push_back(events[i].bytes);
        }
    }
    EXPECT_EQ(laterWrites, std::vector<std::string>{"!!version\r"});
    EXPECT_TRUE(session.endedByItself);
}

INSTANTIATE_TEST_SUITE_P(
    Versions, VersionCheck,
    ::testing::Values(VersionCheckCase{"1.03", "1.05", false, "package newer"},
                      VersionCheckCase{"1.05", "1.05", false, "equal: a re-install is allowed"},
                      VersionCheckCase{"1.06", "1.05", true, "package older"},
                      VersionCheckCase{"2.00", "1.99", true, "older across a major version"},
                      VersionCheckCase{"1.10", "1.9", false, "compared as numbers: 1.1 < 1.9"},
                      VersionCheckCase{"V1.06", "1.05", false, "no number from the module: 0"},
                      VersionCheckCase{"1.06", "1.05", true, "decimal-comma locale", true}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

} // namespace
