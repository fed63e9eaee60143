// Resource and control ids of the version-up dialog, shared by versionup.rc and the program.
#pragma once

// Dialog templates: the dialog is created from 102; the layout re-flow reads all four.
#define IDD_VERSIONUP_DIALOG 102         // portrait, the creation template
#define IDD_VERSIONUP_LANDSCAPE 103      // landscape
#define IDD_VERSIONUP_PORTRAIT_TALL 141  // portrait, 480x800 screens
#define IDD_VERSIONUP_LANDSCAPE_WIDE 142 // landscape, 800x480 screens

// The application icon (icon group).
#define IDI_VERSIONUP 132

// Controls of the dialog.
#define IDC_EDIT_MODEL 1000
#define IDC_EDIT_CURRENT_VERSION 1001
#define IDC_EDIT_NEW_VERSION 1002
#define IDC_LIST_SPARE 1003
#define IDC_PROGRESS 1004
#define IDC_STATIC_PERCENT 1005
#define IDC_BUTTON_START 1006
#define IDC_BUTTON_EXIT 1007
#define IDC_STATIC_CURRENT_VERSION 1009
#define IDC_STATIC_MODEL 1010
#define IDC_STATIC_NEW_VERSION 1011
#define IDC_EDIT_NOTICE 1016
