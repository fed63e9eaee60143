// The header files of a package: the first input half as the main header, the rest as the
// boot-block header, loaded with the real loader from a scratch device root.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <sys/stat.h>

#include "package/firmware_package.h"

namespace {

std::string g_folder;

void WriteFile(const std::string& name, const uint8_t* data, size_t size) {
    FILE* f = std::fopen((g_folder + name).c_str(), "wb");
    if (!f) std::abort();
    if (size > 0) std::fwrite(data, 1, size, f);
    std::fclose(f);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char root[] = "/tmp/vmod-fuzz-package-XXXXXX";
    if (!mkdtemp(root)) std::abort();
    setenv("VMOD_ROOT", root, 1);
    std::string dir = std::string(root) + "/Program Files";
    mkdir(dir.c_str(), 0700);
    dir += "/V-MOD VersionUp Tool";
    mkdir(dir.c_str(), 0700);
    g_folder = dir + "/";
    const uint8_t payload[] = {1, 2, 3};
    WriteFile("kv615mq.data", payload, sizeof payload);
    WriteFile("kv615mqb.data", payload, sizeof payload);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t half = size / 2;
    WriteFile("kv615mq.bin", data, half);
    WriteFile("kv615mqb.bin", data + half, size - half);
    g_firmwarePackage = FirmwarePackage();
    if (!LoadPackage()) std::abort();  // all four files exist: loading cannot fail
    return 0;
}
