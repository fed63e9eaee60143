// The translations of the command-line programs' messages: gettext catalogs on Linux. This
// project's own addition to the handheld API. The Windows build has no catalogs: its messages
// stay in English.
#pragma once

// Takes the user's language for the messages of domain, from the catalogs in folder
// (folder/LANG/LC_MESSAGES/domain.mo), as UTF-8; on Windows it has the console show UTF-8.
void CatalogOpen(const char* domain, const char* folder);
// The message in the user's language; english itself when no catalog translates it.
const char* CatalogText(const char* english);
