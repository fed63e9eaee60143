// vmod-versionup: the version-up tool's process entry.
#include "app/versionup_app.h"

// The one application object, constructed before the framework starts.
static CVersionUpApp theApp;

int main(int argc, char** argv) {
    return AfxWinMain(argc, argv);
}
