# Reads constants.env into MIRVALE_<NAME> variables, and mirvale_generate_constants(<dir>)
# writes base/version.h and base/constants.h below <dir> for the code. Included by the
# product, the fuzz targets and the benchmarks, so that each constant has one source.
get_filename_component(MIRVALE_CONSTANTS_FILE ${CMAKE_CURRENT_LIST_DIR}/../constants.env ABSOLUTE)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${MIRVALE_CONSTANTS_FILE})
file(STRINGS ${MIRVALE_CONSTANTS_FILE} _mirvale_lines REGEX "^MIRVALE_[A-Z0-9_]+=")
foreach(_mirvale_line IN LISTS _mirvale_lines)
    if(NOT _mirvale_line MATCHES "^(MIRVALE_[A-Z0-9_]+)='?([^']*)'?$")
        message(FATAL_ERROR "constants.env: cannot read the line ${_mirvale_line}")
    endif()
    set(${CMAKE_MATCH_1} "${CMAKE_MATCH_2}")
endforeach()

set(MIRVALE_CONSTANTS_TEMPLATES ${CMAKE_CURRENT_LIST_DIR}/../src/base)
function(mirvale_generate_constants directory)
    # base/version.h takes the version from project(VERSION ${MIRVALE_VERSION}).
    if(NOT PROJECT_VERSION STREQUAL MIRVALE_VERSION)
        message(FATAL_ERROR "project(VERSION) is ${PROJECT_VERSION}, constants.env says ${MIRVALE_VERSION}")
    endif()
    configure_file(${MIRVALE_CONSTANTS_TEMPLATES}/version.h.in ${directory}/base/version.h @ONLY)
    configure_file(${MIRVALE_CONSTANTS_TEMPLATES}/constants.h.in ${directory}/base/constants.h @ONLY)
endfunction()
