// Start-up of the version-up dialog: the notice, the single-instance guard, the package check,
// the state right after OnInitDialog and the confirm command that must not close the dialog.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/app/dialog_harness.h"

using namespace vmod_apptest;

namespace {

TEST(Notice, IsEighteenLinesOf332CharactersWithTheEmptyLinesInPlace) {
    EXPECT_EQ(std::wcslen(kNoticeText), 332u);
    std::wstring text(kNoticeText);
    ASSERT_GE(text.size(), 2u);
    EXPECT_EQ(text.substr(text.size() - 2), L"\r\n") << "the last line ends with CR LF too";
    std::vector<std::wstring> lines = SplitLines(text);
    ASSERT_EQ(lines.size(), 18u);
    for (size_t i = 0; i < lines.size(); ++i) {
        bool shouldBeEmpty = i == 1 || i == 5 || i == 14 || i == 16;
        EXPECT_EQ(lines[i].empty(), shouldBeEmpty) << "line " << i + 1;
        EXPECT_EQ(lines[i].find(L'\n'), std::wstring::npos) << "line " << i + 1;
        EXPECT_EQ(lines[i].find(L'\r'), std::wstring::npos) << "line " << i + 1;
    }
    EXPECT_EQ(lines[0], L"V-MOD(KV615MQ)ご使用ありがとうございます。");
    EXPECT_EQ(
        lines[17],
        L"上記注意事項をご確認のうえ、「開始」ボタンを押してバージョンアップを開始して下さい。");
}

TEST(StartUp, RightAfterStartShowsThePackageVersionWithStartDisabled) {
    DialogSession session;
    session.root.WritePackage({.mainVersion = "1.05"});
    session.sim.Attach(1, Firmware("1.03"));

    session.RunDialog();

    for (const Snapshot* s : {&session.initState, &session.shown}) {
        ASSERT_TRUE(s->taken);
        EXPECT_EQ(s->title, L"KV615MQ VersionUp Tool");
        EXPECT_FALSE(s->startEnabled);
        EXPECT_TRUE(s->exitEnabled);
        EXPECT_EQ(s->newVersion, L"1.05");
        EXPECT_EQ(s->model, L"");
        EXPECT_EQ(s->current, L"");
        EXPECT_EQ(s->notice, kNoticeText);
        EXPECT_FALSE(s->spareShown);
        EXPECT_TRUE(s->noticeShown);
        EXPECT_EQ(s->openAttempts, 0u) << "no port is touched before OnInitDialog has returned";
    }
    EXPECT_TRUE(session.shown.dialogShown);
    EXPECT_EQ(session.shownCount, 1);
    // The query then ran from the message loop and found the module.
    EXPECT_EQ(session.afterQuery.model, L"KV615MQ");
    EXPECT_TRUE(session.afterQuery.startEnabled);
    EXPECT_TRUE(session.boxes.empty());
}

TEST(StartUp, TheModuleQueryStartsFromTheMessageLoopAfterItsWait) {
    DialogSession session;
    session.root.WritePackage({});
    session.sim.Attach(1);

    session.RunDialog();

    std::vector<WireEvent> events = session.wire->Events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front().timeMs, session.startMs + 200)
        << "the first port is opened 200 ms after the dialog came up";
}

TEST(StartUp, TheWindowCarriesTheApplicationIcon) {
    DialogSession session;
    session.root.WritePackage({});
    session.sim.Attach(1);
    HICON big = nullptr, small = nullptr, member = nullptr;
    session.whileOpen = [&](CVersionUpDlg& dlg) {
        big = vmod_testing::WindowIcon(dlg.GetSafeHwnd(), true);
        small = vmod_testing::WindowIcon(dlg.GetSafeHwnd(), false);
        member = dlg.m_hIcon;
    };

    session.RunDialog();

    ASSERT_NE(member, nullptr) << "icon 132 is in the program's resources";
    EXPECT_EQ(big, member);
    EXPECT_EQ(small, member);
}

TEST(StartUp, ConfirmingTheDialogLeavesItOpen) {
    DialogSession session;
    session.root.WritePackage({});
    session.sim.Attach(1);
    bool openAfterEnter = false, openAfterOk = false;
    session.whileOpen = [&](CVersionUpDlg& dlg) {
        HWND hwnd = dlg.GetSafeHwnd();
        vmod_testing::PressKey(hwnd, vmod_testing::Key::Enter);
        vmod_testing::ProcessMessages();
        openAfterEnter = vmod_testing::IsShown(hwnd);
        // The caption's OK button sends the same command.
        dlg.SendMessage(WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        vmod_testing::ProcessMessages();
        openAfterOk = vmod_testing::IsShown(hwnd);
    };

    INT_PTR code = session.RunDialog();

    EXPECT_TRUE(openAfterEnter);
    EXPECT_TRUE(openAfterOk);
    EXPECT_FALSE(session.endedByItself) << "only the test's exit command closed it";
    EXPECT_EQ(code, IDCANCEL) << "the exit command closes the dialog as cancelled";
}

TEST(StartUp, ExitBeforeAnyUpdateEndsTheProgramWithoutAMessage) {
    DialogSession session;
    session.root.WritePackage({});
    session.sim.Attach(1);
    session.whileOpen = [&](CVersionUpDlg& dlg) {
        vmod_testing::Click(dlg.m_btnExit.GetSafeHwnd());
    };

    session.RunDialog();

    EXPECT_TRUE(session.endedByItself);
    EXPECT_TRUE(session.boxes.empty());
}

// Each of the four files is needed; without any one the program ends silently before it shows
// anything of its own or opens a port.
TEST(StartUp, EachMissingPackageFileEndsTheProgramBeforeTitleAndPorts) {
    const char* files[] = {"kv615mq.data", "kv615mqb.data", "kv615mq.bin", "kv615mqb.bin"};
    for (const char* file : files) {
        SCOPED_TRACE(file);
        DialogSession session;
        session.root.WritePackage({});
        session.sim.Attach(1);
        std::filesystem::remove(session.root.PackageDir() / file);
        BOOL initResult = TRUE;
        session.afterInit = [&](CVersionUpDlg&, BOOL result) { initResult = result; };

        INT_PTR code = session.RunDialog();

        EXPECT_EQ(code, 0);
        EXPECT_FALSE(initResult);
        EXPECT_EQ(session.shownCount, 0) << "the dialog never came up";
        ASSERT_TRUE(session.initState.taken);
        EXPECT_NE(session.initState.title, L"KV615MQ VersionUp Tool");
        EXPECT_EQ(session.initState.newVersion, L"");
        EXPECT_EQ(session.initState.notice, L"");
        EXPECT_TRUE(session.initState.startEnabled) << "the template's state is untouched";
        EXPECT_TRUE(session.wire->OpenAttempts().empty());
        EXPECT_TRUE(session.boxes.empty());
    }
}

TEST(StartUp, TheProgramsOwnStartEndsWhenTheDialogEnds) {
    DialogSession session;
    session.root.WritePackage({});
    // No module anywhere: the query ends the program on its own.

    BOOL result = session.RunApp();

    EXPECT_FALSE(result) << "InitInstance always returns FALSE";
    EXPECT_EQ(session.shownCount, 1);
    EXPECT_TRUE(session.endedByItself);
    ASSERT_EQ(session.boxes.size(), 1u);
}

TEST(SingleInstance, ASecondCopyInTheSameProcessEndsSilently) {
    DialogSession session;
    session.root.WritePackage({});
    session.sim.Attach(2);
    INT_PTR secondCode = -1;
    size_t opensBefore = 0, opensAfter = 0;
    Snapshot firstAfter;
    session.whileOpen = [&](CVersionUpDlg& first) {
        opensBefore = session.wire->OpenAttempts().size();
        CVersionUpDlg second;
        secondCode = second.DoModal();
        vmod_testing::ProcessMessages();
        opensAfter = session.wire->OpenAttempts().size();
        firstAfter = session.Take(first.GetSafeHwnd());
    };

    session.RunDialog();

    EXPECT_EQ(secondCode, 0);
    EXPECT_EQ(session.shownCount, 1) << "the second copy never showed a window";
    EXPECT_EQ(opensAfter, opensBefore) << "the second copy touched no port";
    EXPECT_TRUE(session.boxes.empty());
    EXPECT_TRUE(firstAfter.dialogShown) << "the first copy runs on";
    EXPECT_EQ(firstAfter.title, L"KV615MQ VersionUp Tool");
    EXPECT_TRUE(firstAfter.startEnabled);
    EXPECT_EQ(firstAfter.model, L"KV615MQ");
}

#ifdef VMOD_VERSIONUP_PROGRAM
TEST(SingleInstance, ASecondProgramEndsSilentlyAndLeavesTheFirstRunning) {
    DialogSession session;
    session.root.WritePackage({});
    session.sim.Attach(1);
    int status = -1;
    std::string output;
    Snapshot firstAfter;
    session.whileOpen = [&](CVersionUpDlg& first) {
        std::filesystem::path log = session.root.Path() / "second.log";
        // A stuck second copy would wait forever in its "not found" box; timeout ends it.
        std::string command = "QT_QPA_PLATFORM=offscreen timeout 60 '" +
                              std::string(VMOD_VERSIONUP_PROGRAM) + "' >'" + log.string() +
                              "' 2>&1";
        status = std::system(command.c_str());
        std::ifstream in(log);
        std::stringstream text;
        text << in.rdbuf();
        output = text.str();
        firstAfter = session.Take(first.GetSafeHwnd());
    };

    session.RunDialog();

    EXPECT_EQ(status, 0) << output;
    EXPECT_TRUE(firstAfter.dialogShown);
    EXPECT_TRUE(firstAfter.startEnabled);
    EXPECT_TRUE(session.boxes.empty());
}
#endif

} // namespace
