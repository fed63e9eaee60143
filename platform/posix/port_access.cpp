// HostGetPortRefusal: the serial layer's record of a refused open, in the program's wide text.
#include "platform/port_access.h"

#include "platform/posix/serial_diag.h"

namespace {

// Host names (paths, groups, commands) are UTF-8; a byte that starts no valid sequence stands
// for itself as U+FFFD, so a strange name still shows where it differs.
std::wstring WideFromUtf8(const std::string& text) {
    std::wstring out;
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        // The sequence's length, the lead's bits of the code point, and the least code point a
        // sequence of that length may carry (a longer form than needed is invalid).
        size_t length = 0;
        unsigned long c = 0, least = 0;
        if (lead < 0x80) {
            length = 1, c = lead;
        } else if (lead >= 0xC2 && lead < 0xE0) {
            length = 2, c = lead & 0x1F, least = 0x80;
        } else if (lead >= 0xE0 && lead < 0xF0) {
            length = 3, c = lead & 0x0F, least = 0x800;
        } else if (lead >= 0xF0 && lead < 0xF5) {
            length = 4, c = lead & 0x07, least = 0x10000;
        }
        bool valid = length > 0 && i + length <= text.size();
        for (size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            c = (c << 6) | (next & 0x3F);
        }
        valid = valid && c >= least && c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
        out += valid ? static_cast<wchar_t>(c) : L'\uFFFD';
        i += valid ? length : 1;
    }
    return out;
}

} // namespace

BOOL HostGetPortRefusal(int comNumber, PORT_REFUSAL* refusal) {
    if (!refusal)
        return FALSE;
    *refusal = PORT_REFUSAL{};
    vmod_posix::RefusalRecord record{};
    if (!vmod_posix::LastPortRefusal(comNumber, &record))
        return FALSE;
    refusal->reason =
        record.why == vmod_posix::PortRefusal::Busy ? PORT_REFUSED_BUSY : PORT_REFUSED_PERMISSION;
    refusal->device = WideFromUtf8(record.device);
    refusal->group = WideFromUtf8(record.group);
    for (const vmod_posix::PortHolder& h : record.holders)
        refusal->holders.push_back({static_cast<DWORD>(h.pid), WideFromUtf8(h.name)});
    return TRUE;
}
