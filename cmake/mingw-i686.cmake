# Toolchain file for 32-bit Windows programs (VantriStarter) built with mingw-w64.
# Use: cmake -DCMAKE_TOOLCHAIN_FILE=<repo>/cmake/mingw-i686.cmake ...
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(VANTRI_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${VANTRI_MINGW_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VANTRI_MINGW_TRIPLE}-g++)
set(CMAKE_RC_COMPILER ${VANTRI_MINGW_TRIPLE}-windres)

# Headers and libraries come from the mingw-w64 sysroot only; build tools from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${VANTRI_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
