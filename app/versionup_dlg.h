// CVersionUpDlg: the program's only window. It guards against a second copy, loads the
// firmware package, finds the module (OnModuleQuery), and runs the update on a worker thread
// that takes the dialog's serial connection over.
#pragma once

#include <atomic>
#include <cstdint>

#include "app/download_link.h"
#include "app/resource.h"
#include "module/rs232c.h"
#include "platform/afx.h"

// Posted once by the dialog to itself at the end of OnInitDialog; starts the module query.
#define WM_APP_QUERY_MODULE (WM_USER + 100)

// Posts the application-exit command (WM_COMMAND, ID_APP_EXIT, lParam 0) to the main window,
// which ends the program once it is handled; does nothing when there is no main window. Never
// waits; callable from any thread.
void PostAppExitCommand();

// The title the dialog shows once start-up has passed the single-instance and package checks.
extern const wchar_t kWindowTitle[];
// The 18-line notice of control 1016, lines joined and ended with CR LF.
extern const wchar_t kNoticeText[];

class CVersionUpDlg : public CDialog {
  public:
    explicit CVersionUpDlg(CWnd* pParent = nullptr);
    ~CVersionUpDlg() override;

    enum { IDD = IDD_VERSIONUP_DIALOG };

    // The members are public: the download worker reads and writes them directly.
    CRs232cBoxes m_portBoxes;         // m_rs232c's driver refusals, as boxes
    CRs232c m_rs232c;                 // identification leaves it open on the module's port
    int32_t m_nProgressTotal;         // worker only: denominator of the percentage
    std::atomic<int32_t> m_bUpdating; // 1 from the worker's start until it completes
    std::atomic<int32_t> m_bAbort;    // set by Exit during an update; polled by the worker
    CEdit m_editModel;                // 1000
    CEdit m_editCurrentVersion;       // 1001
    CEdit m_editNewVersion;           // 1002
    CListBox m_listSpare;             // 1003, hidden, never used
    CStatic m_staticPercent;          // 1005
    CProgressCtrl m_progress;         // 1004
    CButton m_btnExit;                // 1007
    CButton m_btnStart;               // 1006
    CString m_strCurrentVersion;      // shown in 1001 by data exchange
    CString m_strModel;               // shown in 1000 by data exchange
    HICON m_hIcon;                    // icon 132, the window's big and small icon
    CString m_strNotice;              // the text of 1016
    HANDLE m_hMutex;                  // single-instance mutex, held until the process ends
    CEdit m_editNotice;               // 1016
    CString m_strModuleVersion;       // "V-MOD" version from the module's version report
    CString m_strModuleBootVersion;   // boot-block version; empty when not reported
    int32_t m_nPort;                  // COM number the module answered on; 0 before
    // Set when the application-exit command arrives; user-interface thread only.
    bool m_bExitCommanded = false;
    // Last, so that it goes first: once it is gone the worker touches no member above.
    CDownloadLink m_downloadLink;

    // Runs the dialog; once its loop has ended a running download no longer touches it.
    INT_PTR DoModal() override;

  protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    // Enter and the caption's OK button must not close the dialog.
    void OnOK() override;
    // Escape and the window's close button: while an update runs they ask before stopping it;
    // once Exit is offered again they do what Exit does.
    void OnCancel() override;

    afx_msg void OnSize(UINT nType, int cx, int cy);
    afx_msg void OnStart();
    afx_msg void OnExit();
    // The application-exit command, whoever posted it: the dialog ends without a question.
    afx_msg void OnAppExitCommand();
    // Finds the module on COM1..COM49 and checks the package against its firmware (the scan of
    // module/identify.h, shown in the dialog). Returns 1 when the module was found.
    afx_msg LRESULT OnModuleQuery(WPARAM wParam, LPARAM lParam);

    DECLARE_MESSAGE_MAP()
};
