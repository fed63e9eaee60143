#include "module/port_refusal.h"

namespace {

// "minicom プロセスID 1234、screen プロセスID 99": the holders as the user's tools (ps, a task
// manager) name them, the name left out where the host did not give it.
CString HolderList(const std::vector<PORT_HOLDER>& holders) {
    CString list;
    for (const PORT_HOLDER& holder : holders) {
        CString one;
        if (holder.name.empty()) {
            one.Format(L"プロセスID %lu", static_cast<unsigned long>(holder.processId));
        } else {
            one.Format(L"%s プロセスID %lu", holder.name.c_str(),
                       static_cast<unsigned long>(holder.processId));
        }
        if (!list.IsEmpty()) {
            list += L"、";
        }
        list += one;
    }
    return list;
}

} // namespace

CString PortRefusalText(int port, const PORT_REFUSAL& refusal) {
    CString why;
    switch (refusal.reason) {
    case PORT_REFUSED_PERMISSION:
        why = L"ポートを開く権限がありません。";
        why += refusal.group.empty()
                   ? CString(L"管理者にポートの使用許可を設定してもらってください")
                   : CString(refusal.group) + L"グループに参加して、ログインし直してください";
        break;
    case PORT_REFUSED_BUSY:
        why = L"他のプログラム";
        if (!refusal.holders.empty()) {
            why += L"(" + HolderList(refusal.holders) + L")";
        }
        why += L"が使用中です。そのプログラムを終了してください";
        break;
    default:
        return CString();
    }
    CString line;
    line.Format(L"COM%d (%s): ", port, refusal.device.c_str());
    return line + why;
}

CString PortRefusalLine(int port) {
    PORT_REFUSAL refusal;
    if (!HostGetPortRefusal(port, &refusal)) {
        return CString();
    }
    return PortRefusalText(port, refusal);
}
