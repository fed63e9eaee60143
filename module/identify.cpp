#include "module/identify.h"

#include <cstring>
#include <cwchar>

#include "module/module_protocol.h"
#include "module/reply.h"
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

bool IsDowngrade(const CString& currentVersion, const CString& packageVersion) {
    return wcstod_c(currentVersion, nullptr) > wcstod_c(packageVersion, nullptr);
}

BOOL IdentifyModule(CRs232c& port, int first, int last, const CString& packageVersion,
                    IdentifyEvents& events, ModuleIdentity* identity) {
    char reply[kRawReplySize];
    char stripped[kStrippedReplySize];
    // Why ports with a device behind them could not be opened: the user may be looking at
    // their module's port.
    std::vector<RefusedPort> refused;
    ModuleIdentity found;

    Sleep(kQueryStartWaitMs);
    events.OnScanStarted();

    for (int n = first; n <= last; ++n) {
        if (!port.Open(n)) {
            RefusedPort r;
            r.port = n;
            if (HostGetPortRefusal(n, &r.refusal)) {
                refused.push_back(r);
            }
            continue;
        }

        Ask(port, kCmdModelQuery, kCmdModelQueryLength, kModelQueryWaitMs, kModelQueryReadSize,
            reply);
        // The module echoes the command; anything else on this port is not the module.
        if (strncmp(reply, kEchoPrefix, strlen(kEchoPrefix)) != 0 ||
            strstr(reply, kModelName) == nullptr) {
            port.Close();
            continue;
        }
        found.port = n;
        found.model = kModelNameW;
        events.OnModelFound(found);

        Ask(port, kCmdFirmwareQuery, kCmdFirmwareQueryLength, kFirmwareQueryWaitMs,
            kFirmwareQueryReadSize, reply);
        StripEchoLine(reply, stripped);
        // Everything before the module's final "OK" is the version text.
        if (char* ok = strstr(stripped, kReplyOk)) {
            *ok = '\0';
        }
        found.currentVersion.Format(L"%s",
                                    static_cast<LPCWSTR>(ToWide(stripped, strlen(stripped))));
        events.OnFirmwareVersion(found);

        // A module whose firmware is newer than the package must not be downgraded.
        if (IsDowngrade(found.currentVersion, packageVersion)) {
            events.OnDowngradeRefused(found);
        }

        Ask(port, kCmdVersionReport, kCmdVersionReportLength, kVersionReportWaitMs,
            kVersionReportReadSize, reply);
        StripEchoLine(reply, stripped);
        if (strstr(stripped, kVersionLabel) != nullptr) {
            found.moduleVersion = TakeVersionField(stripped, kVersionLabel, kVersionFieldOffset);
            found.bootVersion = TakeVersionField(stripped, kBootBlockLabel, kBootBlockFieldOffset);
        } else {
            // The older report has only one version, which is the boot block's.
            found.bootVersion =
                TakeVersionField(stripped, kOlderVersionLabel, kOlderVersionFieldOffset);
            found.moduleVersion.Empty();
        }
        *identity = found;
        events.OnIdentified(found);
        return TRUE;
    }

    port.Close();
    events.OnNotFound(refused);
    return FALSE;
}
