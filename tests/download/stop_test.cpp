// Leaving the dialog while the module is being written: Escape and the window's close button
// ask first, stopping goes the way of Exit, and every box the worker raises as the dialog ends
// is seen before the program ends.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "download/download_protocol.h"
#include "tests/download/download_harness.h"

namespace dltest {
namespace {

using vmod_testing::Key;

const wchar_t kTextAskStop[] =
    L"バージョンアップ中です。中止するとV-MOD(KV615MQ)が使用できなくなる場合があります。"
    L"バージョンアップを中止しますか？";
const wchar_t kTextStopping[] = L"ファームウェアのバージョンアップを中止します";
constexpr UINT kAskType = MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2;

enum class Leave { Escape, CloseButton };

void LeaveDialog(Session& s, Leave how) {
    if (how == Leave::Escape)
        vmod_testing::PressKey(s.DialogWindow(), Key::Escape);
    else
        vmod_testing::CloseFromTitleBar(s.DialogWindow());
}

vmod_sim::Settings Module(const char* boot) {
    vmod_sim::Settings settings;
    settings.firmwareVersion = "1.03";
    settings.bootVersion = boot;
    return settings;
}

bool PortClosedLast(Session& s) {
    auto events = s.PortEvents();
    return !events.empty() && events.back().kind == PortEvent::Closed;
}

// Answers real boxes from the user-interface thread as they come up: the stop question with
// the given key, every other box with Enter. Its polls are posted tasks, so it answers a box
// inside whichever loop shows it, also after the dialog has gone.
class RealBoxAnswerer {
  public:
    explicit RealBoxAnswerer(Key questionKey) : m_state(std::make_shared<State>()) {
        m_state->questionKey = questionKey;
    }
    ~RealBoxAnswerer() { m_state->stopped = true; }
    RealBoxAnswerer(const RealBoxAnswerer&) = delete;
    RealBoxAnswerer& operator=(const RealBoxAnswerer&) = delete;

    void Start() { Poll(m_state); }
    // The texts of the boxes answered so far; user-interface thread.
    const std::vector<std::wstring>& Texts() const { return m_state->texts; }

  private:
    struct State {
        Key questionKey = Key::Enter;
        bool stopped = false;
        std::vector<std::wstring> texts;
    };

    static void Poll(const std::shared_ptr<State>& state) {
        if (state->stopped)
            return;
        std::wstring text;
        if (vmod_testing::MessageBoxUp(&text) &&
            vmod_testing::PressKeyOnMessageBox(text == kTextAskStop ? state->questionKey
                                                                    : Key::Enter)) {
            state->texts.push_back(text);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        vmod_testing::PostToUi([state] { Poll(state); });
    }

    std::shared_ptr<State> m_state;
};

TEST(DownloadStop, EscapeOrCloseWhileWritingAsksFirst) {
    struct Case {
        Leave how;
        bool stop;
        const char* description;
    };
    for (const Case& c :
         {Case{Leave::Escape, false, "Escape, go on"}, Case{Leave::Escape, true, "Escape, stop"},
          Case{Leave::CloseButton, false, "close button, go on"},
          Case{Leave::CloseButton, true, "close button, stop"}}) {
        SCOPED_TRACE(c.description);
        Session s;
        s.module = Module("1.05");
        const size_t atWrite = 3;
        int32_t abortAtStopBox = -1;
        s.onBox = [&](Session& session, const vmod_testing::MessageBoxRecord& record) {
            if (record.text == kTextStopping)
                abortAtStopBox = session.Dialog()->m_bAbort.load();
            if (record.text == kTextAskStop)
                return c.stop ? IDYES : IDNO;
            return IDOK;
        };
        s.onWorkerWrite = [&](Session& session, size_t index) {
            if (index == atWrite)
                LeaveDialog(session, c.how);
        };
        INT_PTR code = s.Run();
        EXPECT_EQ(code, IDCANCEL);
        auto boxes = s.Boxes();
        ASSERT_EQ(boxes.size(), 2u);
        EXPECT_EQ(boxes[0].record.text, kTextAskStop);
        EXPECT_EQ(boxes[0].record.caption, L"注意");
        EXPECT_EQ(boxes[0].record.type, kAskType);
        EXPECT_EQ(boxes[0].record.owner, vmod_testing::BoxOwner::Dialog);
        if (c.stop) {
            EXPECT_EQ(boxes[1].record.text, kTextStopping);
            EXPECT_EQ(abortAtStopBox, 1);
            EXPECT_EQ(s.Writes().size(), atWrite + 1) << "nothing after the stop";
            EXPECT_TRUE(PortClosedLast(s));
            EXPECT_EQ(s.reboots, 0);
        } else {
            EXPECT_EQ(boxes[1].record.text, kTextCompleted);
            EXPECT_EQ(s.reboots, 1);
        }
    }
}

// The question on a real box: Enter and Escape both take its default, going on.
TEST(DownloadStop, RealQuestionGoesOnByDefault) {
    for (Key key : {Key::Enter, Key::Escape}) {
        SCOPED_TRACE(key == Key::Enter ? "Enter" : "Escape");
        Session s;
        s.module = Module("1.05");
        s.realBoxes = true;
        RealBoxAnswerer answerer(key);
        s.start = [&](Session& session) {
            answerer.Start();
            vmod_testing::Click(session.Control(IDC_BUTTON_START));
        };
        s.onWorkerWrite = [](Session& session, size_t index) {
            if (index == 3)
                LeaveDialog(session, Leave::Escape);
        };
        s.Run();
        EXPECT_EQ(answerer.Texts(), (std::vector<std::wstring>{kTextAskStop, kTextCompleted}));
        EXPECT_EQ(s.reboots, 1);
    }
}

// Once the worker has ended without completing and offers Exit again, Escape and the close
// button do what Exit does, without the question.
TEST(DownloadStop, AfterAFailedUpdateEscapeAndCloseActAsExit) {
    for (Leave how : {Leave::Escape, Leave::CloseButton}) {
        Session s;
        s.module = Module("1.01");
        s.module.resetGoneMs.reset(); // the re-open fails
        s.endDialog = [how](Session& session) { LeaveDialog(session, how); };
        EXPECT_EQ(s.Run(), IDCANCEL);
        auto boxes = s.Boxes();
        ASSERT_EQ(boxes.size(), 2u);
        EXPECT_EQ(boxes[0].record.text, kTextReopenFailed);
        EXPECT_EQ(boxes[1].record.text, kTextStopping);
    }
}

// The worker posts the exit command and then asks for its box: the dialog ends while the box
// is handed to the user-interface thread, and the box must still come up and be answered before
// the worker and the program end. Real boxes, many runs, so that every interleaving shows.
TEST(DownloadStop, UnconfirmedCommandBoxIsSeenEveryTime) {
    for (int run = 0; run < 24; ++run) {
        const bool boot = run % 2 == 0;
        SCOPED_TRACE(std::string(boot ? "no UPDATE" : "no UPDATE READY") + ", run " +
                     std::to_string(run));
        Session s;
        s.module = Module(boot ? "1.01" : "1.05");
        (boot ? s.module.faults.noUpdateBoot : s.module.faults.noUpdateMain) = true;
        s.realBoxes = true;
        s.endAfterWorker = false;
        RealBoxAnswerer answerer(Key::Enter);
        s.start = [&](Session& session) {
            answerer.Start();
            vmod_testing::Click(session.Control(IDC_BUTTON_START));
        };
        EXPECT_EQ(s.Run(), IDCANCEL);
        EXPECT_EQ(answerer.Texts(), std::vector<std::wstring>{kTextCheckConnection});
        EXPECT_TRUE(PortClosedLast(s));
    }
}

} // namespace
} // namespace dltest
