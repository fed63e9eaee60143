// The dialog's orientation-aware layout: on every size change the dialog takes the control
// positions of whichever of its four templates fits the screen. The templates are read from
// the program's resources in the standard (not extended) dialog template format.
#pragma once

#include <cstddef>

#include "platform/dialog_template.h"
#include "platform/types.h"
#include "platform/winuser.h"

// The template that fits the screen: portrait (taller than wide) 141 when the work area ends at
// right 480, bottom 800, else 102; landscape or square 142 when it ends at right 800, bottom
// 480, else 103. Edges, not extents, are compared, so a work area below a title bar matches.
UINT SelectLayoutTemplate(int screenWidth, int screenHeight, const RECT& workArea);

// Moves and resizes the dialog's controls to the positions of dialog template templateId of
// module, all in one deferred batch. FALSE when the template is missing, the batch cannot be
// opened, a move fails, the template names an id the dialog lacks (the controls after it stay
// where they were; those before it are moved) or names two or more controls without an id.
BOOL ApplyDialogLayout(HINSTANCE module, HWND dialog, UINT templateId);

// ApplyDialogLayout over template bytes already in memory (size bytes at tpl; nothing beyond
// them is read). A template that ends early moves the controls read before the break and gives
// FALSE. module supplies the images of icon and bitmap statics.
BOOL ApplyDialogTemplate(HINSTANCE module, HWND dialog, const BYTE* tpl, size_t size);

// Brings back what a template's item carries besides geometry, for the dialog's control of that
// id: buttons and statics get their caption text (also when empty) or, for icon and bitmap
// statics naming a resource, that image from module; list and combo boxes get their selection
// again so that it stays in view. Edits, scroll bars and controls of a named class (the
// progress bar) are left alone.
void RefreshControlFromTemplate(HINSTANCE module, HWND dialog, const DialogItem& item);
