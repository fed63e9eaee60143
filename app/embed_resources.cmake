# cmake -DRES=file.res -DFONTCONF=file.conf -DOUT=file.cpp -P embed_resources.cmake
# Writes a C++ source holding the compiled resources and the font rules, which registers them
# with the platform layer when the program starts.
file(READ "${RES}" res_hex HEX)
string(LENGTH "${res_hex}" res_hex_length)
math(EXPR res_size "${res_hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," res_bytes "${res_hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)"
       "\\1\n    " res_bytes "${res_bytes}")
file(READ "${FONTCONF}" font_hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," font_bytes "${font_hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)"
       "\\1\n    " font_bytes "${font_bytes}")
file(WRITE "${OUT}.tmp" "// Generated from versionup.res and the font rules by embed_resources.cmake; do not edit.
#include \"platform/winuser.h\"

namespace {

alignas(4) const BYTE kModuleResources[${res_size}] = {
    ${res_bytes}
};

const char kFontConfig[] = {
    ${font_bytes}
    0};

const bool kRegistered =
    (VmodRegisterModuleResources(kModuleResources, sizeof kModuleResources, kFontConfig), true);

} // namespace

// Keeps the registration in programs that link this object from a static library.
bool VmodModuleResourcesLinked() { return kRegistered; }
")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
