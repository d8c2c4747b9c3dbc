# libwebsockets as the target mirvale_libwebsockets. Linux: the project's static build of Debian's
# source with scripts/patches applied (scripts/libwebsockets.sh finds it in its cache or builds
# it), never the system's library, which lacks those fixes. Windows: the dependency set's
# (scripts/windows-sdk.sh), by pkg-config.
include_guard(GLOBAL)

if(WIN32)
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(LWS REQUIRED IMPORTED_TARGET libwebsockets)
    add_library(mirvale_libwebsockets INTERFACE)
    target_link_libraries(mirvale_libwebsockets INTERFACE PkgConfig::LWS)
    return()
endif()

set(MIRVALE_LWS_PREFIX "" CACHE PATH
    "A folder made by scripts/libwebsockets.sh to link (empty: the script finds or builds it)")
get_filename_component(_lws_root ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
file(GLOB _lws_patches ${_lws_root}/scripts/patches/libwebsockets-*.patch)
# A changed patch or build recipe gives another key: the next build configures again.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${_lws_root}/scripts/libwebsockets.sh ${_lws_patches})

if(MIRVALE_LWS_PREFIX)
    set(_lws_prefix ${MIRVALE_LWS_PREFIX})
else()
    message(STATUS "libwebsockets: scripts/libwebsockets.sh (a first build takes a few minutes)")
    execute_process(COMMAND ${_lws_root}/scripts/libwebsockets.sh
                    OUTPUT_VARIABLE _lws_output RESULT_VARIABLE _lws_result
                    OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT _lws_result EQUAL 0)
        message(FATAL_ERROR "scripts/libwebsockets.sh failed (${_lws_result}): no libwebsockets to link")
    endif()
    string(REGEX REPLACE "^.*\n" "" _lws_prefix "${_lws_output}")
endif()
if(NOT EXISTS ${_lws_prefix}/lib/libwebsockets.a OR NOT EXISTS ${_lws_prefix}/VERSIONS)
    message(FATAL_ERROR "${_lws_prefix} holds no libwebsockets of scripts/libwebsockets.sh")
endif()

find_package(Libwebsockets 4.1 CONFIG REQUIRED PATHS ${_lws_prefix}/lib/cmake/libwebsockets NO_DEFAULT_PATH)
# The export names neither its headers nor all of the libraries it needs.
set_property(TARGET websockets APPEND PROPERTY INTERFACE_INCLUDE_DIRECTORIES ${_lws_prefix}/include)
set_property(TARGET websockets APPEND PROPERTY INTERFACE_LINK_LIBRARIES ${LIBWEBSOCKETS_DEP_LIBS})
add_library(mirvale_libwebsockets INTERFACE)
target_link_libraries(mirvale_libwebsockets INTERFACE websockets)
message(STATUS "libwebsockets: ${_lws_prefix} (static)")
