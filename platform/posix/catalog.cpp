#include "platform/catalog.h"

#include <libintl.h>

#include <clocale>

void CatalogOpen(const char* domain, const char* folder) {
    std::setlocale(LC_ALL, "");
    bindtextdomain(domain, folder);
    bind_textdomain_codeset(domain, "UTF-8");
    textdomain(domain);
}

const char* CatalogText(const char* english) {
    return gettext(english);
}
