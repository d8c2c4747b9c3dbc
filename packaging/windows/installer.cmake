# Windows: the executable's folder made runnable in place (the set's DLLs and Qt plugins it needs,
# qt.conf; scripts/windows-deploy.sh) and the NSIS installer build-win/mirvale-setup.exe
# (mirvale.nsi) that installs exactly those files.
set(MIRVALE_INSTALLER_DIR ${CMAKE_CURRENT_LIST_DIR})
set(_mirvale_bin ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})

if(NOT MIRVALE_WIN_SDK)
    message(STATUS "No dependency set given (-DMIRVALE_WIN_SDK): no DLLs beside mirvale.exe, no installer")
    return()
endif()

# After every link: the DLL list follows what the program imports. files.cmake turns the list into
# the installer's file commands.
set(_mirvale_deployed ${CMAKE_BINARY_DIR}/installer/install-files.nsh)
# Also after the set changed (scripts/windows-sdk.sh may rebuild a library into it).
file(GLOB _mirvale_set_dlls ${MIRVALE_WIN_SDK}/bin/*.dll ${MIRVALE_WIN_SDK}/plugins/*/*.dll)
add_custom_command(
    OUTPUT ${_mirvale_deployed} ${CMAKE_BINARY_DIR}/installer/uninstall-files.nsh
    COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/windows-deploy.sh ${MIRVALE_WIN_SDK} $<TARGET_FILE:mirvale>
    COMMAND ${CMAKE_COMMAND} -DBIN=${_mirvale_bin} -DOUT=${CMAKE_BINARY_DIR}/installer
            -P ${MIRVALE_INSTALLER_DIR}/files.cmake
    DEPENDS mirvale mirvale-certificate ${PROJECT_SOURCE_DIR}/scripts/windows-deploy.sh ${MIRVALE_INSTALLER_DIR}/files.cmake
            ${_mirvale_set_dlls}
    COMMENT "Placing the DLLs and plugins mirvale.exe needs beside it"
    VERBATIM)
add_custom_target(mirvale_deploy ALL DEPENDS ${_mirvale_deployed})

find_program(MIRVALE_MAKENSIS makensis)
if(NOT MIRVALE_MAKENSIS)
    message(STATUS "makensis not found (Debian package nsis): no installer")
    return()
endif()
set(_mirvale_setup ${CMAKE_BINARY_DIR}/mirvale-setup.exe)
add_custom_command(
    OUTPUT ${_mirvale_setup}
    COMMAND ${MIRVALE_MAKENSIS} -V2 -NOCD
            -DVERSION=${MIRVALE_VERSION} -DDESCRIPTION=${PROJECT_DESCRIPTION}
            -DBIN=${_mirvale_bin} -DGENERATED=${CMAKE_BINARY_DIR}/installer
            -DOUTFILE=${_mirvale_setup}
            ${MIRVALE_INSTALLER_DIR}/mirvale.nsi
    DEPENDS ${_mirvale_deployed} ${MIRVALE_INSTALLER_DIR}/mirvale.nsi
    COMMENT "Building the installer mirvale-setup.exe"
    VERBATIM)
add_custom_target(mirvale_installer ALL DEPENDS ${_mirvale_setup})
