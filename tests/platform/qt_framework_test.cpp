// The dialog host on Qt (offscreen): the dialog built from template 102, the dialog manager's
// keys and commands, messages across threads, message boxes, screen metrics, data exchange and
// the layout calls.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "app/resource.h"
#include "platform/afx.h"
#include "platform/testing_ui.h"

using namespace vmod_testing;

namespace {

class CTestApp : public CWinApp {
  public:
    BOOL InitInstance() override { return FALSE; }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CTestApp, CWinApp)
END_MESSAGE_MAP()

CTestApp theApp;

constexpr UINT WM_TEST_POSTED = WM_USER + 100;
constexpr UINT WM_TEST_WORK = WM_USER + 101;

// A dialog on the program's creation template with a handler of every kind the program uses.
class ProbeDialog : public CDialog {
  public:
    ProbeDialog() : CDialog(IDD_VERSIONUP_DIALOG) {}

    bool ignoreOK = false;           // OnOK does nothing, as in the program
    bool bindMissingControl = false; // DoDataExchange names a control the template lacks
    std::function<void(ProbeDialog&)> onInit;

    CEdit m_editModel;
    CProgressCtrl m_progress;
    CString m_strModel;

    int initCalls = 0;
    int okCalls = 0;
    int sizeCalls = 0;
    int startClicks = 0;
    std::vector<WPARAM> posted; // WM_TEST_POSTED wParams, in arrival order
    std::thread::id uiThread;
    std::atomic<bool> workRanOnUi{false};

  protected:
    void DoDataExchange(CDataExchange* pDX) override {
        DDX_Control(pDX, IDC_EDIT_MODEL, m_editModel);
        DDX_Control(pDX, IDC_PROGRESS, m_progress);
        DDX_Text(pDX, IDC_EDIT_MODEL, m_strModel);
        if (bindMissingControl)
            DDX_Text(pDX, 4242, m_strModel);
    }
    BOOL OnInitDialog() override {
        CDialog::OnInitDialog();
        ++initCalls;
        uiThread = std::this_thread::get_id();
        if (onInit)
            onInit(*this);
        return TRUE;
    }
    void OnOK() override {
        ++okCalls;
        if (!ignoreOK)
            CDialog::OnOK();
    }
    afx_msg void OnSize(UINT, int, int) { ++sizeCalls; }
    afx_msg void OnStart() { ++startClicks; }
    afx_msg LRESULT OnPosted(WPARAM wParam, LPARAM) {
        posted.push_back(wParam);
        return 0;
    }
    afx_msg LRESULT OnWork(WPARAM wParam, LPARAM) {
        workRanOnUi = std::this_thread::get_id() == uiThread;
        return static_cast<LRESULT>(wParam * 2);
    }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(ProbeDialog, CDialog)
ON_WM_SIZE()
ON_BN_CLICKED(IDC_BUTTON_START, &ProbeDialog::OnStart)
ON_MESSAGE(WM_TEST_POSTED, &ProbeDialog::OnPosted)
ON_MESSAGE(WM_TEST_WORK, &ProbeDialog::OnWork)
END_MESSAGE_MAP()

constexpr int kLeftOpen = -99; // what RunDialog ends a dialog with that the steps left open

// Runs the dialog modally; each step runs from its message loop after what earlier steps
// posted. A dialog still open after the last step is ended with kLeftOpen.
struct Run {
    std::vector<std::function<void(ProbeDialog&)>> steps;
    ProbeDialog* dlg;
    bool running = true; // false once DoModal returned: late tasks do nothing
};

void PostNext(std::shared_ptr<Run> r, size_t i) {
    PostToUi([r, i] {
        if (!r->running || i >= r->steps.size())
            return;
        r->steps[i](*r->dlg);
        PostNext(r, i + 1);
    });
}

INT_PTR RunDialog(ProbeDialog& dlg, std::vector<std::function<void(ProbeDialog&)>> steps) {
    auto run = std::make_shared<Run>(Run{std::move(steps), &dlg});
    run->steps.push_back([](ProbeDialog& d) { d.EndDialog(kLeftOpen); });
    SetDialogShownHook([run](CDialog*) { PostNext(run, 0); });
    theApp.m_pMainWnd = &dlg;
    INT_PTR result = dlg.DoModal();
    run->running = false;
    SetDialogShownHook(nullptr);
    theApp.m_pMainWnd = nullptr;
    return result;
}

void PumpUntil(const std::function<bool()>& done) {
    while (!done()) {
        ProcessMessages();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

RECT DialogUnitsToPixels(HWND dlg, int x, int y, int cx, int cy) {
    RECT r{x, y, x + cx, y + cy};
    EXPECT_TRUE(MapDialogRect(dlg, &r));
    return r;
}

struct BoxLog {
    std::mutex mutex;
    std::vector<MessageBoxRecord> boxes;
    void Install() {
        SetMessageBoxAnswerer([this](const MessageBoxRecord& r) {
            std::lock_guard<std::mutex> lock(mutex);
            boxes.push_back(r);
            return IDOK;
        });
    }
    ~BoxLog() { SetMessageBoxAnswerer(nullptr); }
};

// ---- the dialog from template 102 ------------------------------------------------------------

TEST(QtDialogHost, CreatesEveryControlOfTemplate102WithItsClassTextStyleAndGeometry) {
    struct Expected {
        int id;
        const wchar_t* className;
        const wchar_t* text;
        DWORD style; // as created: child, visible, plus the control's own bits
        int x, y, cx, cy;
    } const kControls[] = {
        {1000, L"Edit", L"", 0x50000880, 92, 6, 42, 12},
        {1001, L"Edit", L"", 0x50000880, 92, 20, 42, 12},
        {1002, L"Edit", L"", 0x50000880, 92, 34, 42, 12},
        {1004, L"msctls_progress32", L"", 0x50800000, 4, 148, 130, 10},
        {1005, L"Static", L"", 0x50020000, 4, 162, 38, 8},
        {1006, L"Button", L"開始", 0x50010000, 60, 160, 36, 12},
        {1007, L"Button", L"終了", 0x50010000, 98, 160, 36, 12},
        {1010, L"Static", L"機種名", 0x50020000, 4, 8, 22, 8},
        {1009, L"Static", L"現在のバージョン", 0x50020000, 4, 22, 72, 8},
        {1011, L"Static", L"バージョンアップ後のバージョン", 0x50020000, 4, 36, 81, 8},
        {1003, L"ListBox", L"", 0x50B10103, 8, 54, 122, 90},
        {1016, L"Edit", L"", 0x50A10844, 4, 52, 130, 92},
    };
    ProbeDialog dlg;
    bool checked = false;
    RunDialog(dlg, {[&](ProbeDialog& d) {
                  HWND h = d.m_hWnd;
                  EXPECT_EQ(WindowText(h), L"V-MOD VersionUp Tool");
                  EXPECT_EQ(WindowStyle(h), 0x90C00040u);
                  EXPECT_EQ(WindowExStyle(h), 0x80040000u);
                  EXPECT_EQ(FontFamily(h), L"IPAPGothic");
                  RECT client = WindowRect(h);
                  RECT size = DialogUnitsToPixels(h, 0, 0, 139, 180);
                  EXPECT_EQ(client.right, size.right);
                  EXPECT_EQ(client.bottom, size.bottom);
                  std::vector<HWND> children = Children(h);
                  ASSERT_EQ(children.size(), std::size(kControls));
                  for (size_t i = 0; i < children.size(); ++i) {
                      const Expected& e = kControls[i];
                      SCOPED_TRACE(e.id);
                      HWND c = children[i];
                      EXPECT_EQ(ControlId(c), e.id);
                      EXPECT_EQ(GetDlgItem(h, e.id), c);
                      EXPECT_EQ(ClassName(c), e.className);
                      EXPECT_EQ(WindowText(c), e.text);
                      EXPECT_EQ(WindowStyle(c), e.style);
                      EXPECT_TRUE(IsShown(c));
                      RECT want = DialogUnitsToPixels(h, e.x, e.y, e.cx, e.cy);
                      RECT got = WindowRect(c);
                      EXPECT_EQ(got.left, want.left);
                      EXPECT_EQ(got.top, want.top);
                      EXPECT_EQ(got.right, want.right);
                      EXPECT_EQ(got.bottom, want.bottom);
                  }
                  checked = true;
              }});
    EXPECT_TRUE(checked);
    EXPECT_EQ(dlg.initCalls, 1);
}

TEST(QtDialogHost, DialogUnitsFollowTheTemplateFontProportionally) {
    ProbeDialog dlg;
    RunDialog(dlg, {[](ProbeDialog& d) {
                  RECT unit = DialogUnitsToPixels(d.m_hWnd, 0, 0, 400, 800);
                  // 4 horizontal units are one average character, 8 vertical units one line of the
                  // 9 point font: at 96 dpi that is a 12-pixel font.
                  EXPECT_GE(unit.right / 100, 4);
                  EXPECT_LE(unit.right / 100, 9);
                  EXPECT_GE(unit.bottom / 100, 11);
                  EXPECT_LE(unit.bottom / 100, 18);
                  EXPECT_FALSE(MapDialogRect(GetDlgItem(d.m_hWnd, IDC_EDIT_MODEL), &unit));
              }});
}

TEST(QtDialogHost, MissingTemplateFailsDoModal) {
    class Missing : public CDialog {
      public:
        Missing() : CDialog(999) {}
    } dlg;
    EXPECT_EQ(dlg.DoModal(), -1);
}

// ---- the dialog manager's keys and commands ----------------------------------------------------

TEST(QtDialogHost, KeysAndCloseButtonBecomeTheDialogsCommands) {
    struct Case {
        const char* description;
        bool ignoreOK;
        std::function<void(HWND)> act;
        INT_PTR expected;
        int okCalls;
    } const cases[] = {
        {"Enter with the default OnOK ends with IDOK", false,
         [](HWND h) { PressKey(h, Key::Enter); }, IDOK, 1},
        {"Enter with an empty OnOK leaves the dialog open", true,
         [](HWND h) { PressKey(h, Key::Enter); }, kLeftOpen, 1},
        {"Enter on the notice edit is the OK command too", true,
         [](HWND h) { PressKey(GetDlgItem(h, IDC_EDIT_NOTICE), Key::Enter); }, kLeftOpen, 1},
        {"Escape is the cancel command", true, [](HWND h) { PressKey(h, Key::Escape); }, IDCANCEL,
         0},
        {"the window's close button is the cancel command", true,
         [](HWND h) { CloseFromTitleBar(h); }, IDCANCEL, 0},
        {"WM_CLOSE is the cancel command", true, [](HWND h) { SendMessageW(h, WM_CLOSE, 0, 0); },
         IDCANCEL, 0},
        {"the application-exit command closes the main window", true,
         [](HWND h) { PostMessageW(h, WM_COMMAND, ID_APP_EXIT, 0); }, IDCANCEL, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        ProbeDialog dlg;
        dlg.ignoreOK = c.ignoreOK;
        INT_PTR result = RunDialog(dlg, {[&](ProbeDialog& d) { c.act(d.m_hWnd); },
                                         [](ProbeDialog&) { ProcessMessages(); }});
        EXPECT_EQ(result, c.expected);
        EXPECT_EQ(dlg.okCalls, c.okCalls);
    }
}

TEST(QtDialogHost, ButtonClickReachesItsHandlerOnlyWhileEnabled) {
    ProbeDialog dlg;
    RunDialog(dlg, {[](ProbeDialog& d) {
                  HWND start = GetDlgItem(d.m_hWnd, IDC_BUTTON_START);
                  Click(start);
                  EXPECT_EQ(d.startClicks, 1);
                  EXPECT_FALSE(EnableWindow(start, FALSE)); // was enabled
                  EXPECT_FALSE(IsEnabled(start));
                  Click(start);
                  EXPECT_EQ(d.startClicks, 1);
                  EXPECT_TRUE(EnableWindow(start, TRUE)); // was disabled
                  Click(start);
                  EXPECT_EQ(d.startClicks, 2);
              }});
}

TEST(QtDialogHost, EndDialogDuringOnInitDialogSkipsTheLoop) {
    ProbeDialog dlg;
    dlg.onInit = [](ProbeDialog& d) { d.EndDialog(0); };
    bool shown = false;
    SetDialogShownHook([&](CDialog*) { shown = true; });
    EXPECT_EQ(dlg.DoModal(), 0);
    SetDialogShownHook(nullptr);
    EXPECT_FALSE(shown);
}

TEST(QtDialogHost, MessagePostedDuringOnInitDialogArrivesAfterItReturned) {
    ProbeDialog dlg;
    int postedSeenInInit = -1;
    dlg.onInit = [&](ProbeDialog& d) {
        EXPECT_TRUE(PostMessageW(d.m_hWnd, WM_TEST_POSTED, 7, 0));
        postedSeenInInit = static_cast<int>(d.posted.size());
    };
    RunDialog(dlg, {[](ProbeDialog&) { ProcessMessages(); }});
    EXPECT_EQ(postedSeenInInit, 0);
    ASSERT_EQ(dlg.posted.size(), 1u);
    EXPECT_EQ(dlg.posted[0], 7u);
}

// ---- threads ------------------------------------------------------------------------------------

TEST(QtDialogHost, PostMessageFromAnotherThreadArrivesInOrderOnTheUiThread) {
    ProbeDialog dlg;
    RunDialog(dlg, {[](ProbeDialog& d) {
                  HWND h = d.m_hWnd;
                  std::thread poster([h] {
                      for (WPARAM i = 0; i < 50; ++i)
                          EXPECT_TRUE(PostMessageW(h, WM_TEST_POSTED, i, 0));
                  });
                  poster.join();
                  PumpUntil([&] { return d.posted.size() == 50; });
                  for (WPARAM i = 0; i < 50; ++i)
                      EXPECT_EQ(d.posted[i], i);
              }});
}

TEST(QtDialogHost, WindowCallsFromAWorkerAreCarriedOutOnTheUiThreadWhileItWaits) {
    ProbeDialog dlg;
    RunDialog(dlg, {[](ProbeDialog& d) {
                  HWND h = d.m_hWnd;
                  HWND percent = GetDlgItem(h, IDC_STATIC_PERCENT);
                  HWND progress = GetDlgItem(h, IDC_PROGRESS);
                  HWND exitButton = GetDlgItem(h, IDC_BUTTON_EXIT);
                  HWND list = GetDlgItem(h, IDC_LIST_SPARE);
                  std::atomic<bool> finished{false};
                  LRESULT work = 0, oldRange = 0, oldPos = 0, pos = 0;
                  BOOL wasDisabled = TRUE, wasVisible = TRUE;
                  std::thread worker([&] {
                      work = SendMessageW(h, WM_TEST_WORK, 21, 0);
                      oldRange = SendMessageW(progress, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
                      oldPos = SendMessageW(progress, PBM_SETPOS, 42, 0);
                      pos = SendMessageW(progress, PBM_GETPOS, 0, 0);
                      SetWindowTextW(percent, L" 42 ％完了");
                      wasDisabled = EnableWindow(exitButton, FALSE);
                      wasVisible = ShowWindow(list, SW_HIDE);
                      finished = true;
                  });
                  PumpUntil([&] { return finished.load(); });
                  worker.join();
                  EXPECT_EQ(work, 42);
                  EXPECT_TRUE(d.workRanOnUi);
                  EXPECT_EQ(oldRange, MAKELPARAM(0, 100));
                  EXPECT_EQ(oldPos, 0);
                  EXPECT_EQ(pos, 42);
                  EXPECT_EQ(ProgressPos(progress), 42);
                  EXPECT_EQ(WindowText(percent), L" 42 ％完了");
                  EXPECT_FALSE(wasDisabled);
                  EXPECT_FALSE(IsEnabled(exitButton));
                  EXPECT_TRUE(wasVisible);
                  EXPECT_FALSE(IsShown(list));
              }});
}

TEST(QtDialogHost, WorkerCallsDoNotHangOnceTheDialogHasEnded) {
    BoxLog log; // no real box may stay up
    std::atomic<bool> go{false};
    LRESULT sent = -1;
    BOOL posted = TRUE, texted = TRUE;
    HWND h = nullptr;
    std::thread worker;
    {
        ProbeDialog dlg;
        RunDialog(dlg, {[&](ProbeDialog& d) {
                      h = d.m_hWnd;
                      worker = std::thread([&] {
                          while (!go)
                              std::this_thread::yield();
                          sent = SendMessageW(h, WM_TEST_WORK, 1, 0);
                          posted = PostMessageW(h, WM_TEST_POSTED, 1, 0);
                          texted = SetWindowTextW(h, L"gone");
                      });
                      d.EndDialog(IDCANCEL);
                  }});
    }
    go = true;
    worker.join();
    EXPECT_EQ(sent, 0);
    EXPECT_FALSE(posted);
    EXPECT_FALSE(texted);
    EXPECT_EQ(WindowText(h), L"");
}

TEST(QtDialogHost, WorkerCallPendingWhenTheLoopEndsIsReleased) {
    // The worker's call is handed over while the user-interface thread is busy in the handler
    // that ends the dialog; whichever way the race goes, the worker returns.
    std::atomic<bool> returned{false};
    LRESULT result = -1;
    std::thread worker;
    {
        ProbeDialog dlg;
        RunDialog(dlg, {[&](ProbeDialog& d) {
                      HWND h = d.m_hWnd;
                      worker = std::thread([&, h] {
                          result = SendMessageW(h, WM_TEST_WORK, 5, 0);
                          returned = true;
                      });
                      std::this_thread::sleep_for(std::chrono::milliseconds(50));
                      d.EndDialog(IDOK);
                  }});
    }
    worker.join();
    EXPECT_TRUE(returned);
    EXPECT_TRUE(result == 0 || result == 10) << result;
}

UINT CountingProc(LPVOID param) {
    static_cast<std::atomic<int>*>(param)->fetch_add(1);
    return 0;
}

TEST(QtDialogHost, WorkerThreadRunsItsProcedureWithItsParameter) {
    std::atomic<int> runs{0};
    CWinThread* t = AfxBeginThread(CountingProc, &runs, THREAD_PRIORITY_HIGHEST);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(LastWorkerPriority(), 1);
    WaitForWorkerThreads();
    EXPECT_EQ(runs.load(), 1);
    EXPECT_EQ(AfxBeginThread(CountingProc, &runs, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED),
              nullptr);
}

// ---- message boxes ------------------------------------------------------------------------------

TEST(QtDialogHost, MessageBoxAnswererRecordsTheThreeKinds) {
    BoxLog log;
    log.Install();
    HWND dialogHwnd = nullptr;
    int answers = 0;
    ProbeDialog dlg;
    RunDialog(dlg, {[&](ProbeDialog& d) {
                  dialogHwnd = d.m_hWnd;
                  answers += AfxMessageBox(L"app", MB_ICONEXCLAMATION);
                  answers += d.MessageBox(L"owned", L"注意", MB_OK);
                  answers += MessageBoxW(d.m_hWnd, L"owned2", L"中止", MB_OK);
                  answers += MessageBoxNoteW(d.m_hWnd, L"noted", L"注意", MB_OK, L"a\nb");
                  std::thread worker([&] {
                      answers += MessageBoxW(nullptr, L"SetCommState Error", L"error message",
                                             MB_ICONHAND);
                      answers += AfxMessageBox(L"from worker", MB_OK);
                      answers += AfxMessageBoxNote(L"noted app", MB_ICONEXCLAMATION, L"c");
                      answers += MessageBoxNoteW(nullptr, L"no note", L"x", MB_OK, nullptr);
                  });
                  worker.join();
              }});
    // Once the dialog is gone a box it owns is refused; an application box has no owner then.
    EXPECT_EQ(MessageBoxW(dialogHwnd, L"late", L"x", MB_OK), 0);

    // The application's title is the program file's name without its extension.
    std::wstring appName = std::filesystem::read_symlink("/proc/self/exe").stem().wstring();
    EXPECT_EQ(std::wstring(AfxGetAppName()), appName);
    struct Expected {
        BoxOwner owner;
        bool ownedByDialog;
        const wchar_t* text;
        std::wstring caption;
        UINT type;
        bool onUi;
        const wchar_t* note = L"";
    } const expected[] = {
        {BoxOwner::Application, true, L"app", appName, MB_ICONEXCLAMATION, true},
        {BoxOwner::Dialog, true, L"owned", L"注意", MB_OK, true},
        {BoxOwner::Dialog, true, L"owned2", L"中止", MB_OK, true},
        {BoxOwner::Dialog, true, L"noted", L"注意", MB_OK, true, L"a\nb"},
        {BoxOwner::None, false, L"SetCommState Error", L"error message", MB_ICONHAND, false},
        {BoxOwner::Application, true, L"from worker", appName, MB_OK, false},
        {BoxOwner::Application, true, L"noted app", appName, MB_ICONEXCLAMATION, false, L"c"},
        {BoxOwner::None, false, L"no note", L"x", MB_OK, false},
    };
    EXPECT_EQ(answers, static_cast<int>(std::size(expected)) * IDOK);
    ASSERT_EQ(log.boxes.size(), std::size(expected));
    for (size_t i = 0; i < log.boxes.size(); ++i) {
        SCOPED_TRACE(i);
        const MessageBoxRecord& r = log.boxes[i];
        EXPECT_EQ(r.owner, expected[i].owner);
        EXPECT_EQ(r.ownerWindow, expected[i].ownedByDialog ? dialogHwnd : nullptr);
        EXPECT_EQ(r.text, expected[i].text);
        EXPECT_EQ(r.caption, expected[i].caption);
        EXPECT_EQ(r.type, expected[i].type);
        EXPECT_EQ(r.onUiThread, expected[i].onUi);
        EXPECT_EQ(r.note, expected[i].note);
    }
}

TEST(QtDialogHost, BoxFromAWorkerAfterTheDialogEndedReturnsWithoutShowing) {
    std::thread worker;
    int answer = -1;
    {
        ProbeDialog dlg;
        RunDialog(dlg, {[](ProbeDialog& d) { d.EndDialog(IDCANCEL); }});
    }
    worker = std::thread(
        [&] { answer = MessageBoxW(nullptr, L"接続を確認してください", L"注意", MB_OK); });
    worker.join();
    EXPECT_EQ(answer, 0);
}

// Presses OK on the box once one is up, keeping its text and note; runs from whichever loop is
// pumping (the box's own).
void PressOkWhenUp(std::shared_ptr<std::wstring> text, std::shared_ptr<std::wstring> note) {
    PostToUi([text, note] {
        if (!PressOkOnMessageBox(text.get(), note.get())) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            PressOkWhenUp(text, note);
        }
    });
}

TEST(QtDialogHost, RealBoxFromAWorkerIsShownOnTheUiThreadWhileMessagesGoOn) {
    ProbeDialog dlg;
    RunDialog(dlg, {[](ProbeDialog& d) {
                  HWND h = d.m_hWnd;
                  std::atomic<int> answer{-1}, noted{-1};
                  auto text = std::make_shared<std::wstring>(),
                       note = std::make_shared<std::wstring>();
                  auto notedText = std::make_shared<std::wstring>(),
                       notedNote = std::make_shared<std::wstring>();
                  std::thread worker([&] {
                      answer = MessageBoxW(nullptr, L"接続を確認してください", L"注意", MB_OK);
                      noted = MessageBoxNoteW(nullptr, L"再初期化に失敗しました", L"注意", MB_OK,
                                              L"COM3 (/dev/ttyUSB0): 1\nCOM4 (/dev/ttyUSB1): 2");
                  });
                  EXPECT_TRUE(PostMessageW(h, WM_TEST_POSTED, 3, 0));
                  PressOkWhenUp(text, note);
                  PumpUntil([&] { return answer.load() != -1; });
                  PressOkWhenUp(notedText, notedNote);
                  PumpUntil([&] { return noted.load() != -1; });
                  worker.join();
                  EXPECT_EQ(answer.load(), IDOK);
                  EXPECT_EQ(*text, L"接続を確認してください");
                  EXPECT_EQ(*note, L"") << "a plain box shows no note";
                  EXPECT_EQ(noted.load(), IDOK);
                  EXPECT_EQ(*notedText, L"再初期化に失敗しました");
                  EXPECT_EQ(*notedNote, L"COM3 (/dev/ttyUSB0): 1\nCOM4 (/dev/ttyUSB1): 2");
                  ASSERT_EQ(d.posted.size(), 1u);
                  EXPECT_FALSE(PressOkOnMessageBox());
              }});
}

// ---- screen, icon, cursor ---------------------------------------------------------------------

TEST(QtDialogHost, ScreenMetricsSeamTurnsTheScreenAndDeliversWmSize) {
    ProbeDialog dlg;
    RunDialog(dlg, {[](ProbeDialog& d) {
                  int before = d.sizeCalls;
                  SetScreenMetrics(480, 800, RECT{0, 26, 480, 800});
                  EXPECT_EQ(d.sizeCalls, before + 1);
                  EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 480);
                  EXPECT_EQ(GetSystemMetrics(SM_CYSCREEN), 800);
                  RECT work{};
                  EXPECT_TRUE(SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0));
                  EXPECT_EQ(work.top, 26);
                  EXPECT_EQ(work.right, 480);
                  EXPECT_EQ(work.bottom, 800);
                  SetScreenMetrics(480, 800, RECT{0, 26, 480, 800});
                  EXPECT_EQ(d.sizeCalls, before + 1) << "no change, no WM_SIZE";
                  SetScreenMetrics(800, 480, RECT{0, 0, 800, 454});
                  EXPECT_EQ(d.sizeCalls, before + 2);
                  // Another thread's call is answered by the user-interface thread.
                  std::atomic<int> fromWorker{0};
                  std::thread worker([&] { fromWorker = GetSystemMetrics(SM_CXSCREEN); });
                  PumpUntil([&] { return fromWorker.load() != 0; });
                  worker.join();
                  EXPECT_EQ(fromWorker.load(), 800);
                  ResetScreenMetrics();
                  EXPECT_EQ(d.sizeCalls, before + 3);
                  EXPECT_FALSE(SystemParametersInfoW(0x1234, 0, &work, 0));
              }});
}

TEST(QtDialogHost, DialogIsSizedToItsLayoutAndFirstSizedWhenShown) {
    ProbeDialog dlg;
    RunDialog(dlg, {[](ProbeDialog& d) {
                  EXPECT_GE(d.sizeCalls, 1); // the first WM_SIZE comes when the dialog is shown
                  HWND h = d.m_hWnd;
                  RECT before = WindowRect(h);
                  HWND notice = GetDlgItem(h, IDC_EDIT_NOTICE);
                  RECT n = WindowRect(notice);
                  HDWP b = BeginDeferWindowPos(1);
                  b = DeferWindowPos(b, notice, nullptr, n.left, n.top, (n.right - n.left) + 100,
                                     n.bottom - n.top, SWP_NOZORDER);
                  ASSERT_NE(b, nullptr);
                  EXPECT_TRUE(EndDeferWindowPos(b));
                  EXPECT_EQ(WindowRect(notice).right, n.right + 100);
                  // The notice edit is among the rightmost controls: the dialog widens with it.
                  EXPECT_EQ(WindowRect(h).right, before.right + 100);
                  EXPECT_EQ(WindowRect(h).bottom, before.bottom);
              }});
}

TEST(QtDialogHost, IconResourceSetAsBigAndSmallIcon) {
    HICON icon = AfxGetApp()->LoadIcon(IDI_VERSIONUP);
    ASSERT_NE(icon, nullptr);
    std::vector<IconImage> images = IconImages(icon);
    ASSERT_EQ(images.size(), 4u);
    ProbeDialog dlg;
    RunDialog(dlg, {[&](ProbeDialog& d) {
                  EXPECT_EQ(d.SetIcon(icon, TRUE), nullptr);
                  EXPECT_EQ(d.SetIcon(icon, FALSE), nullptr);
                  EXPECT_EQ(WindowIcon(d.m_hWnd, true), icon);
                  EXPECT_EQ(WindowIcon(d.m_hWnd, false), icon);
                  EXPECT_EQ(d.SetIcon(nullptr, TRUE), icon);
              }});
    EXPECT_TRUE(DestroyIcon(icon));
    EXPECT_FALSE(DestroyIcon(icon));
    EXPECT_EQ(LoadIconW(nullptr, MAKEINTRESOURCEW(999)), nullptr);
    EXPECT_EQ(LoadBitmapW(nullptr, MAKEINTRESOURCEW(132)), nullptr);
    EXPECT_FALSE(DeleteObject(nullptr));
}

TEST(QtDialogHost, BusyCursorFollowsSetCursorFromEitherThread) {
    HCURSOR wait = LoadCursorW(nullptr, IDC_WAIT);
    ASSERT_NE(wait, nullptr);
    EXPECT_EQ(LoadCursorW(nullptr, MAKEINTRESOURCEW(32512)), nullptr);
    ProbeDialog dlg;
    RunDialog(dlg, {[&](ProbeDialog&) {
                  SetCursor(wait);
                  EXPECT_TRUE(BusyCursorShown());
                  EXPECT_EQ(SetCursor(nullptr), wait);
                  EXPECT_FALSE(BusyCursorShown());
                  std::thread([&] { SetCursor(wait); }).join();
                  PumpUntil([] { return BusyCursorShown(); });
                  std::thread([&] { SetCursor(nullptr); }).join();
                  PumpUntil([] { return !BusyCursorShown(); });
              }});
}

// ---- data exchange and layout calls -----------------------------------------------------------

TEST(QtDialogHost, DataExchangeAttachesControlsAndMovesStrings) {
    ProbeDialog dlg;
    dlg.m_strModel = L"KV615MQ";
    RunDialog(dlg, {[](ProbeDialog& d) {
                  HWND model = GetDlgItem(d.m_hWnd, IDC_EDIT_MODEL);
                  EXPECT_EQ(d.m_editModel.m_hWnd, model);
                  EXPECT_EQ(WindowText(model), L"KV615MQ"); // the base OnInitDialog's transfer
                  d.m_strModel = L"other";
                  EXPECT_TRUE(d.UpdateData(FALSE));
                  EXPECT_EQ(WindowText(model), L"other");
                  // Nothing is read back from the controls.
                  SetWindowTextW(model, L"typed");
                  EXPECT_FALSE(d.UpdateData(TRUE));
                  EXPECT_EQ(d.m_strModel, CString(L"other"));
                  d.bindMissingControl = true;
                  EXPECT_FALSE(d.UpdateData(FALSE));
              }});
    EXPECT_FALSE(dlg.UpdateData(FALSE)) << "no window any more";
}

TEST(QtDialogHost, ControlMessagesBehaveAsTheirClasses) {
    ProbeDialog dlg;
    RunDialog(
        dlg, {[](ProbeDialog& d) {
            HWND h = d.m_hWnd;
            struct Case {
                const char* description;
                int id;
                UINT msg;
                WPARAM wParam;
                LPARAM lParam;
                LRESULT expected;
            } const cases[] = {
                {"progress range starts 0..100", IDC_PROGRESS, PBM_SETRANGE, 0, MAKELPARAM(0, 50),
                 MAKELPARAM(0, 100)},
                {"progress position clamps to the range", IDC_PROGRESS, PBM_SETPOS, 80, 0, 0},
                {"clamped position reads back", IDC_PROGRESS, PBM_GETPOS, 0, 0, 50},
                {"an empty list box has no selection", IDC_LIST_SPARE, LB_GETCURSEL, 0, 0, LB_ERR},
                {"selecting beyond the list fails", IDC_LIST_SPARE, LB_SETCURSEL, 3, 0, LB_ERR},
                {"a text static has no image", IDC_STATIC_MODEL, STM_GETIMAGE, IMAGE_ICON, 0, 0},
                {"no such control", 4242, PBM_GETPOS, 0, 0, 0},
            };
            for (const Case& c : cases) {
                SCOPED_TRACE(c.description);
                EXPECT_EQ(SendDlgItemMessageW(h, c.id, c.msg, c.wParam, c.lParam), c.expected);
            }
            EXPECT_TRUE(SetDlgItemTextW(h, IDC_BUTTON_START, L"開始"));
            EXPECT_FALSE(SetDlgItemTextW(h, 4242, L"x"));
            d.m_progress.SetRange(0, 100);
            EXPECT_EQ(d.m_progress.SetPos(30), 50);
            EXPECT_EQ(d.m_progress.GetPos(), 30);
        }});
}

TEST(QtDialogHost, DeferredBatchSurvivesABadWindowAndAppliesTheRest) {
    ProbeDialog dlg;
    RunDialog(dlg, {[](ProbeDialog& d) {
                  HWND h = d.m_hWnd;
                  HWND start = GetDlgItem(h, IDC_BUTTON_START);
                  HDWP b = BeginDeferWindowPos(2);
                  ASSERT_NE(b, nullptr);
                  EXPECT_EQ(DeferWindowPos(b, reinterpret_cast<HWND>(0x7), nullptr, 0, 0, 1, 1, 0),
                            nullptr);
                  ASSERT_EQ(DeferWindowPos(b, start, nullptr, 3, 4, 50, 20, SWP_NOZORDER), b);
                  RECT before = WindowRect(start);
                  EXPECT_EQ(before.left == 3 && before.top == 4, false)
                      << "not moved before the batch ends";
                  EXPECT_TRUE(EndDeferWindowPos(b));
                  RECT after = WindowRect(start);
                  EXPECT_EQ(after.left, 3);
                  EXPECT_EQ(after.top, 4);
                  EXPECT_EQ(after.right, 53);
                  EXPECT_EQ(after.bottom, 24);
                  EXPECT_FALSE(EndDeferWindowPos(b)) << "a batch is applied once";
                  EXPECT_FALSE(EndDeferWindowPos(nullptr));
                  EXPECT_EQ(BeginDeferWindowPos(-1), nullptr);
              }});
}

TEST(QtDialogHost, ResourcesAreFoundByNumberOrCaseInsensitiveName) {
    HRSRC dialog = FindResourceW(AfxGetResourceHandle(), MAKEINTRESOURCEW(102), RT_DIALOG);
    ASSERT_NE(dialog, nullptr);
    EXPECT_GT(SizeofResource(nullptr, dialog), 24u);
    EXPECT_NE(LockResource(LoadResource(nullptr, dialog)), nullptr);
    HRSRC marker = FindResourceW(nullptr, L"hi_res_aware", L"ceux");
    ASSERT_NE(marker, nullptr);
    EXPECT_EQ(SizeofResource(nullptr, marker), 2u);
    const BYTE* bytes = static_cast<const BYTE*>(LoadResource(nullptr, marker));
    EXPECT_EQ(bytes[0] | (bytes[1] << 8), 1);
    EXPECT_EQ(FindResourceW(nullptr, MAKEINTRESOURCEW(104), RT_DIALOG), nullptr);
    EXPECT_EQ(FindResourceW(nullptr, L"HI_RES", L"CEUX"), nullptr);
    EXPECT_EQ(FindResourceW(reinterpret_cast<HMODULE>(0x1234), MAKEINTRESOURCEW(102), RT_DIALOG),
              nullptr);
    EXPECT_EQ(LoadResource(nullptr, nullptr), nullptr);
}

// Renders the dialog with its Japanese texts; the picture is kept for a look by eye.
TEST(QtDialogHost, ScreenshotOfTheDialog) {
    ProbeDialog dlg;
    std::string path = (std::filesystem::current_path() / "qt_dialog_102.png").string();
    RunDialog(
        dlg, {[&](ProbeDialog& d) {
            SetDlgItemTextW(d.m_hWnd, IDC_EDIT_MODEL, L"KV615MQ");
            SetDlgItemTextW(d.m_hWnd, IDC_EDIT_CURRENT_VERSION, L"1.05");
            SetDlgItemTextW(d.m_hWnd, IDC_EDIT_NEW_VERSION, L"1.10");
            SetDlgItemTextW(d.m_hWnd, IDC_STATIC_PERCENT, L" 42 ％完了");
            ShowWindow(GetDlgItem(d.m_hWnd, IDC_LIST_SPARE), SW_HIDE);
            SetDlgItemTextW(
                d.m_hWnd, IDC_EDIT_NOTICE,
                L"V-MOD(KV615MQ)ご使用ありがとうございます。\r\n\r\n"
                L"【 バージョンアップ注意事項 】\r\n・必ずACアダプタを接続してして下さい。\r\n");
            SendDlgItemMessageW(d.m_hWnd, IDC_PROGRESS, PBM_SETPOS, 42, 0);
            EXPECT_TRUE(SaveScreenshot(d.m_hWnd, path));
        }});
    EXPECT_TRUE(std::filesystem::exists(path));
}

} // namespace
