# What the Windows setup program installs, and the setup program CPack's NSIS generator makes of
# it (cpack -G NSIS in the windows build, or the `windows` package preset).
#
# The install folder is the firmware package folder the programs read,
# %ProgramFiles%\V-MOD VersionUp Tool\: the four package files go there beside a note that says
# so. The programs go to its bin\ folder, which the setup can put on the PATH (asked on a page
# of its own; a silent setup, /S, leaves the PATH alone). The Start menu gets the dialog; the
# uninstaller removes what the setup put there, never the package files a user added.
include_guard(GLOBAL)

foreach(_program vmod-versionup vmod-update)
  if(TARGET ${_program})
    install(TARGETS ${_program} RUNTIME DESTINATION bin)
  endif()
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/data/windows/firmware-package.txt DESTINATION .)

set(CPACK_GENERATOR NSIS)
set(CPACK_PACKAGE_NAME "V-MOD VersionUp Tool")
set(CPACK_PACKAGE_VENDOR "V-MOD VersionUp Tool")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware version-up tool for the KV615MQ V-MOD radio module")
set(CPACK_PACKAGE_FILE_NAME "vmod-versionup-${PROJECT_VERSION}-win64-setup")
set(CPACK_PACKAGE_INSTALL_DIRECTORY "V-MOD VersionUp Tool")
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY "V-MOD VersionUp Tool")
set(CPACK_NSIS_PACKAGE_NAME "V-MOD VersionUp Tool")
set(CPACK_NSIS_DISPLAY_NAME "V-MOD VersionUp Tool")
# A 64-bit setup for 64-bit programs: it runs where they run, and installs into the 64-bit
# Program Files, the folder the programs read their package from.
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
set(CPACK_NSIS_DEFINES "  Target amd64-unicode")
set(CPACK_NSIS_MODIFY_PATH ON)
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
set(CPACK_NSIS_INSTALLED_ICON_NAME "bin\\\\vmod-versionup.exe")
set(CPACK_PACKAGE_EXECUTABLES "vmod-versionup;V-MOD VersionUp Tool")
# The first page of the setup says where the package goes.
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/data/windows/firmware-package.txt)
include(CPack)
