# The kernel build's x64 mingw-w64 toolchain with the compiler of its posix
# thread model: the tool's shared sources use std::mutex and std::thread,
# which the win32 thread model's libstdc++ does not have. Linked statically,
# so vcam.exe needs no runtime DLL beside it.
include(${CMAKE_CURRENT_LIST_DIR}/../../../cmake/mingw-x86_64.cmake)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
