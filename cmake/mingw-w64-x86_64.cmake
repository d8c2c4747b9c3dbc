# Cross build for 64-bit Windows with Debian's mingw-w64. The -posix variant is required: the
# win32 one has no std::thread or std::mutex. Tests run through Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MIRVALE_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MIRVALE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MIRVALE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MIRVALE_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MIRVALE_MINGW_TRIPLE})
# The Windows dependency set (scripts/windows-sdk.sh): -DMIRVALE_WIN_SDK=<its folder>. A prefix
# alone is not enough: with the ONLY modes below, find_package looks inside the root paths only.
if(MIRVALE_WIN_SDK)
    list(APPEND CMAKE_FIND_ROOT_PATH ${MIRVALE_WIN_SDK})
    list(APPEND CMAKE_PREFIX_PATH ${MIRVALE_WIN_SDK})
    list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MIRVALE_WIN_SDK)
    # pkg-config answers from the set's .pc files only, never the build machine's.
    set(ENV{PKG_CONFIG_LIBDIR} ${MIRVALE_WIN_SDK}/lib/pkgconfig)
    set(ENV{PKG_CONFIG_PATH} "")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static runtime: the executables then run under Wine without the compiler's DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Debian's wine64 alone (no wine32) is enough for 64-bit programs.
find_program(MIRVALE_WINE NAMES wine wine64 wine-stable PATHS /usr/lib/wine)
if(MIRVALE_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${MIRVALE_WINE})
endif()
