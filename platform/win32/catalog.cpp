// No gettext catalogs in the Windows build: the messages stay in English. They are UTF-8 all
// the same (a port's device name, a package folder), so the console is told to show UTF-8.
#include "platform/catalog.h"

#include "platform/types.h"

void CatalogOpen(const char* domain, const char* folder) {
    (void)domain, (void)folder;
    SetConsoleOutputCP(CP_UTF8);
}

const char* CatalogText(const char* english) {
    return english;
}
