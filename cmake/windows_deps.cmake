# The header-only libraries of the Windows build, taken from the build host's Debian packages
# (libcli11-dev, nlohmann-json3-dev). Only their own folders are put on the include path: the
# host's /usr/include as a whole would shadow the Windows C library's headers.
set(VMOD_HOST_INCLUDE_DIR /usr/include CACHE PATH
    "Where the build host keeps CLI/ and nlohmann/ (header-only, used by the Windows build)")

set(_vmod_headers ${PROJECT_BINARY_DIR}/host-headers)
foreach(_dir CLI nlohmann)
  if(NOT EXISTS ${VMOD_HOST_INCLUDE_DIR}/${_dir})
    message(FATAL_ERROR "${VMOD_HOST_INCLUDE_DIR}/${_dir} not found: install libcli11-dev and "
                        "nlohmann-json3-dev (scripts/deps does)")
  endif()
  file(MAKE_DIRECTORY ${_vmod_headers})
  file(CREATE_LINK ${VMOD_HOST_INCLUDE_DIR}/${_dir} ${_vmod_headers}/${_dir} SYMBOLIC)
endforeach()

# Package configurations for find_package(CLI11) and find_package(nlohmann_json), with the
# versions the headers declare.
function(_vmod_header_package name target version)
  set(dir ${PROJECT_BINARY_DIR}/host-packages/${name})
  file(WRITE ${dir}/${name}Config.cmake
    "if(NOT TARGET ${target})\n"
    "  add_library(${target} INTERFACE IMPORTED)\n"
    "  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES \"${_vmod_headers}\")\n"
    "endif()\n")
  file(WRITE ${dir}/${name}ConfigVersion.cmake
    "set(PACKAGE_VERSION ${version})\n"
    "if(PACKAGE_FIND_VERSION VERSION_GREATER PACKAGE_VERSION)\n"
    "  set(PACKAGE_VERSION_COMPATIBLE FALSE)\n"
    "else()\n"
    "  set(PACKAGE_VERSION_COMPATIBLE TRUE)\n"
    "endif()\n")
  set(${name}_DIR ${dir} CACHE PATH "" FORCE)
endfunction()

file(STRINGS ${VMOD_HOST_INCLUDE_DIR}/CLI/Version.hpp _v REGEX "define CLI11_VERSION ")
string(REGEX REPLACE ".*\"(.*)\".*" "\\1" _cli11_version "${_v}")
set(_json_version "")
file(STRINGS ${VMOD_HOST_INCLUDE_DIR}/nlohmann/detail/abi_macros.hpp _v
     REGEX "define NLOHMANN_JSON_VERSION_(MAJOR|MINOR|PATCH) +[0-9]+")
foreach(_line ${_v})
  string(REGEX MATCH "[0-9]+" _n "${_line}")
  list(APPEND _json_version ${_n})
endforeach()
list(JOIN _json_version "." _json_version)
_vmod_header_package(CLI11 CLI11::CLI11 ${_cli11_version})
_vmod_header_package(nlohmann_json nlohmann_json::nlohmann_json ${_json_version})
