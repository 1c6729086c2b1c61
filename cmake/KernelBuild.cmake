# The kernel build: every driver source, compiled against mingw-w64's real
# ntddk.h/ks.h/ksmedia.h with the flags a kernel driver needs (no exceptions,
# no RTTI, no runtime, no thread-safe statics).
set(MINGW_DDK_INCLUDE /usr/share/mingw-w64/include/ddk)

set(VCAM_KERNEL_FLAGS
    -O2 -fno-exceptions -fno-rtti -ffreestanding -fno-threadsafe-statics
    -fno-stack-protector
    -Wall -Wextra -Werror -Wno-unknown-pragmas)

file(GLOB_RECURSE VCAM_DRIVER_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/driver/*.cpp)

add_library(vcam_driver_kernel STATIC ${VCAM_DRIVER_SOURCES})
target_include_directories(vcam_driver_kernel PRIVATE ${CMAKE_SOURCE_DIR} ${MINGW_DDK_INCLUDE})
target_compile_options(vcam_driver_kernel PRIVATE ${VCAM_KERNEL_FLAGS})

include(${CMAKE_SOURCE_DIR}/cmake/KernelArtefacts.cmake OPTIONAL)
include(${CMAKE_SOURCE_DIR}/tests/abi/KernelAbi.cmake OPTIONAL)
