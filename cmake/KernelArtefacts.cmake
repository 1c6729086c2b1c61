# VantriCamera.sys, linked from vcam_driver_kernel (included by
# cmake/KernelBuild.cmake). Native subsystem, entry DriverEntry, imports from
# ks.sys and ntoskrnl.exe only, no C++ runtime.
#
# The link is a custom command rather than an executable target so that the
# line is exactly the one below: CMake's Windows-GNU platform adds user-mode
# libraries (kernel32, user32, ...) and flags to every executable it links.
#
#   -nostdlib -shared --subsystem,native --entry,DriverEntry
#       a kernel driver: no C runtime, a relocatable image, the loader calls
#       DriverEntry. DriverEntry is pulled from the archive as the entry.
#   --undefined,__cxa_pure_virtual
#       the compiler refers to __cxa_pure_virtual weakly from every vtable
#       with a pure virtual slot; a weak reference does not pull an archive
#       member, so without this the slot would silently be address 0 instead
#       of driver/platform/KernelRuntime.cpp's bug check.
#   --disable-auto-import --disable-runtime-pseudo-reloc
#       importing data without dllimport must fail to link: the fix-ups it
#       would otherwise need are applied by a user-mode C runtime.
#   --exclude-all-symbols
#       a DLL-style link exports every global symbol unless told not to; the
#       driver exports nothing.
#   -lks -lntoskrnl -lhal -lgcc
#       the import libraries of the two modules the driver may use (hal is
#       listed so an accidental HAL call links and is then caught by
#       tests/artefacts/check_sys.sh as a third import), and libgcc's
#       self-contained helpers.
#
# INIT is then marked discardable (IMAGE_SCN_MEM_DISCARDABLE), which GNU as
# cannot express for a COFF section: objcopy's "debug" flag is how BFD sets
# that characteristic on a PE section (it also sets CNT_INITIALIZED_DATA,
# which the loader ignores for code). The loader frees INIT once DriverEntry
# has returned.

# Checks of the artefacts, run by `ctest --test-dir build/kernel`: the INF
# against the driver's descriptor and the build, and the self-tests that prove
# both checkers fail on faulty input. The .sys check follows its link below.
enable_testing()
set(VCAM_ARTEFACT_TESTS ${CMAKE_SOURCE_DIR}/tests/artefacts)
add_test(NAME inf_consistent
         COMMAND ${VCAM_ARTEFACT_TESTS}/check_inf.sh ${CMAKE_SOURCE_DIR}/driver/VantriCamera.inf)
add_test(NAME inf_check_detects_faults COMMAND ${VCAM_ARTEFACT_TESTS}/check_inf_self_test.sh)
add_test(NAME sys_check_detects_faults COMMAND ${VCAM_ARTEFACT_TESTS}/check_sys_self_test.sh)
set_tests_properties(inf_consistent inf_check_detects_faults sys_check_detects_faults
                     PROPERTIES TIMEOUT 300)

# The .sys exists once a driver source defines DriverEntry. The sources are
# globbed with CONFIGURE_DEPENDS, so adding that file re-runs this at build.
set(VCAM_HAS_DRIVER_ENTRY FALSE)
foreach(source ${VCAM_DRIVER_SOURCES})
  file(STRINGS ${source} entry_lines REGEX "(^|[^A-Za-z0-9_])DriverEntry[ \t]*\\(")
  if(entry_lines)
    set(VCAM_HAS_DRIVER_ENTRY TRUE)
  endif()
endforeach()

if(NOT VCAM_HAS_DRIVER_ENTRY)
  message(STATUS "VantriCamera.sys: no DriverEntry in driver/ yet, not linked")
  return()
endif()

find_program(VCAM_MINGW_OBJCOPY NAMES x86_64-w64-mingw32-objcopy REQUIRED)

set(VCAM_SYS_NAME VantriCamera.sys)
set(VCAM_SYS ${CMAKE_BINARY_DIR}/${VCAM_SYS_NAME})
set(VCAM_SYS_LINK_FLAGS
    -nostdlib -shared
    -Wl,--subsystem,native
    -Wl,--entry,DriverEntry
    -Wl,--undefined,__cxa_pure_virtual
    -Wl,--disable-auto-import
    -Wl,--disable-runtime-pseudo-reloc
    -Wl,--exclude-all-symbols)

add_custom_command(
  OUTPUT ${VCAM_SYS}
  COMMAND ${CMAKE_CXX_COMPILER} ${VCAM_SYS_LINK_FLAGS} -o ${VCAM_SYS}
          $<TARGET_FILE:vcam_driver_kernel> -lks -lntoskrnl -lhal -lgcc
  COMMAND ${VCAM_MINGW_OBJCOPY} --set-section-flags INIT=alloc,load,readonly,code,contents,debug
          ${VCAM_SYS}
  DEPENDS vcam_driver_kernel $<TARGET_FILE:vcam_driver_kernel>
  COMMENT "Linking ${VCAM_SYS_NAME}"
  VERBATIM)
add_custom_target(vcam_sys ALL DEPENDS ${VCAM_SYS})

add_test(NAME sys_properties COMMAND ${VCAM_ARTEFACT_TESTS}/check_sys.sh ${VCAM_SYS})
set_tests_properties(sys_properties PROPERTIES TIMEOUT 120)
