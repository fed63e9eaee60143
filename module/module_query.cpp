// OnModuleQuery: finds the KV615MQ on COM1..COM49, reads its versions and checks the package
// against its firmware. Runs once, on the dialog's thread, from the dialog's message loop.
#include <cstring>
#include <cwchar>

#include "app/versionup_dlg.h"
#include "module/module_protocol.h"
#include "module/port_refusal.h"
#include "module/reply.h"
#include "package/firmware_package.h"
#include "platform/winbase.h"

namespace {

// Writes a command, waits for the module to answer and reads one reply of at most max bytes,
// terminated after what arrived: each reply is judged only on the bytes of its own read.
void Ask(CRs232c& port, const char* command, DWORD length, DWORD waitMs, DWORD max, char* reply) {
    port.Write(reinterpret_cast<const BYTE*>(command), length);
    Sleep(waitMs);
    DWORD got = port.Read(reinterpret_cast<BYTE*>(reply), max);
    reply[got < max ? got : max] = '\0';
}

// ANSI text (at most kWideTextSize - 1 bytes of it) as wide text in the device's code page.
CString ToWide(const char* text, size_t length) {
    WCHAR wide[kWideTextSize];
    if (length > kWideTextSize - 1) {
        length = kWideTextSize - 1;
    }
    int n = length == 0 ? 0
                        : MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), wide,
                                              kWideTextSize - 1);
    wide[n > 0 ? n : 0] = L'\0';
    return CString(wide);
}

// The field of up to five characters that starts offset bytes into label's match in reply;
// empty when reply lacks the label, shorter when the reply ends sooner. Never reads past the
// reply's terminator, however short the reply.
CString TakeVersionField(const char* reply, const char* label, size_t offset) {
    const char* at = strstr(reply, label);
    if (at == nullptr) {
        return CString();
    }
    size_t rest = strlen(at);
    if (rest <= offset) {
        return CString();
    }
    size_t length = rest - offset < kVersionFieldLength ? rest - offset : kVersionFieldLength;
    return ToWide(at + offset, length);
}

} // namespace

LRESULT CVersionUpDlg::OnModuleQuery(WPARAM wParam, LPARAM lParam) {
    (void)wParam, (void)lParam;
    char reply[kRawReplySize];
    char stripped[kStrippedReplySize];

    // Why ports with a device behind them could not be opened: the not-found box tells the
    // user, who may be looking at their module's port.
    CString refusals;

    Sleep(kQueryStartWaitMs);
    SetCursor(LoadCursorW(nullptr, IDC_WAIT));

    for (int port = kFirstProbePort; port <= kLastProbePort; ++port) {
        if (!m_rs232c.Open(port)) {
            AppendPortRefusal(&refusals, port);
            continue;
        }

        Ask(m_rs232c, kCmdModelQuery, kCmdModelQueryLength, kModelQueryWaitMs, kModelQueryReadSize,
            reply);
        // The module echoes the command; anything else on this port is not the module.
        if (strncmp(reply, kEchoPrefix, strlen(kEchoPrefix)) != 0) {
            m_rs232c.Close();
            continue;
        }
        if (strstr(reply, kModelName) == nullptr) {
            m_strModel.Empty();
            m_rs232c.Close();
            continue;
        }
        m_nPort = port;
        m_strModel = kModelNameW;

        Ask(m_rs232c, kCmdFirmwareQuery, kCmdFirmwareQueryLength, kFirmwareQueryWaitMs,
            kFirmwareQueryReadSize, reply);
        StripEchoLine(reply, stripped);
        // Everything before the module's final "OK" is the version text.
        if (char* ok = strstr(stripped, kReplyOk)) {
            *ok = '\0';
        }
        m_strCurrentVersion.Format(L"%s", static_cast<LPCWSTR>(ToWide(stripped, strlen(stripped))));
        UpdateData(FALSE);

        // A module whose firmware is newer than the package must not be downgraded. The posted
        // exit ends the program once this handler and its box are done.
        double moduleVersion = wcstod_c(m_strCurrentVersion, nullptr);
        double packageVersion = wcstod_c(g_firmwarePackage.mainVersionText, nullptr);
        if (moduleVersion > packageVersion) {
            PostAppExitCommand();
            MessageBox(L"古いバージョンにバージョンダウンする事はできません。終了します", L"注意",
                       MB_OK);
        }

        Ask(m_rs232c, kCmdVersionReport, kCmdVersionReportLength, kVersionReportWaitMs,
            kVersionReportReadSize, reply);
        StripEchoLine(reply, stripped);
        if (strstr(stripped, kVersionLabel) != nullptr) {
            m_strModuleVersion = TakeVersionField(stripped, kVersionLabel, kVersionFieldOffset);
            m_strModuleBootVersion =
                TakeVersionField(stripped, kBootBlockLabel, kBootBlockFieldOffset);
        } else {
            // The older report has only one version, which is the boot block's.
            m_strModuleBootVersion =
                TakeVersionField(stripped, kOlderVersionLabel, kOlderVersionFieldOffset);
            m_strModuleVersion.Empty();
        }

        SetCursor(nullptr);
        UpdateData(FALSE);
        m_btnStart.EnableWindow(TRUE);
        return 1;
    }

    SetCursor(nullptr);
    m_rs232c.Close();
    PostAppExitCommand();
    MessageBoxNoteW(GetSafeHwnd(), L"KV615MQが見つかりませんでした。接続を確認してください",
                    L"注意", MB_OK, refusals);
    UpdateData(FALSE);
    return 0;
}
