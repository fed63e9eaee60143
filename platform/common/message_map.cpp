// Message maps: the search of a class's map chain and the application's own map, the same on
// every host.
#include "platform/afx.h"

const AFX_MSGMAP* CCmdTarget::GetThisMessageMap() {
    static const AFX_MSGMAP_ENTRY entries[] = {{0, 0, 0, nullptr, nullptr, nullptr}};
    static const AFX_MSGMAP map = {nullptr, &entries[0]};
    return &map;
}

const AFX_MSGMAP* CCmdTarget::GetMessageMap() const {
    return GetThisMessageMap();
}

BOOL CCmdTarget::DispatchFromMap(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    for (const AFX_MSGMAP* map = GetMessageMap(); map;) {
        for (const AFX_MSGMAP_ENTRY* e = map->lpEntries; e->nMessage != 0; ++e) {
            if (e->nMessage != message)
                continue;
            if (message == WM_COMMAND) {
                if (e->pfnCommand && e->nCode == HIWORD(wParam) && e->nID == LOWORD(wParam)) {
                    (this->*e->pfnCommand)();
                    *result = 0;
                    return TRUE;
                }
                continue;
            }
            if (e->pfnSize) {
                (this->*e->pfnSize)(static_cast<UINT>(wParam), static_cast<int16_t>(LOWORD(lParam)),
                                    static_cast<int16_t>(HIWORD(lParam)));
                *result = 0;
                return TRUE;
            }
            if (e->pfnMessage) {
                *result = (this->*e->pfnMessage)(wParam, lParam);
                return TRUE;
            }
        }
        const AFX_MSGMAP* base = map->pfnGetBaseMap ? map->pfnGetBaseMap() : nullptr;
        map = base == map ? nullptr : base;
    }
    return FALSE;
}

// The application's map: File > Exit closes the main window.
void CWinApp::OnAppExit() {
    if (m_pMainWnd)
        m_pMainWnd->SendMessage(WM_CLOSE);
}

const AFX_MSGMAP* CWinApp::GetMessageMap() const {
    return GetThisMessageMap();
}

const AFX_MSGMAP* CWinApp::GetThisMessageMap() {
    static const AFX_MSGMAP_ENTRY entries[] = {
        {WM_COMMAND, 0, ID_APP_EXIT, static_cast<void (CCmdTarget::*)()>(&CWinApp::OnAppExit),
         nullptr, nullptr},
        {0, 0, 0, nullptr, nullptr, nullptr}};
    static const AFX_MSGMAP map = {&CCmdTarget::GetThisMessageMap, &entries[0]};
    return &map;
}
