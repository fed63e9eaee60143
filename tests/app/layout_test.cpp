// The dialog's orientation-aware layout: which template each screen gets, where the controls of
// the real dialog end up, what a re-layout does to texts and progress mid-update, and templates
// that disagree with the dialog or end early.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "app/layout.h"
#include "tests/app/dialog_harness.h"

using namespace vmod_apptest;
using namespace vmod_testing;

namespace {

struct ScreenCase {
    int width, height;
    RECT workArea;
    const char* description;
    UINT expected;
};

TEST(SelectLayoutTemplate, PicksTheTemplateThatFitsTheScreen) {
    const ScreenCase cases[] = {
        {480, 800, {0, 0, 480, 800}, "tall portrait, full work area", 141},
        {480, 800, {0, 26, 480, 800}, "tall portrait below a title bar", 141},
        {480, 800, {0, 0, 480, 752}, "tall portrait above a menu bar", 102},
        {240, 320, {0, 26, 240, 320}, "normal portrait", 102},
        {480, 800, {0, 0, 800, 480}, "portrait with the wide work area's edges", 102},
        {800, 480, {0, 0, 800, 480}, "wide landscape, full work area", 142},
        {800, 480, {0, 26, 800, 480}, "wide landscape below a title bar", 142},
        {800, 480, {0, 0, 800, 430}, "wide landscape above a menu bar", 103},
        {320, 240, {0, 26, 320, 240}, "normal landscape", 103},
        {800, 480, {0, 0, 480, 800}, "landscape with the tall work area's edges", 103},
        {480, 480, {0, 0, 480, 480}, "square", 103},
        {800, 800, {0, 0, 480, 800}, "square with the tall work area's edges", 103},
        {0, 0, {0, 0, 0, 0}, "no screen reported", 103},
    };
    for (const ScreenCase& c : cases)
        EXPECT_EQ(SelectLayoutTemplate(c.width, c.height, c.workArea), c.expected) << c.description;
}

// Control positions of the four templates in dialog units: x, y, width, height.
struct Placement {
    int id;
    RECT at102, at141, at103, at142;
};
const Placement kPlacements[] = {
    {1000, {92, 6, 42, 12}, {92, 6, 42, 12}, {126, 1, 48, 12}, {176, 2, 48, 12}},
    {1001, {92, 20, 42, 12}, {92, 20, 42, 12}, {126, 15, 48, 12}, {176, 16, 48, 12}},
    {1002, {92, 34, 42, 12}, {92, 34, 42, 12}, {126, 29, 48, 12}, {176, 30, 48, 12}},
    {1010, {4, 8, 22, 8}, {4, 8, 22, 8}, {9, 2, 22, 8}, {9, 2, 22, 8}},
    {1009, {4, 22, 72, 8}, {4, 22, 72, 8}, {9, 15, 72, 8}, {9, 15, 72, 8}},
    {1011, {4, 36, 81, 8}, {4, 36, 81, 8}, {9, 30, 81, 8}, {9, 30, 81, 8}},
    {1016, {4, 52, 130, 92}, {4, 52, 130, 146}, {6, 44, 168, 56}, {6, 44, 218, 56}},
    {1003, {8, 54, 122, 90}, {8, 54, 122, 136}, {6, 82, 168, 14}, {6, 82, 168, 14}},
    {1004, {4, 148, 130, 10}, {4, 202, 130, 10}, {6, 102, 168, 9}, {6, 102, 218, 9}},
    {1005, {4, 162, 38, 8}, {4, 216, 38, 8}, {6, 114, 38, 8}, {6, 114, 38, 8}},
    {1006, {60, 160, 36, 12}, {60, 214, 36, 12}, {96, 112, 36, 12}, {146, 112, 36, 12}},
    {1007, {98, 160, 36, 12}, {98, 214, 36, 12}, {138, 112, 36, 12}, {189, 112, 36, 12}},
};

RECT UnitsOf(const Placement& p, UINT templateId) {
    switch (templateId) {
    case 141:
        return p.at141;
    case 103:
        return p.at103;
    case 142:
        return p.at142;
    default:
        return p.at102;
    }
}

bool SameRect(const RECT& a, const RECT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

std::string Describe(const RECT& r) {
    std::ostringstream text;
    text << '(' << r.left << ", " << r.top << ", " << r.right << ", " << r.bottom << ')';
    return text.str();
}

// Where a control of the dialog stands when laid out from the given x, y, width, height.
RECT Pixels(HWND dialog, RECT units) {
    RECT r{units.left, units.top, units.left + units.right, units.top + units.bottom};
    EXPECT_TRUE(MapDialogRect(dialog, &r));
    return r;
}

// Each test starts from the screen the dialog's own template is for, and leaves the host's.
class LayoutTest : public ::testing::Test {
  protected:
    void SetUp() override {
        EnsureUserInterface();
        SetScreenMetrics(240, 320, {0, 26, 240, 320});
    }
    void TearDown() override { ResetScreenMetrics(); }
};

struct Screen {
    int width, height;
    RECT workArea;
    UINT templateId;
};
const Screen kScreens[] = {
    {240, 320, {0, 26, 240, 320}, 102},
    {480, 800, {0, 26, 480, 800}, 141},
    {320, 240, {0, 26, 320, 240}, 103},
    {800, 480, {0, 26, 800, 480}, 142},
};

// A turn of the screen re-lays the real dialog out: every control at its template's place, every
// text whole in its control, the window as large as the layout plus the margin its creation
// template leaves, the same margin in every layout. Each layout is saved as a picture for a look
// by eye.
TEST_F(LayoutTest, EveryScreenGetsItsTemplatesPlacesAndAWindowThatHoldsThem) {
    DialogSession session;
    session.root.WritePackage({.mainVersion = "1.05"});
    session.sim.Attach(1, Firmware("1.03"));
    int marginRight = -1, marginBottom = -1;
    session.whileOpen = [&](CVersionUpDlg& dlg) {
        HWND h = dlg.GetSafeHwnd();
        // Turn through the screens twice, so that every layout is also reached from another.
        for (int round = 0; round < 2; ++round) {
            for (const Screen& s : kScreens) {
                SetScreenMetrics(s.width, s.height, s.workArea);
                ProcessMessages();
                SCOPED_TRACE("template " + std::to_string(s.templateId) + ", round " +
                             std::to_string(round));
                LONG right = 0, bottom = 0;
                for (const Placement& p : kPlacements) {
                    RECT expected = Pixels(h, UnitsOf(p, s.templateId));
                    RECT actual = WindowRect(GetDlgItem(h, p.id));
                    EXPECT_TRUE(SameRect(actual, expected))
                        << "control " << p.id << " at " << Describe(actual) << ", expected "
                        << Describe(expected);
                    right = std::max(right, actual.right);
                    bottom = std::max(bottom, actual.bottom);
                }
                // Every label and button shows its whole text, the widest percentage too.
                SetDlgItemTextW(h, IDC_STATIC_PERCENT, L"100 ％完了");
                for (HWND c : Children(h)) {
                    const TextFit fit = MeasureText(c);
                    EXPECT_LE(fit.needed, fit.room)
                        << "control " << ControlId(c) << " cuts its text";
                }
                RECT client = WindowRect(h);
                EXPECT_GE(client.right, right) << "the window holds every control";
                EXPECT_GE(client.bottom, bottom);
                if (marginRight < 0) {
                    marginRight = client.right - right;
                    marginBottom = client.bottom - bottom;
                    EXPECT_GT(marginRight, 0);
                    EXPECT_GT(marginBottom, 0);
                }
                EXPECT_EQ(client.right - right, marginRight);
                EXPECT_EQ(client.bottom - bottom, marginBottom);
                if (round == 0) {
                    SendDlgItemMessageW(h, IDC_PROGRESS, PBM_SETPOS, 42, 0);
                    SetDlgItemTextW(h, IDC_STATIC_PERCENT, L" 42 ％完了");
                    std::string path = (std::filesystem::current_path() /
                                        ("layout_" + std::to_string(s.templateId) + ".png"))
                                           .string();
                    EXPECT_TRUE(SaveScreenshot(h, path)) << path;
                }
            }
        }
    };
    session.RunDialog();
    EXPECT_GE(marginRight, 0) << "the dialog came up";
}

// Maximal runs of pixels where a row differs from the same row drawn before.
int RunsOfChange(const std::vector<uint32_t>& row, const std::vector<uint32_t>& before) {
    int runs = 0;
    for (size_t x = 0; x < row.size() && x < before.size(); ++x)
        if (row[x] != before[x] && (x == 0 || row[x - 1] == before[x - 1]))
            ++runs;
    return runs;
}

// The bar fills in separate blocks that grow in number with the position, and the read-only edits
// show the dialog's own background (the colour of its margin on the same row), not an input
// field's.
TEST_F(LayoutTest, TheBarIsDrawnInBlocksAndReadOnlyEditsOnTheDialogsBackground) {
    DialogSession session;
    session.root.WritePackage({.mainVersion = "1.05"});
    session.sim.Attach(1, Firmware("1.03"));
    session.whileOpen = [&](CVersionUpDlg& dlg) {
        HWND h = dlg.GetSafeHwnd();
        HWND bar = GetDlgItem(h, IDC_PROGRESS);
        ShowWindow(bar, SW_SHOW);
        const int middle = (WindowRect(bar).bottom - WindowRect(bar).top) / 2;
        std::vector<int> blocks;
        std::vector<uint32_t> empty;
        for (int pos : {0, 30, 60, 100}) {
            SendMessageW(bar, PBM_SETPOS, pos, 0);
            std::vector<uint32_t> row = RenderedRow(bar, middle);
            if (pos == 0)
                empty = row;
            blocks.push_back(RunsOfChange(row, empty));
        }
        EXPECT_GE(blocks[1], 3) << "30 %: blocks with gaps between them, not one smooth fill";
        EXPECT_GT(blocks[2], blocks[1]);
        EXPECT_GT(blocks[3], blocks[2]);

        const RECT client = WindowRect(h);
        for (int id :
             {IDC_EDIT_MODEL, IDC_EDIT_CURRENT_VERSION, IDC_EDIT_NEW_VERSION, IDC_EDIT_NOTICE}) {
            const RECT edit = WindowRect(GetDlgItem(h, id));
            // Right of the short texts and clear of the frame; the notice's first line is empty
            // at its end, left of its scroll bar.
            const int y = id == IDC_EDIT_NOTICE ? edit.top + 6 : (edit.top + edit.bottom) / 2;
            const int x = id == IDC_EDIT_NOTICE ? edit.left + 4 : edit.right - 3;
            const std::vector<uint32_t> row = RenderedRow(h, y);
            ASSERT_GT(row.size(), static_cast<size_t>(client.right - 2));
            EXPECT_EQ(row[x], row[client.right - 2]) << "edit " << id;
        }
    };
    session.RunDialog();
}

// What a re-layout in the middle of an update leaves: the texts, the bound strings, the progress
// and the buttons' states as they were, the buttons' and labels' texts from the template, and the
// percentage blank until the worker writes its next percentage, which then stays.
TEST_F(LayoutTest, ARotationDuringAnUpdateKeepsTextsAndProgressAndBlanksThePercentage) {
    DialogSession session;
    session.root.WritePackage({.mainVersion = "1.05"});
    session.sim.Attach(1, Firmware("1.03"));
    bool ran = false;
    session.whileOpen = [&](CVersionUpDlg& dlg) {
        ran = true;
        HWND h = dlg.GetSafeHwnd();
        auto text = [&](int id) { return WindowText(GetDlgItem(h, id)); };
        // What Start and the worker have done by the middle of the update.
        dlg.m_btnStart.EnableWindow(FALSE);
        dlg.m_btnExit.EnableWindow(FALSE);
        dlg.m_progress.SetRange(0, 100);
        dlg.m_progress.ShowWindow(SW_SHOW);
        dlg.m_progress.SetPos(37);
        dlg.m_staticPercent.SetWindowText(L" 37 ％完了");
        ASSERT_EQ(text(IDC_EDIT_MODEL), L"KV615MQ");
        std::wstring current = text(IDC_EDIT_CURRENT_VERSION);
        std::wstring notice = text(IDC_EDIT_NOTICE);

        const Screen* turns[] = {&kScreens[2], &kScreens[1], &kScreens[3], &kScreens[0]};
        for (const Screen* s : turns) {
            SCOPED_TRACE("to template " + std::to_string(s->templateId));
            SetScreenMetrics(s->width, s->height, s->workArea);
            ProcessMessages();
            EXPECT_EQ(text(IDC_STATIC_PERCENT), L"");
            EXPECT_EQ(text(IDC_EDIT_MODEL), L"KV615MQ");
            EXPECT_EQ(text(IDC_EDIT_CURRENT_VERSION), current);
            EXPECT_EQ(text(IDC_EDIT_NEW_VERSION), L"1.05");
            EXPECT_EQ(text(IDC_EDIT_NOTICE), notice);
            EXPECT_EQ(ProgressPos(GetDlgItem(h, IDC_PROGRESS)), 37);
            EXPECT_EQ(text(IDC_BUTTON_START), L"開始");
            EXPECT_EQ(text(IDC_BUTTON_EXIT), L"終了");
            EXPECT_EQ(text(IDC_STATIC_MODEL), L"機種名");
            EXPECT_EQ(text(IDC_STATIC_CURRENT_VERSION), L"現在のバージョン");
            EXPECT_EQ(text(IDC_STATIC_NEW_VERSION), L"バージョンアップ後のバージョン");
            EXPECT_FALSE(IsEnabled(GetDlgItem(h, IDC_BUTTON_START)));
            EXPECT_FALSE(IsEnabled(GetDlgItem(h, IDC_BUTTON_EXIT)));
            EXPECT_TRUE(IsShown(GetDlgItem(h, IDC_PROGRESS)));
            EXPECT_FALSE(IsShown(GetDlgItem(h, IDC_LIST_SPARE)));

            // The worker's next whole percentage brings the text back, and nothing queued by
            // the re-layout takes it away again.
            dlg.m_progress.SetPos(38);
            dlg.m_staticPercent.SetWindowText(L" 38 ％完了");
            ProcessMessages();
            EXPECT_EQ(text(IDC_STATIC_PERCENT), L" 38 ％完了");
            dlg.m_progress.SetPos(37);
        }
    };
    session.RunDialog();
    EXPECT_TRUE(ran);
}

// A standard dialog template built in memory: DS_SETFONT header with a caption and a font, then
// items with predefined classes by number or a class by name.
class TemplateBuilder {
  public:
    struct Item {
        WORD id = 0;
        int16_t x = 0, y = 0, cx = 0, cy = 0;
        WORD classNumber = 0; // 0: className
        std::wstring className;
        std::wstring caption;
        DWORD style = WS_CHILD | WS_VISIBLE;
        std::vector<BYTE> creationData; // written after a length that counts itself
    };

    std::vector<BYTE> Build(const std::vector<Item>& items) const {
        std::vector<BYTE> b;
        Dword(b, WS_POPUP | WS_CAPTION | WS_VISIBLE | DS_SETFONT);
        Dword(b, 0);
        Word(b, static_cast<WORD>(items.size()));
        for (int v : {0, 0, 139, 180})
            Word(b, static_cast<WORD>(v));
        Word(b, 0);       // no menu
        Word(b, 0);       // the default class
        Text(b, L"Test"); // caption
        Word(b, 9);
        Text(b, L"MS UI Gothic");
        for (const Item& item : items) {
            while (b.size() % 4)
                b.push_back(0);
            Dword(b, item.style);
            Dword(b, 0);
            for (int16_t v : {item.x, item.y, item.cx, item.cy})
                Word(b, static_cast<WORD>(v));
            Word(b, item.id);
            if (item.classNumber) {
                Word(b, 0xFFFF);
                Word(b, item.classNumber);
            } else {
                Text(b, item.className);
            }
            Text(b, item.caption);
            if (item.creationData.empty()) {
                Word(b, 0);
            } else {
                Word(b, static_cast<WORD>(item.creationData.size() + 2));
                b.insert(b.end(), item.creationData.begin(), item.creationData.end());
            }
        }
        return b;
    }

  private:
    static void Word(std::vector<BYTE>& b, WORD v) {
        b.push_back(static_cast<BYTE>(v & 0xFF));
        b.push_back(static_cast<BYTE>(v >> 8));
    }
    static void Dword(std::vector<BYTE>& b, DWORD v) {
        Word(b, static_cast<WORD>(v & 0xFFFF));
        Word(b, static_cast<WORD>(v >> 16));
    }
    static void Text(std::vector<BYTE>& b, const std::wstring& s) {
        for (wchar_t c : s)
            Word(b, static_cast<WORD>(c)); // the texts here are all in the basic plane
        Word(b, 0);
    }
};

TemplateBuilder::Item Control(WORD id, RECT units, WORD classNumber, const std::wstring& caption,
                              const std::wstring& className = {}) {
    TemplateBuilder::Item item;
    item.id = id;
    item.x = static_cast<int16_t>(units.left);
    item.y = static_cast<int16_t>(units.top);
    item.cx = static_cast<int16_t>(units.right);
    item.cy = static_cast<int16_t>(units.bottom);
    item.classNumber = classNumber;
    item.className = className;
    item.caption = caption;
    return item;
}
TemplateBuilder::Item Button(WORD id, int16_t x, int16_t y, const std::wstring& caption) {
    return Control(id, {x, y, 36, 12}, 0x0080, caption);
}
TemplateBuilder::Item Edit(WORD id, int16_t x, int16_t y) {
    return Control(id, {x, y, 48, 12}, 0x0081, L"");
}

// Templates that disagree with the dialog, run against the real dialog's windows.
class MismatchedTemplate : public LayoutTest {
  protected:
    // Runs check while the real dialog is up, laid out from template 102.
    void WithDialog(const std::function<void(HWND)>& check) {
        DialogSession session;
        session.root.WritePackage({});
        session.sim.Attach(1);
        bool ran = false;
        session.whileOpen = [&](CVersionUpDlg& dlg) {
            ran = true;
            check(dlg.GetSafeHwnd());
        };
        session.RunDialog();
        EXPECT_TRUE(ran);
    }
    static RECT At(HWND dialog, int id) { return WindowRect(GetDlgItem(dialog, id)); }
};

TEST_F(MismatchedTemplate, AMissingIdMovesTheControlsBeforeItAndLeavesTheRest) {
    WithDialog([](HWND h) {
        SetDlgItemTextW(h, IDC_BUTTON_START, L"before");
        SetDlgItemTextW(h, IDC_BUTTON_EXIT, L"before");
        RECT model = At(h, IDC_EDIT_MODEL), current = At(h, IDC_EDIT_CURRENT_VERSION);
        RECT start = At(h, IDC_BUTTON_START), exitButton = At(h, IDC_BUTTON_EXIT);
        std::vector<BYTE> tpl = TemplateBuilder().Build({
            Edit(IDC_EDIT_MODEL, 10, 70),
            Button(IDC_BUTTON_START, 10, 90, L"開始"),
            Edit(4242, 10, 110), // no such control in the dialog
            Edit(IDC_EDIT_CURRENT_VERSION, 10, 130),
            Button(IDC_BUTTON_EXIT, 60, 90, L"終了"),
        });

        EXPECT_FALSE(ApplyDialogTemplate(AfxGetInstanceHandle(), h, tpl.data(), tpl.size()));

        EXPECT_TRUE(SameRect(At(h, IDC_EDIT_MODEL), Pixels(h, {10, 70, 48, 12})));
        EXPECT_TRUE(SameRect(At(h, IDC_BUTTON_START), Pixels(h, {10, 90, 36, 12})));
        EXPECT_EQ(WindowText(GetDlgItem(h, IDC_BUTTON_START)), L"開始");
        EXPECT_TRUE(SameRect(At(h, IDC_EDIT_CURRENT_VERSION), current)) << "after the gap";
        EXPECT_TRUE(SameRect(At(h, IDC_BUTTON_EXIT), exitButton)) << "after the gap";
        EXPECT_EQ(WindowText(GetDlgItem(h, IDC_BUTTON_EXIT)), L"before");
        EXPECT_FALSE(SameRect(model, At(h, IDC_EDIT_MODEL)));
        EXPECT_FALSE(SameRect(start, At(h, IDC_BUTTON_START)));
    });
}

TEST_F(MismatchedTemplate, MalformedOrMissingTemplatesMoveOnlyWhatWasReadWhole) {
    WithDialog([](HWND h) {
        HINSTANCE module = AfxGetInstanceHandle();
        RECT model = At(h, IDC_EDIT_MODEL), current = At(h, IDC_EDIT_CURRENT_VERSION);
        TemplateBuilder builder;
        std::vector<BYTE> two =
            builder.Build({Edit(IDC_EDIT_MODEL, 10, 70), Edit(IDC_EDIT_CURRENT_VERSION, 10, 90)});

        EXPECT_FALSE(ApplyDialogLayout(module, h, 104)) << "no such template";
        EXPECT_FALSE(ApplyDialogLayout(reinterpret_cast<HINSTANCE>(0x1234), h, 102))
            << "another module";
        EXPECT_FALSE(ApplyDialogTemplate(module, h, nullptr, 0));
        EXPECT_FALSE(ApplyDialogTemplate(module, h, two.data(), 10)) << "a cut header";
        std::vector<BYTE> extended = two;
        extended[0] = 0x01, extended[1] = 0x00, extended[2] = 0xFF, extended[3] = 0xFF;
        EXPECT_FALSE(ApplyDialogTemplate(module, h, extended.data(), extended.size()))
            << "the extended format";
        EXPECT_TRUE(SameRect(At(h, IDC_EDIT_MODEL), model));
        EXPECT_TRUE(SameRect(At(h, IDC_EDIT_CURRENT_VERSION), current));

        // Cut inside the second item: the first is moved, the second is not.
        EXPECT_FALSE(ApplyDialogTemplate(module, h, two.data(), two.size() - 3));
        EXPECT_TRUE(SameRect(At(h, IDC_EDIT_MODEL), Pixels(h, {10, 70, 48, 12})));
        EXPECT_TRUE(SameRect(At(h, IDC_EDIT_CURRENT_VERSION), current));

        EXPECT_TRUE(ApplyDialogTemplate(module, h, two.data(), two.size()));
        EXPECT_TRUE(SameRect(At(h, IDC_EDIT_CURRENT_VERSION), Pixels(h, {10, 90, 48, 12})));
    });
}

// The walk steps over creation data and named classes to the items after them, and brings
// back what the template says of each class: captions of buttons and statics (empty included),
// nothing for edits and the progress bar.
TEST_F(MismatchedTemplate, CreationDataAndNamedClassesAreSteppedOver) {
    WithDialog([](HWND h) {
        HINSTANCE module = AfxGetInstanceHandle();
        SetDlgItemTextW(h, IDC_EDIT_MODEL, L"model");
        SetDlgItemTextW(h, IDC_STATIC_PERCENT, L" 50 ％完了");
        SetDlgItemTextW(h, IDC_STATIC_MODEL, L"old label");
        SendDlgItemMessageW(h, IDC_PROGRESS, PBM_SETPOS, 50, 0);
        TemplateBuilder::Item model = Edit(IDC_EDIT_MODEL, 10, 70);
        model.creationData = {1, 2, 3, 4, 5, 6};
        TemplateBuilder::Item progress =
            Control(IDC_PROGRESS, {4, 100, 130, 10}, 0, L"", PROGRESS_CLASSW);
        TemplateBuilder::Item percent = Control(IDC_STATIC_PERCENT, {4, 114, 38, 8}, 0x0082, L"");
        TemplateBuilder::Item label = Control(IDC_STATIC_MODEL, {4, 2, 22, 8}, 0x0082, L"機種名");
        std::vector<BYTE> tpl = TemplateBuilder().Build({model, progress, percent, label});

        EXPECT_TRUE(ApplyDialogTemplate(module, h, tpl.data(), tpl.size()));

        EXPECT_TRUE(SameRect(At(h, IDC_EDIT_MODEL), Pixels(h, {10, 70, 48, 12})));
        EXPECT_TRUE(SameRect(At(h, IDC_PROGRESS), Pixels(h, {4, 100, 130, 10})));
        EXPECT_TRUE(SameRect(At(h, IDC_STATIC_PERCENT), Pixels(h, {4, 114, 38, 8})));
        EXPECT_TRUE(SameRect(At(h, IDC_STATIC_MODEL), Pixels(h, {4, 2, 22, 8})));
        EXPECT_EQ(WindowText(GetDlgItem(h, IDC_EDIT_MODEL)), L"model");
        EXPECT_EQ(ProgressPos(GetDlgItem(h, IDC_PROGRESS)), 50);
        EXPECT_EQ(WindowText(GetDlgItem(h, IDC_STATIC_PERCENT)), L"");
        EXPECT_EQ(WindowText(GetDlgItem(h, IDC_STATIC_MODEL)), L"機種名");
    });
}

} // namespace
