#include "app/versionup_app.h"

#include "app/versionup_dlg.h"

// No application name: the title is the program file's name without its extension.
CVersionUpApp::CVersionUpApp() : CWinApp(nullptr) {}

CVersionUpApp::~CVersionUpApp() = default;

// No entries of its own: the framework's application-exit handling closes the main window.
BEGIN_MESSAGE_MAP(CVersionUpApp, CWinApp)
END_MESSAGE_MAP()

// The handheld's shell initialisation has no effect for this program and has no counterpart
// on this host, so it is left out.
BOOL CVersionUpApp::InitInstance() {
    CVersionUpDlg dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal();
    m_pMainWnd = nullptr;
    return FALSE;
}
