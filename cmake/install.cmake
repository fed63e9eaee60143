# What `cmake --install` puts on a host, and the Debian package CPack makes of it.
#
# Under the prefix: the programs in bin/; the desktop entry and its icons (rendered at build time
# from the icon tool's drawing, the source of the embedded icon too) and its AppStream metadata;
# the fontconfig alias for the dialogs' font, with its conf.d link; the firmware package folder
# VMOD_DATA_DIR, holding a README; the documents in share/doc, among them an example udev rule.
#
# The package changes nothing for devices it does not name: access to the ports stays Debian's
# (the dialout group), and the udev rule is an example a user fills in with their adapter's USB
# ids and copies to /etc, so there is no rule to install and no maintainer script to apply one.
#
# The .deb mirrors the install tree exactly (CPACK_SET_DESTDIR), so the folder the programs
# were built to read is the folder the package makes. Build it from a tree configured for /usr
# (the `deb` preset): a Debian package owns nothing under /usr/local.
#
# Nothing built only for tests is installed: test, benchmark and fuzz programs have no rules.
include_guard(GLOBAL)

set(_vmod_pkg_src ${PROJECT_SOURCE_DIR}/data)
set(_vmod_pkg_bin ${PROJECT_BINARY_DIR}/data)
set(_vmod_docdir ${CMAKE_INSTALL_DATADIR}/doc/vmod-versionup)
file(MAKE_DIRECTORY ${_vmod_pkg_bin})

# --- Programs ---------------------------------------------------------------------------------
# A directory may install its own program too; installing a file twice is harmless.
set(VMOD_INSTALLED_PROGRAMS "")
foreach(_program vmod-versionup vmod-update kv615mq-sim vmod-pack)
  if(TARGET ${_program})
    install(TARGETS ${_program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    list(APPEND VMOD_INSTALLED_PROGRAMS ${_program})
  endif()
endforeach()

# Their manual pages, compressed as Debian wants them (gzip -9n: no name, no time stamp).
find_program(VMOD_GZIP gzip REQUIRED)
foreach(_program ${VMOD_INSTALLED_PROGRAMS})
  set(_man ${_vmod_pkg_bin}/man/${_program}.1.gz)
  add_custom_command(
    OUTPUT ${_man}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_vmod_pkg_bin}/man
    COMMAND ${VMOD_GZIP} -9nc ${_vmod_pkg_src}/man/${_program}.1 > ${_man}
    DEPENDS ${_vmod_pkg_src}/man/${_program}.1
    COMMENT "Compressing the manual page of ${_program}")
  add_custom_target(vmod_man_${_program} ALL DEPENDS ${_man})
  install(FILES ${_man} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

# --- Desktop entry and icons ------------------------------------------------------------------
set(VMOD_ICON_SIZES 16 22 24 32 48 64 128 256)
if(TARGET vmod_versionup_icon)
  add_library(vmod_png_icon STATIC ${_vmod_pkg_src}/icon/png_icon.cpp)
  target_include_directories(vmod_png_icon PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(vmod_png_icon PUBLIC ZLIB::ZLIB)
  vmod_warnings(vmod_png_icon)

  add_executable(vmod_ppm_to_png ${_vmod_pkg_src}/icon/ppm_to_png.cpp)
  target_link_libraries(vmod_ppm_to_png PRIVATE vmod_png_icon)
  vmod_warnings(vmod_ppm_to_png)

  set(_vmod_pngs "")
  foreach(_size ${VMOD_ICON_SIZES})
    set(_ppm ${_vmod_pkg_bin}/icons/vmod-versionup-${_size}.ppm)
    set(_png ${_vmod_pkg_bin}/icons/${_size}x${_size}/vmod-versionup.png)
    add_custom_command(
      OUTPUT ${_png}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${_vmod_pkg_bin}/icons/${_size}x${_size}
      COMMAND vmod_versionup_icon --ppm ${_size} ${_ppm}
      COMMAND vmod_ppm_to_png ${_ppm} ${_png}
      DEPENDS vmod_versionup_icon vmod_ppm_to_png
      COMMENT "Rendering the ${_size}x${_size} desktop icon"
      VERBATIM)
    list(APPEND _vmod_pngs ${_png})
    install(FILES ${_png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${_size}x${_size}/apps)
  endforeach()
  add_custom_target(vmod_desktop_icons ALL DEPENDS ${_vmod_pngs})
endif()

# Software centres want a reverse-DNS id; the project has no domain but its maintainer address's
# .invalid one. The desktop entry keeps its plain name, which the metainfo names as its launchable.
set(VMOD_METAINFO_ID invalid.vmod_versionup.vmod_versionup)
if(TARGET vmod-versionup)
  install(FILES ${_vmod_pkg_src}/vmod-versionup.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${_vmod_pkg_src}/${VMOD_METAINFO_ID}.metainfo.xml
          DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
endif()

# --- Fonts ------------------------------------------------------------------------------------
# As Debian's font packages do: the rules in conf.avail and an absolute link in conf.d (it
# crosses from /etc to /usr). Aliases of named families sort before 49-sansserif.conf, which
# would otherwise make the family's lookups generic. The program loads the same rules itself,
# so a prefix whose conf.d fontconfig does not read still gets the right font in the dialog.
set(VMOD_FONTCONF_NAME 30-vmod-versionup-fonts.conf)
set(_vmod_fontconf_avail ${CMAKE_INSTALL_DATADIR}/fontconfig/conf.avail)
install(FILES ${PROJECT_SOURCE_DIR}/app/fonts/vmod-versionup-fonts.conf
        DESTINATION ${_vmod_fontconf_avail} RENAME ${VMOD_FONTCONF_NAME})
# Worked out when installing, so that `cmake --install --prefix DIR` keeps the link under DIR
# too: /usr's configuration is in /etc, another prefix's in PREFIX/etc (GNUInstallDirs' rule).
install(CODE "
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    set(_confd /etc/fonts/conf.d)
  else()
    set(_confd \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SYSCONFDIR}/fonts/conf.d\")
  endif()
  set(_link \"\$ENV{DESTDIR}\${_confd}/${VMOD_FONTCONF_NAME}\")
  message(STATUS \"Installing: \${_link}\")
  file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${_confd}\")
  file(REMOVE \"\${_link}\")
  file(CREATE_LINK \"\${CMAKE_INSTALL_PREFIX}/${_vmod_fontconf_avail}/${VMOD_FONTCONF_NAME}\"
       \"\${_link}\" SYMBOLIC)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${_link}\")
")

# --- Firmware package folder ------------------------------------------------------------------
# Relative to the prefix when it lies under it, so that an install to another prefix stays there.
cmake_path(IS_PREFIX CMAKE_INSTALL_PREFIX "${VMOD_DATA_DIR}" NORMALIZE _vmod_data_in_prefix)
if(_vmod_data_in_prefix)
  file(RELATIVE_PATH _vmod_data_dest ${CMAKE_INSTALL_PREFIX} ${VMOD_DATA_DIR})
else()
  set(_vmod_data_dest ${VMOD_DATA_DIR})
endif()
install(FILES ${_vmod_pkg_src}/firmware-folder-README DESTINATION ${_vmod_data_dest} RENAME README)

# --- Documents --------------------------------------------------------------------------------
# Debian wants the copyright file as it is and the changelog compressed with gzip -9n.
# A native package (no Debian revision): changelog.gz.
set(_vmod_changelog ${_vmod_pkg_bin}/changelog)
string(TIMESTAMP _vmod_today "%a, %d %b %Y 00:00:00 +0000" UTC)
set(VMOD_PACKAGE_MAINTAINER "vmod-versionup developers <maintainers@vmod-versionup.invalid>"
    CACHE STRING "Maintainer field of the Debian package")
file(WRITE ${_vmod_changelog}.in
  "vmod-versionup (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
  "  * Package built from the project's CMake tree.\n\n"
  " -- ${VMOD_PACKAGE_MAINTAINER}  ${_vmod_today}\n")
configure_file(${_vmod_changelog}.in ${_vmod_changelog} COPYONLY)
add_custom_command(
  OUTPUT ${_vmod_changelog}.gz
  COMMAND ${VMOD_GZIP} -9nkf ${_vmod_changelog}
  DEPENDS ${_vmod_changelog}
  COMMENT "Compressing the package changelog"
  VERBATIM)
add_custom_target(vmod_package_changelog ALL DEPENDS ${_vmod_changelog}.gz)
install(FILES ${_vmod_pkg_src}/copyright ${_vmod_changelog}.gz DESTINATION ${_vmod_docdir})
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${_vmod_docdir})
install(FILES ${_vmod_pkg_src}/60-vmod-kv615mq.rules DESTINATION ${_vmod_docdir}/examples)
if(TARGET kv615mq-sim)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/sim/README.md DESTINATION ${_vmod_docdir}
          RENAME README.kv615mq-sim.md)
endif()

# --- Debian package ---------------------------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vmod-versionup)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${VMOD_PACKAGE_MAINTAINER}")
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware version-up tool for the KV615MQ V-MOD radio module")
# CPack puts the summary on the Description line and indents these lines below it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "A Japanese dialog that finds the KV615MQ V-MOD radio module on a serial port,
shows its model and firmware versions and, on Start, streams a firmware package
to it line by line, then restarts the host. The package's four files go in
${VMOD_DATA_DIR}.
.
Also: vmod-update, the same update without a window for scripts, test benches
and fleet managers (one module or many at once, JSON events, exit statuses);
kv615mq-sim, a stand-in module on a pseudo-terminal, and vmod-pack, which
builds, inspects, verifies and decodes firmware packages. An example udev rule,
for the module's USB serial adapter only, keeps ModemManager off its port and
lets the user at the seat open it.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The dialogs' font; the shared libraries come from dpkg-shlibdeps where it is installed
# (dpkg-dev), else from the Debian 12 names of what the programs link.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-ipafont-gothic")
find_program(VMOD_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(VMOD_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS
         ", libc6, libgcc-s1, libstdc++6, zlib1g, libqt6core6, libqt6gui6, libqt6widgets6")
endif()
include(CPack)
