# mirvale_add_windows_resources(<target>): the icon, the version and the event log's message table
# as Windows resources of an executable. windmc (binutils) turns messages.mc into messages.rc and
# its MSG00409.bin; windres (CMake's RC compiler) compiles mirvale.rc, which includes them.
set(MIRVALE_WINDOWS_RESOURCES ${CMAKE_CURRENT_LIST_DIR})

function(mirvale_add_windows_resources target)
    set(out ${CMAKE_CURRENT_BINARY_DIR}/windows-resources)
    get_filename_component(compilers ${CMAKE_RC_COMPILER} DIRECTORY)
    string(REGEX REPLACE "windres$" "windmc" windmc_name ${CMAKE_RC_COMPILER})
    find_program(MIRVALE_WINDMC NAMES ${windmc_name} ${MIRVALE_MINGW_TRIPLE}-windmc windmc
                 HINTS ${compilers} REQUIRED)
    add_custom_command(
        OUTPUT ${out}/messages.rc ${out}/messages.h ${out}/MSG00409.bin
        COMMAND ${CMAKE_COMMAND} -E make_directory ${out}
        COMMAND ${MIRVALE_WINDMC} -a -U -h ${out} -r ${out} ${MIRVALE_WINDOWS_RESOURCES}/messages.mc
        DEPENDS ${MIRVALE_WINDOWS_RESOURCES}/messages.mc
        COMMENT "Compiling the event log's message table"
        VERBATIM)

    set(MIRVALE_ICON ${PROJECT_SOURCE_DIR}/resources/images/mirvale.ico)
    string(REPLACE "." "," MIRVALE_VERSION_COMMAS ${MIRVALE_VERSION})
    configure_file(${MIRVALE_WINDOWS_RESOURCES}/mirvale.rc.in ${out}/mirvale.rc @ONLY)
    # windres finds messages.rc and MSG00409.bin through the include path.
    set_source_files_properties(${out}/mirvale.rc PROPERTIES
        OBJECT_DEPENDS "${out}/messages.rc;${out}/MSG00409.bin;${MIRVALE_ICON}")
    target_sources(${target} PRIVATE ${out}/mirvale.rc)
    target_include_directories(${target} PRIVATE ${out})
endfunction()
