# The host build: the driver's own sources on the user-mode kernel model in
# host/, with the verifier, plus every test, the vcam tool and the benchmarks.
include(CTest)
find_package(GTest REQUIRED)
find_package(Threads REQUIRED)

set(VCAM_SANITIZE "" CACHE STRING "Sanitizers for the host build: address,undefined or thread")
option(VCAM_FUZZ "Build the libFuzzer targets (clang only)" OFF)
option(VCAM_BENCH "Build the benchmarks" OFF)

if(VCAM_SANITIZE)
  add_compile_options(-fsanitize=${VCAM_SANITIZE} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${VCAM_SANITIZE})
  if(VCAM_SANITIZE MATCHES "undefined")
    # The driver is built without RTTI, which the vptr check needs.
    add_compile_options(-fno-sanitize=vptr)
    add_link_options(-fno-sanitize=vptr)
  endif()
  add_compile_definitions(VCAM_SANITIZER_BUILD=1)
endif()

set(VCAM_DRIVER_FLAGS -fno-exceptions -fno-rtti -Wall -Wextra -Werror)

# The platform: executive, verifier, class library model and client calls.
file(GLOB VCAM_HOST_SOURCES CONFIGURE_DEPENDS
     ${CMAKE_SOURCE_DIR}/host/executive/*.cpp
     ${CMAKE_SOURCE_DIR}/host/verifier/*.cpp
     ${CMAKE_SOURCE_DIR}/host/ks/*.cpp
     ${CMAKE_SOURCE_DIR}/host/client/*.cpp
     ${CMAKE_SOURCE_DIR}/host/loader/*.cpp
     ${CMAKE_SOURCE_DIR}/host/variants/*.cpp)
add_library(vcam_host STATIC ${VCAM_HOST_SOURCES})
target_include_directories(vcam_host PUBLIC ${CMAKE_SOURCE_DIR}/host/include ${CMAKE_SOURCE_DIR})
target_compile_definitions(vcam_host PUBLIC VCAM_HOST=1)
target_compile_options(vcam_host PRIVATE -Wall -Wextra)
target_link_libraries(vcam_host PUBLIC Threads::Threads)

# The driver, built from the same sources as the .sys.
file(GLOB_RECURSE VCAM_DRIVER_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/driver/*.cpp)
add_library(vcam_driver STATIC ${VCAM_DRIVER_SOURCES})
target_compile_options(vcam_driver PRIVATE ${VCAM_DRIVER_FLAGS})
target_link_libraries(vcam_driver PUBLIC vcam_host)

# Tests: one binary per folder under tests/, each file a group of behaviours.
include(GoogleTest)
foreach(dir host loader engine injection device pin e2e stress reliability)
  file(GLOB test_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/${dir}/*.cpp)
  if(test_sources)
    add_executable(test_${dir} ${test_sources})
    target_include_directories(test_${dir} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
    target_link_libraries(test_${dir} PRIVATE vcam_driver vcam_host GTest::gtest_main GTest::gmock)
    gtest_discover_tests(test_${dir} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
  endif()
endforeach()
# libyuv is the outside oracle of the frame conversion tests.
if(TARGET test_injection)
  target_link_libraries(test_injection PRIVATE yuv)
endif()

foreach(extra tests/launcher tests/abi tests/fuzz tools/vcam)
  if(EXISTS ${CMAKE_SOURCE_DIR}/${extra}/CMakeLists.txt)
    add_subdirectory(${extra})
  endif()
endforeach()
if(VCAM_BENCH AND EXISTS ${CMAKE_SOURCE_DIR}/bench/CMakeLists.txt)
  add_subdirectory(bench)
endif()

# The loader's tests run the kernel preset's .sys (or VCAM_DRIVER's).
if(TARGET test_loader)
  target_compile_definitions(test_loader PRIVATE
                             VCAM_KERNEL_SYS="${CMAKE_SOURCE_DIR}/build/kernel/VantriCamera.sys")
endif()
