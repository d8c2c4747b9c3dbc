# Debian package: `cpack -G DEB` in the build folder writes mirvale_<version>_<arch>.deb.
# The certificate, key and CA are not packaged: postinst makes them for each machine
# (mirvale-certificate, beside the service).

set(MIRVALE_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})
# postinst takes the port from constants.env.
configure_file(${MIRVALE_PACKAGING_DIR}/debian/postinst.in ${CMAKE_BINARY_DIR}/packaging/debian/postinst
               @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
               WORLD_READ WORLD_EXECUTE)

# Only this component goes into the package, whatever else the tree installs.
install(TARGETS mirvale mirvale-certificate RUNTIME DESTINATION lib/mirvale COMPONENT mirvale)
install(FILES ${MIRVALE_PACKAGING_DIR}/mirvale.service DESTINATION lib/systemd/system COMPONENT mirvale)

# The service finds server.crt and server.key beside its real path, so /usr/bin holds a link.
set(_mirvale_link ${CMAKE_BINARY_DIR}/packaging/mirvale)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/packaging)
file(CREATE_LINK ../lib/mirvale/mirvale ${_mirvale_link} SYMBOLIC)
install(FILES ${_mirvale_link} DESTINATION bin COMPONENT mirvale)

set(CPACK_GENERATOR DEB)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};mirvale;/")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_NAME mirvale)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Tessor")
set(CPACK_PACKAGE_CONTACT "Mirvale maintainers <mirvale@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Tessor Launch Helper: opens media from web pages in a local player")
set(CPACK_PACKAGE_DESCRIPTION
    "Two local WebSocket servers (${MIRVALE_PLAIN_PORT} plain, ${MIRVALE_TLS_PORT} TLS) through which a web page\n"
    "asks which media players are installed and opens media in VLC or PotPlayer\n"
    "on the desktop of the logged-on user. The TLS certificate is created for\n"
    "each machine at install.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_STRIP_FILES TRUE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The player found on Linux without any setting; PotPlayer has no Linux build.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "vlc")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_BINARY_DIR}/packaging/debian/postinst
    ${MIRVALE_PACKAGING_DIR}/debian/prerm
    ${MIRVALE_PACKAGING_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

include(CPack)
