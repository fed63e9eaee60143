// The restart's preparation: ExitWindowsEx(EWX_REBOOT) is refused (ERROR_PRIVILEGE_NOT_HELD)
// unless the caller's token has the shutdown privilege enabled, which a user's token holds but
// leaves disabled.
#include "platform/winbase.h"

BOOL HostPrepareReboot() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return FALSE;
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    BOOL ok = LookupPrivilegeValueW(nullptr, L"" SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid);
    // AdjustTokenPrivileges succeeds also when the token lacks the privilege; only the error
    // code set then (ERROR_NOT_ALL_ASSIGNED) tells.
    if (ok) {
        ok = AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) &&
             GetLastError() == ERROR_SUCCESS;
    }
    CloseHandle(token);
    return ok;
}
