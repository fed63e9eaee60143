// HostGetPortRefusal: the serial layer's record of a refused open, in the program's wide text.
#include "platform/port_access.h"

#include <climits>
#include <cstdlib>

#include "platform/posix/serial_diag.h"
#include "platform/posix/serial_ports.h"
#include "platform/posix/utf8.h"

namespace {

std::string Resolved(const std::string& path) {
    char real[PATH_MAX];
    return !path.empty() && realpath(path.c_str(), real) ? std::string(real) : std::string();
}

} // namespace

int HostComNumberOf(LPCWSTR device) {
    const std::string wanted = Resolved(vmod_posix::Utf8FromWide(device ? device : L""));
    if (wanted.empty())
        return 0;
    for (int n = 1; n <= 255; ++n) {
        if (Resolved(vmod_posix::ComDevicePath(n)) == wanted)
            return n;
    }
    return 0;
}

std::wstring HostComDevice(int comNumber) {
    return vmod_posix::WideFromUtf8(Resolved(vmod_posix::ComDevicePath(comNumber)));
}

BOOL HostGetPortRefusal(int comNumber, PORT_REFUSAL* refusal) {
    if (!refusal)
        return FALSE;
    *refusal = PORT_REFUSAL{};
    vmod_posix::RefusalRecord record{};
    if (!vmod_posix::LastPortRefusal(comNumber, &record))
        return FALSE;
    refusal->reason =
        record.why == vmod_posix::PortRefusal::Busy ? PORT_REFUSED_BUSY : PORT_REFUSED_PERMISSION;
    refusal->device = vmod_posix::WideFromUtf8(record.device);
    refusal->group = vmod_posix::WideFromUtf8(record.group);
    for (const vmod_posix::PortHolder& h : record.holders)
        refusal->holders.push_back({static_cast<DWORD>(h.pid), vmod_posix::WideFromUtf8(h.name)});
    return TRUE;
}

std::wstring HostComPortName(int comNumber) {
    return L"COM" + std::to_wstring(comNumber) + L":";
}

BOOL HostPreparePort(HANDLE port) {
    (void)port;
    return TRUE;
}
