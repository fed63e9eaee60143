// The copy of a dialog template the dialog manager creates the dialog from, made for the
// desktop: the handheld's caption OK button becomes the desktop's close button (both send the
// dialog's cancel or close), and the template's font size is raised, for the dialog's base units
// only, until every text of a static or push button fits its control in the template's own size.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "platform/dialog_template.h"
#include "platform/winuser.h"

namespace vmod_win32 {

// Copies the standard template of size bytes at data into *out, changed as above; *textFont is
// the template's font at its own size (nullptr without a font), which the caller sets on the
// controls and deletes after the dialog. FALSE for a template that is not read whole.
bool PrepareDialogTemplate(const BYTE* data, size_t size, std::vector<BYTE>* out, HFONT* textFont);

// The point size, from the template's upward, whose base units give each text of the template's
// statics and push buttons the room it needs drawn in textFont; at most four times the
// template's size.
int FittingPointSize(const DialogTemplate& tpl, HFONT textFont);

// The font the dialog being created sets on its controls; user-interface thread only.
void SetPendingTextFont(HFONT font);
HFONT PendingTextFont();

} // namespace vmod_win32
