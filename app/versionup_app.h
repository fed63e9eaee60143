// CVersionUpApp: the application object. Its only work is to run the update dialog modally;
// every way out of the program goes through the end of that dialog.
#pragma once

#include "platform/afx.h"

class CVersionUpApp : public CWinApp {
  public:
    CVersionUpApp();
    ~CVersionUpApp() override;

    // Runs the dialog as the main window; always FALSE, so no message loop follows it.
    BOOL InitInstance() override;

  protected:
    DECLARE_MESSAGE_MAP()
};
