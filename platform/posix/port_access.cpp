// HostGetPortRefusal: the serial layer's record of a refused open, in the program's wide text.
#include "platform/port_access.h"

#include "platform/posix/serial_diag.h"
#include "platform/posix/utf8.h"

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
