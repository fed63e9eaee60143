# The program's resources on Windows: versionup.rc compiled by windres (code page 65001: the script is
# UTF-8) into the program file itself, where FindResourceW and the dialog manager find them.
#
# Defines the object library `vmod_resources`, as on Linux. The icon tool draws the .ico on the
# build machine, so it is built there by the build machine's own compiler.
enable_language(RC)
# The script is UTF-8.

set(_vmod_res_src ${CMAKE_CURRENT_LIST_DIR})
set(_vmod_res_bin ${CMAKE_CURRENT_BINARY_DIR}/resources)
file(MAKE_DIRECTORY ${_vmod_res_bin})

find_program(VMOD_HOST_CXX NAMES c++ g++ clang++ DOC "the build machine's C++ compiler")
if(NOT VMOD_HOST_CXX)
  message(FATAL_ERROR "A C++ compiler for the build machine is needed to draw the icon")
endif()
add_custom_command(
  OUTPUT ${_vmod_res_bin}/versionup_icon_host
  COMMAND ${VMOD_HOST_CXX} -std=c++17 -O1 -o ${_vmod_res_bin}/versionup_icon_host
          ${_vmod_res_src}/icon/versionup_icon.cpp
  DEPENDS ${_vmod_res_src}/icon/versionup_icon.cpp
  COMMENT "Building the icon tool for the build machine"
  VERBATIM)
add_custom_command(
  OUTPUT ${_vmod_res_bin}/versionup.ico
  COMMAND ${_vmod_res_bin}/versionup_icon_host ${_vmod_res_bin}/versionup.ico
  DEPENDS ${_vmod_res_bin}/versionup_icon_host
  COMMENT "Drawing the application icon"
  VERBATIM)
add_custom_target(vmod_versionup_ico DEPENDS ${_vmod_res_bin}/versionup.ico)

add_library(vmod_resources OBJECT ${_vmod_res_src}/versionup.rc)
add_dependencies(vmod_resources vmod_versionup_ico)
# windres finds the icon through the include path; the OBJECT_DEPENDS redo the object when the
# icon or the shared headers change.
target_include_directories(vmod_resources PRIVATE ${PROJECT_SOURCE_DIR} ${_vmod_res_bin})
string(APPEND CMAKE_RC_FLAGS " --codepage=65001")
set_source_files_properties(${_vmod_res_src}/versionup.rc PROPERTIES OBJECT_DEPENDS
  "${_vmod_res_bin}/versionup.ico;${_vmod_res_src}/resource.h;${PROJECT_SOURCE_DIR}/platform/winuser.h")
