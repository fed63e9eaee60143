// Ports on Windows: the device namespace's \\.\COMn, and the system's name for what is behind it.
#include "platform/port_access.h"

#include <cwctype>

#include "platform/win32/host_calls.h"

namespace vmod_win32 {

int ComNumberOfName(const std::wstring& name) {
    size_t at = name.compare(0, 4, L"\\\\.\\") == 0 ? 4 : 0;
    if (name.size() < at + 4 || _wcsnicmp(name.c_str() + at, L"COM", 3) != 0)
        return 0;
    at += 3;
    int n = 0;
    size_t digits = 0;
    for (; at < name.size() && std::iswdigit(name[at]) && digits < 4; ++at, ++digits)
        n = n * 10 + (name[at] - L'0');
    if (at < name.size() && name[at] == L':' && name.compare(0, 4, L"\\\\.\\") != 0)
        ++at;
    return digits > 0 && at == name.size() && n >= 1 && n <= 255 ? n : 0;
}

} // namespace vmod_win32

std::wstring HostComPortName(int comNumber) {
    return L"\\\\.\\COM" + std::to_wstring(comNumber);
}

BOOL HostPreparePort(HANDLE port) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb))
        return FALSE;
    dcb.fBinary = 1;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = 0;
    // An error left pending (by a line error under fAbortOnError) would stop every transfer
    // until cleared.
    DWORD errors = 0;
    ClearCommError(port, &errors, nullptr);
    const BOOL set = SetCommState(port, &dcb);
    PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR);
    return set;
}

int HostComNumberOf(LPCWSTR device) {
    return device ? vmod_win32::ComNumberOfName(device) : 0;
}

std::wstring HostComDevice(int comNumber) {
    // The DOS device's target (\Device\Serial0, \Device\VCP0 ...): what Device Manager's port
    // stands on. A number with none has no port.
    wchar_t target[1024];
    const std::wstring name = L"COM" + std::to_wstring(comNumber);
    if (comNumber < 1 || comNumber > 255 ||
        QueryDosDeviceW(name.c_str(), target, sizeof target / sizeof target[0]) == 0)
        return std::wstring();
    return target;
}

// Windows tells nothing of who holds a port: its open fails with ERROR_ACCESS_DENIED, which for
// a serial port means that another opener has it (ports are exclusive), and the refusal is
// looked at again here the same way.
BOOL HostGetPortRefusal(int comNumber, PORT_REFUSAL* refusal) {
    if (!refusal)
        return FALSE;
    *refusal = PORT_REFUSAL{};
    if (comNumber < 1 || comNumber > 255)
        return FALSE;
    const HANDLE h = CreateFileW(HostComPortName(comNumber).c_str(), GENERIC_READ | GENERIC_WRITE,
                                 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return FALSE;
    }
    if (GetLastError() != ERROR_ACCESS_DENIED)
        return FALSE;
    refusal->reason = PORT_REFUSED_BUSY;
    refusal->device = HostComDevice(comNumber);
    return TRUE;
}
