// Message boxes: MessageBoxW and its note on QMessageBox, with the handheld's button labels, and
// the answerer tests put in place of the user. A box from another thread is shown on the
// user-interface thread (RunOnUi) while the caller waits.
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

#include <functional>
#include <mutex>

#include "platform/qt/host.h"

using namespace vmod_qt;

namespace {

std::mutex g_answerMutex;
std::function<int(const vmod_testing::MessageBoxRecord&)>& Answerer() {
    static std::function<int(const vmod_testing::MessageBoxRecord&)> answer;
    return answer;
}

QMessageBox::Icon IconOf(UINT type) {
    switch (type & MB_ICONMASK) {
    case MB_ICONHAND:
        return QMessageBox::Critical;
    case MB_ICONQUESTION:
        return QMessageBox::Question;
    case MB_ICONEXCLAMATION:
        return QMessageBox::Warning;
    case MB_ICONASTERISK:
        return QMessageBox::Information;
    default:
        return QMessageBox::NoIcon;
    }
}

} // namespace

namespace vmod_qt {

void SetAnswerer(std::function<int(const vmod_testing::MessageBoxRecord&)> answer) {
    std::lock_guard<std::mutex> lock(g_answerMutex);
    Answerer() = std::move(answer);
}

int ShowMessageBox(vmod_testing::BoxOwner owner, HWND ownerWindow, LPCWSTR text, LPCWSTR caption,
                   UINT type, LPCWSTR note) {
    // A box for a window that is gone is refused, as the handheld refuses a dead owner.
    if (ownerWindow && !WindowExists(ownerWindow))
        return 0;
    std::wstring body = text ? text : L"";
    std::wstring title = caption ? caption : L"Error";
    std::wstring lines = note ? note : L"";
    {
        std::lock_guard<std::mutex> lock(g_answerMutex);
        if (Answerer()) {
            vmod_testing::MessageBoxRecord record{owner, ownerWindow,  body, title,
                                                  type,  IsUiThread(), lines};
            return Answerer()(record);
        }
    }
    return static_cast<int>(RunOnUi(
        [=] {
            Window* w = FindWindow(ownerWindow);
            if (ownerWindow && !w)
                return LRESULT(0);
            QMessageBox box(IconOf(type), ToQString(title), ToQString(body), QMessageBox::NoButton,
                            w ? w->widget.data() : nullptr);
            // The informative text shows under the text without a further click. Plain: a device
            // path or a program's name in it is never taken for markup.
            if (!lines.empty()) {
                box.setInformativeText(ToQString(lines));
                if (auto* label =
                        box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel")))
                    label->setTextFormat(Qt::PlainText);
            }
            // The handheld's Japanese system labels its buttons so; Escape and the window's
            // close button answer No where there is one.
            QPushButton* yes = nullptr;
            if ((type & MB_TYPEMASK) == MB_YESNO) {
                yes = box.addButton(ToQString(L"はい"), QMessageBox::YesRole);
                QPushButton* no = box.addButton(ToQString(L"いいえ"), QMessageBox::NoRole);
                box.setDefaultButton((type & MB_DEFMASK) == MB_DEFBUTTON2 ? no : yes);
                box.setEscapeButton(no);
            } else {
                box.setStandardButtons(QMessageBox::Ok);
            }
            EnterServingLoop();
            box.exec();
            LeaveServingLoop();
            if (yes)
                return LRESULT(box.clickedButton() == yes ? IDYES : IDNO);
            return LRESULT(IDOK);
        },
        0));
}

} // namespace vmod_qt

int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
    return MessageBoxNoteW(owner, text, caption, type, nullptr);
}

int MessageBoxNoteW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type, LPCWSTR note) {
    return ShowMessageBox(owner ? vmod_testing::BoxOwner::Dialog : vmod_testing::BoxOwner::None,
                          owner, text, caption, type, note);
}
