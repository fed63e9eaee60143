// A message the update engine has for the user, in the form the handheld gives it: a box of
// the application (owner the main window, caption the application's title) or a box with no
// owner and a caption of its own. The dialog shows it as that box; a front end without
// windows says it in its own words and may use the text as it is.
#pragma once

#include "platform/cstring.h"
#include "platform/types.h"

struct EngineMessage {
    bool application = true;   // the application's box; otherwise a box with no owner
    LPCWSTR text = L"";        // the box's text
    LPCWSTR caption = nullptr; // a box with no owner: its caption
    UINT type = 0;             // MB_ flags: buttons and icon
    CString note;              // a line under the text; empty: none
};

// Where the module link tells what its driver refused (Open's reports) and what crossed the
// wire. The object that owns a port gives it one; with none the reports are dropped.
class CRs232cReport {
  public:
    virtual ~CRs232cReport() = default;
    // Called on the thread that uses the port; returns once the user has seen the message.
    virtual void OnPortMessage(const EngineMessage& message) = 0;
    // Bytes written to the port (sent) or read from it, as the driver took or gave them.
    virtual void OnWire(bool sent, const BYTE* bytes, DWORD count) {
        (void)sent, (void)bytes, (void)count;
    }
};
