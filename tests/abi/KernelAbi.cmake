# The ABI check (kernel build side), included by cmake/KernelBuild.cmake: every
# kernel build asserts the fixed sizes the driver relies on against the real
# mingw-w64 headers. The field-by-field comparison with the host build runs
# from the host tree (tests/abi/run_abi_check.sh, ctest abi_check).
add_library(vcam_abi_fixed_sizes OBJECT ${CMAKE_SOURCE_DIR}/tests/abi/KernelAbiCheck.cpp)
target_include_directories(vcam_abi_fixed_sizes PRIVATE ${CMAKE_SOURCE_DIR} ${MINGW_DDK_INCLUDE})
target_compile_options(vcam_abi_fixed_sizes PRIVATE ${VCAM_KERNEL_FLAGS})
