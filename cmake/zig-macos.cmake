# Cross-builds the macOS helper on Linux with zig (scripts/fetch-zig.sh), one
# architecture per build tree, through the same Apple branch of CMakeLists.txt
# that a Mac runs:
#
#   cmake -S . -B build-macos/arm64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/zig-macos.cmake \
#     -DCMAKE_OSX_ARCHITECTURES=arm64 -DQEN_ZIG=/path/to/zig -DMACOS_SDK=/path/to/sdk \
#     -DQEN_ZIG_CACHE_DIR=/path/to/cache
#
# scripts/build-macos.sh does all of it. zig brings the target's libc, objc
# and Dispatch headers, its own libc++ (linked statically) and a Mach-O linker;
# MACOS_SDK brings the frameworks' headers and link stubs.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_VERSION 20.0)  # Darwin 20 is macOS 11
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QEN_ZIG MACOS_SDK QEN_ZIG_CACHE_DIR
  CMAKE_OSX_ARCHITECTURES)

foreach(required QEN_ZIG MACOS_SDK QEN_ZIG_CACHE_DIR CMAKE_OSX_ARCHITECTURES)
  if(NOT ${required})
    message(FATAL_ERROR "zig-macos.cmake needs -D${required}=...")
  endif()
endforeach()
if(CMAKE_OSX_ARCHITECTURES MATCHES ";")
  message(FATAL_ERROR "zig-macos.cmake builds one architecture per tree; join them with lipo")
endif()
string(REPLACE "arm64" "aarch64" zig_arch "${CMAKE_OSX_ARCHITECTURES}")
set(CMAKE_SYSTEM_PROCESSOR ${CMAKE_OSX_ARCHITECTURES})

# zig-tool leaves out the Darwin flags that zig handles itself.
include(${CMAKE_CURRENT_LIST_DIR}/zig-compilers.cmake)
qen_zig_compilers(${zig_arch} ${zig_arch}-macos.11.0)
set(CMAKE_OBJCXX_COMPILER ${CMAKE_CXX_COMPILER})
set(CMAKE_OSX_SYSROOT ${MACOS_SDK})
# CMake's Darwin platform asks for it; the helper never rewrites install names.
find_program(CMAKE_INSTALL_NAME_TOOL NAMES llvm-install-name-tool-14 llvm-install-name-tool
  install_name_tool REQUIRED)

set(frameworks ${MACOS_SDK}/System/Library/Frameworks)
# -iframework: the SDK's headers are system headers, outside -Werror's reach.
set(CMAKE_C_FLAGS_INIT "-iframework ${frameworks}")
set(CMAKE_CXX_FLAGS_INIT "-iframework ${frameworks}")
set(CMAKE_OBJCXX_FLAGS_INIT "-iframework ${frameworks}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-F${frameworks} -L${MACOS_SDK}/usr/lib")

set(CMAKE_FIND_ROOT_PATH ${MACOS_SDK})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
