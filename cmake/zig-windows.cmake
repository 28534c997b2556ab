# Cross-builds the Windows helper on Linux with zig (scripts/fetch-zig.sh),
# for x86_64 or aarch64, against MinGW-w64 and the Universal C Runtime, with
# zig's libc++ linked statically:
#
#   cmake -S . -B build-windows/x64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/zig-windows.cmake \
#     -DCMAKE_SYSTEM_PROCESSOR=x86_64 -DQEN_ZIG=/path/to/zig -DQEN_ZIG_CACHE_DIR=/path/to/cache
#
# scripts/build-windows.sh does all of it. zig brings MinGW-w64's headers and
# import libraries; the programs import only Windows' own DLLs. The tests run
# under Wine (tests/windows/wine.sh) as CTest's emulator.
set(CMAKE_SYSTEM_NAME Windows)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QEN_ZIG QEN_ZIG_CACHE_DIR CMAKE_SYSTEM_PROCESSOR)
foreach(required QEN_ZIG QEN_ZIG_CACHE_DIR CMAKE_SYSTEM_PROCESSOR)
  if(NOT ${required})
    message(FATAL_ERROR "zig-windows.cmake needs -D${required}=...")
  endif()
endforeach()
if(NOT CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|aarch64)$")
  message(FATAL_ERROR "zig-windows.cmake builds x86_64 or aarch64, not ${CMAKE_SYSTEM_PROCESSOR}")
endif()

include(${CMAKE_CURRENT_LIST_DIR}/zig-compilers.cmake)
qen_zig_compilers(${CMAKE_SYSTEM_PROCESSOR}-windows ${CMAKE_SYSTEM_PROCESSOR}-windows-gnu)

# Only Wine runs what this builds here: x86_64 alone, as arm64 Wine is not at hand.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/windows/wine.sh)
endif()

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
