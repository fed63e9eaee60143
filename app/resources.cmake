# The program's resources: versionup.rc compiled by llvm-rc into a .res, the icon it embeds
# drawn by the icon tool at build time, and both plus the font rules turned into a C++ source.
#
# Defines the object library `vmod_resources`: link it into the program (and into tests that
# need the dialog templates); its object registers the resources when the process starts.
# The compiled .res is at ${VMOD_RESOURCES_RES} for tests that read it as a file.

if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/resources_win32.cmake)
  return()
endif()

find_program(VMOD_LLVM_RC NAMES llvm-rc llvm-rc-14 llvm-rc-15 llvm-rc-16
             HINTS /usr/lib/llvm-14/bin /usr/lib/llvm-15/bin /usr/lib/llvm-16/bin
             DOC "llvm-rc, the resource compiler (Debian package llvm)")
if(NOT VMOD_LLVM_RC)
  message(FATAL_ERROR "llvm-rc not found: install the llvm package (scripts/deps)")
endif()

set(_vmod_res_src ${CMAKE_CURRENT_LIST_DIR})
set(_vmod_res_bin ${CMAKE_CURRENT_BINARY_DIR}/resources)
file(MAKE_DIRECTORY ${_vmod_res_bin})

# The icon tool runs on the build machine.
add_executable(vmod_versionup_icon ${_vmod_res_src}/icon/versionup_icon.cpp)
vmod_warnings(vmod_versionup_icon)

add_custom_command(
  OUTPUT ${_vmod_res_bin}/versionup.ico
  COMMAND vmod_versionup_icon ${_vmod_res_bin}/versionup.ico
  DEPENDS vmod_versionup_icon
  COMMENT "Drawing the application icon"
  VERBATIM)

# /C 65001: the script is UTF-8. llvm-rc runs clang as its preprocessor (RC_INVOKED defined).
# The script is named relative to its folder: llvm-rc takes any argument that begins with "/"
# and an option letter for an option (a tree under /check/... reads as "/C heck/..."), so an
# absolute input path can be lost; option values after a separate option word are safe.
set(VMOD_RESOURCES_RES ${_vmod_res_bin}/versionup.res CACHE INTERNAL "compiled resources")
add_custom_command(
  OUTPUT ${_vmod_res_bin}/versionup.res
  COMMAND ${VMOD_LLVM_RC} /C 65001 /I ${PROJECT_SOURCE_DIR} /I ${_vmod_res_bin}
          /FO ${_vmod_res_bin}/versionup.res versionup.rc
  WORKING_DIRECTORY ${_vmod_res_src}
  DEPENDS ${_vmod_res_src}/versionup.rc ${_vmod_res_src}/resource.h
          ${PROJECT_SOURCE_DIR}/platform/winuser.h ${_vmod_res_bin}/versionup.ico
  COMMENT "Compiling versionup.rc"
  VERBATIM)

add_custom_command(
  OUTPUT ${_vmod_res_bin}/versionup_res.cpp
  COMMAND ${CMAKE_COMMAND} -DRES=${_vmod_res_bin}/versionup.res
          -DFONTCONF=${_vmod_res_src}/fonts/vmod-versionup-fonts.conf
          -DOUT=${_vmod_res_bin}/versionup_res.cpp -P ${_vmod_res_src}/embed_resources.cmake
  DEPENDS ${_vmod_res_bin}/versionup.res ${_vmod_res_src}/fonts/vmod-versionup-fonts.conf
          ${_vmod_res_src}/embed_resources.cmake
  COMMENT "Embedding the compiled resources"
  VERBATIM)

add_library(vmod_resources OBJECT ${_vmod_res_bin}/versionup_res.cpp)
target_link_libraries(vmod_resources PUBLIC vmod_platform)
vmod_warnings(vmod_resources)
